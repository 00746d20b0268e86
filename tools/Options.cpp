#include "tools/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "entry/MailStorage.h"
#include "tools/CommandLine.h"

namespace Nauvik::Import {
namespace {

bool ParseShard(const std::string& text, int* index, int* count) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  try {
    size_t used = 0;
    *index = std::stoi(text.substr(0, slash), &used);
    if (used != slash) return false;
    *count = std::stoi(text.substr(slash + 1), &used);
    if (used != text.size() - slash - 1) return false;
  } catch (const std::exception&) {
    return false;
  }
  return *count >= 1 && *index >= 1 && *index <= *count;
}

bool IsDecimalId(const std::string& text) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoll(text) > 0;
}

// The fields of one CSV line (RFC 4180 quoting).
std::vector<std::string> CsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

const std::string kAuths[] = {"auto", "plain", "login", "oauthbearer", "xoauth2"};
constexpr const char* kManifestColumns =
    "source,user id,company id,folder[,password or token file or env:NAME[,auth[,admin]]]";

bool ValidFolder(const std::string& folder) {
  return !folder.empty() && folder.front() != '.' && folder.back() != '.' &&
         folder.find("..") == std::string::npos;
}

}  // namespace

bool IsBearerAuth(const std::string& auth) { return auth == "oauthbearer" || auth == "xoauth2"; }

bool ReadManifest(const std::string& path, std::vector<ManifestEntry>* entries,
                  std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the manifest " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || (number == 1 && line.starts_with("source,"))) continue;
    std::vector<std::string> f = CsvFields(line);
    f.resize(std::max<size_t>(f.size(), 7));
    if (f.size() > 7 || f[0].empty() || !IsDecimalId(f[1]) || !IsDecimalId(f[2]) ||
        !ValidFolder(f[3]) ||
        (!f[5].empty() && !std::count(std::begin(kAuths), std::end(kAuths), f[5]))) {
      *error = path + ":" + std::to_string(number) + ": not " + kManifestColumns;
      return false;
    }
    entries->push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
  }
  if (entries->empty()) {
    *error = "the manifest " + path + " names no account";
    return false;
  }
  return true;
}

int ParseOptions(int argc, char** argv, ImportOptions* o) {
  CLI::App app(
      "Imports mail files, directory trees, Maildir/Maildir++ trees and mbox files into the "
      "mail store through libMailStorage.so.",
      "mailstorage-import");
  app.set_version_flag("--version", std::string("mailstorage-import ") + MAILSTORAGE_VERSION);
  app.add_option("inputs", o->inputs,
                 ".eml files, directories, Maildir trees, mbox files, "
                 "imap[s]://USER@HOST[:PORT][/FOLDER] accounts");
  app.add_option("--user", o->user, "user id (decimal) who owns the folders");
  app.add_option("--company", o->company, "company id (decimal) of the user");
  app.add_option("--manifest", o->manifest,
                 std::string("CSV of accounts (") + kManifestColumns +
                     ", auth and admin as --imap-auth and --imap-admin) imported one after the "
                     "other, instead of inputs, --user and --company");
  app.add_option("--journal-dir", o->journal_dir,
                 "with --manifest: a journal and a report per account in DIR");
  app.add_option("--folder", o->folder, "target folder; Maildir subfolders go below it")
      ->capture_default_str();
  app.add_flag("--tables", o->tables, "write through the base tables instead of the views");
  app.add_option("--threads", o->threads, "worker threads calling the library")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--registry", o->registry,
                 "registry file with the database settings (sets MAILSTORAGE_REGISTRY)");
  app.add_option("--library", o->library,
                 "the library to load (default: " MAILSTORAGE_LIBRARY
                 " in the build tree or installed prefix of the tool, else on the loader's path)");
  app.add_option("--journal", o->journal,
                 "record every item; running the same command again resumes");
  app.add_option("--report", o->report, "CSV file with one row per item");
  app.add_option("--flags-file", o->flags_file,
                 "append the flags the store cannot take (answered, flagged, keywords) of each "
                 "imported mail, with its folder and UID, for a later fix-up");
  app.add_option("--status-file", o->status_file,
                 "JSON file rewritten every two seconds with counts, rate, ETA and folder");
  std::string date = "file";
  app.add_option("--date", date,
                 "internal date: 'file' (mbox From line, Maildir delivery time, mtime) or "
                 "'header' (the Date header)")
      ->check(CLI::IsMember({"file", "header"}))
      ->capture_default_str();
  app.add_flag("--keep-line-ends", o->keep_line_ends,
               "pass LF-only mail unchanged instead of converting to CRLF");
  app.add_flag("--dry-run", o->dry_run, "list what would be imported; load nothing, call nothing");
  app.add_flag("--verify", o->verify,
               "read every imported mail back from the store and compare it byte for byte");
  std::string shard;
  app.add_option("--shard", shard, "K/N: take every Nth item starting with the Kth");
  app.add_flag("--quiet", o->quiet, "no progress output, only the summary and problems");
  app.add_flag("--no-check", o->no_check,
               "do not look the user up in the database before importing");
  app.add_flag("--allow-parallel-runs", o->allow_parallel_runs,
               "let this run go on while another run imports into the same user, folder and "
               "shard (each links its mails: they are linked twice)");
  app.add_flag("--skip-linked", o->skip_linked,
               "without a journal: skip a mail whose folder holds one with the same Message-ID "
               "and size already");
  app.add_option("--max-rate", o->max_rate,
                 "at most N mails a second, over all threads (spares a production database)")
      ->check(CLI::PositiveNumber);
  app.add_option("--pause-file", o->pause_file,
                 "while FILE exists, no new call starts (as after SIGUSR1; SIGUSR2 resumes)");
  app.add_option("--password-file", o->password_file,
                 "IMAP password, first line of FILE (else $MAILSTORAGE_IMAP_PASSWORD)");
  app.add_option("--imap-ca", o->imap_ca, "CA bundle the IMAP server's certificate must chain to");
  app.add_option("--imap-tls-name", o->imap_tls_name,
                 "the name the IMAP server's certificate must carry, when the URL names it "
                 "otherwise (an address, a tunnel)");
  app.add_flag("--imap-insecure", o->imap_insecure,
               "do not verify the IMAP server's certificate and host name");
  app.add_flag("--imap-plain", o->imap_plain,
               "allow an imap:// session without TLS when the server offers no STARTTLS");
  app.add_option("--imap-auth", o->imap_auth,
                 "IMAP login: 'auto' (AUTHENTICATE PLAIN when offered, else LOGIN), 'plain', "
                 "'login', or with a bearer token (--token-file) 'oauthbearer' or 'xoauth2'")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(kAuths), std::end(kAuths))))
      ->capture_default_str();
  app.add_option("--imap-admin", o->imap_admin,
                 "log in as administrator NAME, with NAME's password, to read the URL's user "
                 "(AUTHENTICATE PLAIN with the user as authorization identity; Dovecot's master "
                 "users)");
  app.add_option("--token-file", o->token_file,
                 "OAuth bearer token for oauthbearer and xoauth2, the whole of FILE, read again "
                 "at every login (else $MAILSTORAGE_IMAP_TOKEN)");
  app.add_option("--imap-include", o->imap_include,
                 "import only the IMAP folders that match PATTERN (shell wildcards, UTF-8 names, "
                 "\"/\" between levels; repeatable)");
  app.add_option("--imap-exclude", o->imap_exclude,
                 "leave out the IMAP folders that match PATTERN (repeatable)");
  app.add_flag("--imap-skip-junk-trash", o->imap_skip_junk_trash,
               "leave out the folders the server marks \\Junk or \\Trash");
  app.add_option("--outage-wait", o->outage_wait,
                 "seconds to wait for an unreachable database before stopping the run")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--bulk", o->bulk,
               "store the mails in batches, one transaction each (an initial migration of a "
               "large archive)");
  app.add_option("--batch-mails", o->batch_mails, "--bulk: mails a batch holds at most")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--batch-mb", o->batch_mb, "--bulk: MB of mail a batch holds at most")
      ->check(CLI::Range(1, 4096))
      ->capture_default_str();
  if (const int status = ParseCommandLine(app, argc, argv, kExitUsage); status >= 0) return status;
  o->date = date == "header" ? DateSource::kHeader : DateSource::kFile;
  if (!shard.empty() && !ParseShard(shard, &o->shard_index, &o->shard_count)) {
    fprintf(stderr, "mailstorage-import: --shard takes K/N with 1 <= K <= N, not '%s'\n",
            shard.c_str());
    return kExitUsage;
  }
  if (!o->imap_admin.empty() && o->imap_auth != "auto" && o->imap_auth != "plain") {
    fprintf(stderr,
            "mailstorage-import: --imap-admin logs in with AUTHENTICATE PLAIN; it cannot go "
            "with --imap-auth %s\n",
            o->imap_auth.c_str());
    return kExitUsage;
  }
  if (!o->token_file.empty() && !IsBearerAuth(o->imap_auth) && o->manifest.empty()) {
    fprintf(stderr,
            "mailstorage-import: --token-file goes with --imap-auth oauthbearer or xoauth2\n");
    return kExitUsage;
  }
  if (!o->manifest.empty()) {
    if (o->journal_dir.empty() || !o->inputs.empty() || !o->user.empty() ||
        !o->company.empty() || !o->journal.empty() || !o->report.empty()) {
      fprintf(stderr,
              "mailstorage-import: --manifest takes --journal-dir DIR, and no inputs, --user, "
              "--company, --journal or --report (each account gets its own)\n");
      return kExitUsage;
    }
    return -1;
  }
  for (const auto& [given, name] : {std::pair{!o->inputs.empty(), "inputs"},
                                    {!o->user.empty(), "--user"},
                                    {!o->company.empty(), "--company"}}) {
    if (!given) {
      fprintf(stderr, "mailstorage-import: %s is required (or --manifest FILE)\n", name);
      return kExitUsage;
    }
  }
  if (!IsDecimalId(o->user) || !IsDecimalId(o->company)) {
    fprintf(stderr, "mailstorage-import: --user and --company take decimal ids above 0\n");
    return kExitUsage;
  }
  if (!ValidFolder(o->folder)) {
    fprintf(stderr, "mailstorage-import: --folder '%s' is not a folder name\n", o->folder.c_str());
    return kExitUsage;
  }
  if (o->skip_linked && o->no_check) {
    fprintf(stderr,
            "mailstorage-import: --skip-linked reads the database; it cannot go with --no-check\n");
    return kExitUsage;
  }
  if (o->verify && o->no_check) {
    fprintf(stderr,
            "mailstorage-import: --verify reads the database; it cannot go with --no-check\n");
    return kExitUsage;
  }
  return -1;
}

}  // namespace Nauvik::Import
