#pragma once

// Command-line options of mailstorage-import.

#include <string>
#include <vector>

#include "tools/Inputs.h"

namespace Nauvik::Import {

struct ImportOptions {
  std::vector<std::string> inputs;
  std::string user;
  std::string company;
  std::string folder = "INBOX";
  bool tables = false;
  int threads = 1;
  std::string registry;
  std::string library;
  std::string journal;
  std::string report;
  std::string status_file;
  std::string flags_file;
  double max_rate = 0;     // mails a second; 0: no limit
  std::string pause_file;  // while it exists, no new call starts
  bool dry_run = false;
  bool verify = false;
  bool quiet = false;
  bool keep_line_ends = false;
  bool no_check = false;
  bool allow_parallel_runs = false;  // no store lock against a second run of the same import
  bool skip_linked = false;
  DateSource date = DateSource::kFile;
  int shard_index = 1;
  int shard_count = 1;
  // imap:// and imaps:// inputs
  std::string password_file;  // else MAILSTORAGE_IMAP_PASSWORD
  std::string token_file;     // else MAILSTORAGE_IMAP_TOKEN; for oauthbearer and xoauth2
  std::string imap_admin;     // logs in as this administrator for the URL's user
  std::string imap_ca;
  std::string imap_tls_name;
  std::string imap_auth = "auto";
  bool imap_insecure = false;
  bool imap_plain = false;
  std::vector<std::string> imap_include;  // folder patterns (UTF-8, "/" between levels)
  std::vector<std::string> imap_exclude;
  bool imap_skip_junk_trash = false;
  // Many accounts: one run per line of the manifest, each with its own
  // journal and report under journal_dir.
  std::string manifest;
  std::string journal_dir;
  // Faults: how long the run waits for an unreachable database before it
  // stops (the items left are done by running the same command again).
  int outage_wait = 300;
  // --bulk: batches of this many mails or MB, whichever is reached first.
  bool bulk = false;
  int batch_mails = 300;
  int batch_mb = 8;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailures = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// One account of a --manifest: source, user id, company id, target folder,
// and for an IMAP source where its password (or bearer token) is: a file,
// or "env:NAME"; how it logs in (as --imap-auth) and the administrator it
// logs in as (as --imap-admin), both "" for the command line's.
struct ManifestEntry {
  std::string source;
  std::string user;
  std::string company;
  std::string folder;
  std::string password;
  std::string auth;
  std::string admin;
};

// The --imap-auth mechanisms that send a bearer token instead of a password.
bool IsBearerAuth(const std::string& auth);

// Reads a manifest (CSV: the fields above, in that order; a first line
// starting "source," is a header; empty lines and lines starting "#" are
// left out). False with `error` naming the first bad line.
bool ReadManifest(const std::string& path, std::vector<ManifestEntry>* entries,
                  std::string* error);

// Parses argv into `options`. Returns -1 when the run goes on; otherwise the
// exit status, after help or the version was printed to standard output (0)
// or the problem to standard error (kExitUsage).
int ParseOptions(int argc, char** argv, ImportOptions* options);

}  // namespace Nauvik::Import
