// mailstorage-import: puts mail files, directory trees, Maildir trees and
// mbox files into the mail store through libMailStorage.so, loaded with
// dlopen exactly as a migration host loads it.

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "db/Registry.h"
#include "foundation/Files.h"
#include "tools/BulkImport.h"
#include "tools/DryRun.h"
#include "tools/Importer.h"
#include "tools/Inputs.h"
#include "tools/Options.h"
#include "tools/Recovery.h"
#include "tools/RunLock.h"
#include "tools/Store.h"
#include "tools/System.h"
#include "tools/Verify.h"
#include "tools/imap/ImapSource.h"

using namespace Nauvik::Import;

namespace {

int Fail(int status, const std::string& text) {
  fprintf(stderr, "mailstorage-import: %s\n", text.c_str());
  return status;
}

// The registry file holds the database password; like ssh and libpq with
// their secret files, say so when other accounts can read it, and go on.
void WarnIfRegistryReadable(const std::string& registry) {
  if (!KAVRO::ReadableByOthers(registry)) return;
  fprintf(stderr,
          "mailstorage-import: warning: %s can be read by other accounts, and it holds the "
          "database password; allow only its owner to read it (chmod 600)\n",
          registry.c_str());
}

// Without --library: beside the tool in the build tree, else in the library
// directory of the prefix the tool is installed in, else by its SONAME on the
// loader's search path.
std::string DefaultLibraryPath() {
  const std::string exe = ExecutablePath();
  if (exe.empty()) return MAILSTORAGE_LIBRARY;
  const std::filesystem::path dir = std::filesystem::path(exe).parent_path();
  for (const char* relative : {"../entry", MAILSTORAGE_LIBDIR_FROM_TOOL}) {
    const std::filesystem::path candidate =
        (dir / relative / MAILSTORAGE_LIBRARY).lexically_normal();
    std::error_code ec;
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return MAILSTORAGE_LIBRARY;
}

// Shards 2..N leave the creation of folders to shard 1 (which imports each
// folder's first mail before anything else): two processes creating the same
// folder at once would make two of it. Returns false when interrupted.
bool WaitForShardOneFolders(const ImportOptions& o, StoreQueries* queries,
                            const std::vector<ImportItem>& items) {
  std::set<std::string> needed;
  for (const auto& item : items) {
    if (item.skip_reason.empty()) needed.insert(FolderKey(item.folder));
  }
  const auto start = std::chrono::steady_clock::now();
  bool told = false;
  while (true) {
    std::string error;
    auto folders = queries->Folders(std::stoll(o.user), &error);
    std::vector<std::string> missing;
    for (const auto& key : needed) {
      if (!folders || !folders->count(key)) missing.push_back(key);
    }
    if (missing.empty()) return true;
    if (InterruptRequested()) return false;
    if (std::chrono::steady_clock::now() - start > std::chrono::minutes(5)) {
      fprintf(stderr,
              "mailstorage-import: shard %d/%d: %zu folders still missing after 5 minutes; "
              "importing anyway (is shard 1/%d running?)\n",
              o.shard_index, o.shard_count, missing.size(), o.shard_count);
      return true;
    }
    if (!told) {
      fprintf(stderr,
              "mailstorage-import: shard %d/%d waits for shard 1/%d to create %zu folders (%s%s)\n",
              o.shard_index, o.shard_count, o.shard_count, missing.size(), missing[0].c_str(),
              missing.size() > 1 ? ", ..." : "");
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

// The IMAP password (first line of --password-file, else the environment)
// or bearer token (all of --token-file, else the environment), never from
// the command line: other users see it in the process list.
bool ImapSecret(const ImportOptions& o, ImapLogin* login, std::string* error) {
  const bool bearer = IsBearerAuth(o.imap_auth);
  const std::string& file = bearer ? o.token_file : o.password_file;
  const char* what = bearer ? "token" : "password";
  if (!file.empty()) {
    if (bearer) {
      if (!ReadImapToken(file, &login->password, error)) return false;
      login->token_file = file;
    } else {
      std::ifstream in(file);
      if (!in || !std::getline(in, login->password)) {
        *error = "cannot read the password file " + file;
        return false;
      }
      if (!login->password.empty() && login->password.back() == '\r') login->password.pop_back();
    }
    if (KAVRO::ReadableByOthers(file)) {
      fprintf(stderr,
              "mailstorage-import: the %s file %s can be read by other accounts; allow only its "
              "owner to read it (chmod 600)\n",
              what, file.c_str());
    }
    return true;
  }
  const char* env_name = bearer ? "MAILSTORAGE_IMAP_TOKEN" : "MAILSTORAGE_IMAP_PASSWORD";
  const char* env = getenv(env_name);
  if (!env) {
    *error =
        std::string("an IMAP input needs a ") + what + ": --" + what + "-file FILE or " + env_name;
    return false;
  }
  login->password = env;
  if (bearer && !ValidImapToken(login->password)) {
    *error = std::string(env_name) + " holds no token, or bytes a bearer token cannot have";
    return false;
  }
  return true;
}

// Orders the IMAP source to fetch these items' bodies ahead of their use.
void PrefetchImap(ImapSource* source, const std::vector<ImportItem>& items,
                  const std::vector<size_t>& which) {
  if (!source) return;
  std::vector<const ImportItem*> order;
  for (size_t i : which) order.push_back(&items[i]);
  source->Prefetch(order);
}

// Whose import a journal records: the database by where it is, not by the
// registry file that names it, so that a copy of the file still matches.
JournalOwner JournalOwnerOf(const ImportOptions& o, const std::string& registry_path) {
  Nauvik::Registry registry(2, registry_path);
  auto get = [&](const char* name) { return registry.Get(Nauvik::kDatabaseKeyPath, name); };
  return {get("DatabaseHost") + ":" + get("DatabasePort") + "/" + get("DatabaseName"),
          std::to_string(std::stoll(o.user)), std::to_string(std::stoll(o.company)),
          FolderKey(o.folder)};
}

// A number the status file holds for `name`; 0 when it is not there.
uint64_t StatusNumber(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\": ");
  if (at == std::string::npos) return 0;
  return std::strtoull(json.c_str() + at + name.size() + 4, nullptr, 10);
}

// --manifest: every account is a run of this program of its own, one after
// the other, with its own journal, report and status file under
// --journal-dir, so that each resumes and tops up as a single import does.
// Exit status 1 when any account had a failure, 130 when interrupted.
int RunManifest(int argc, char** argv, const ImportOptions& o) {
  std::vector<ManifestEntry> entries;
  std::string error;
  if (!ReadManifest(o.manifest, &entries, &error)) return Fail(kExitUsage, error);
  std::error_code ec;
  std::filesystem::create_directories(o.journal_dir, ec);
  // The options that hold for every account: all but those of one account.
  std::vector<std::string> common;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    bool dropped = false;
    for (const char* own : {"--manifest", "--journal-dir", "--folder", "--password-file",
                            "--token-file", "--imap-auth", "--imap-admin"}) {
      if (arg == own) {
        ++i;  // and its value
        dropped = true;
      } else if (arg.starts_with(std::string(own) + "=")) {
        dropped = true;
      }
    }
    if (!dropped) common.push_back(arg);
  }
  struct Outcome {
    const ManifestEntry* entry;
    int status;
    uint64_t items, failed;  // handled in this run, as the account's status file says
  };
  std::vector<Outcome> outcomes;
  for (const ManifestEntry& e : entries) {
    std::string base = e.user + "-" + e.company + "-" + FolderKey(e.folder);
    for (char& c : base) {
      if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
    }
    const std::string dir = (std::filesystem::path(o.journal_dir) / base).string();
    std::vector<std::string> args = {ExecutablePath()};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), {"--user", e.user, "--company", e.company, "--folder", e.folder,
                             "--journal", dir + ".journal", "--report", dir + ".csv",
                             "--status-file", dir + ".status.json"});
    const std::string auth = e.auth.empty() ? o.imap_auth : e.auth;
    const std::string admin = e.admin.empty() ? o.imap_admin : e.admin;
    const bool bearer = IsBearerAuth(auth);
    const char* secret_option = bearer ? "--token-file" : "--password-file";
    const std::string& given_secret = bearer ? o.token_file : o.password_file;
    args.insert(args.end(), {"--imap-auth", auth});
    if (!admin.empty()) args.insert(args.end(), {"--imap-admin", admin});
    if (!e.password.empty() && !e.password.starts_with("env:")) {
      args.insert(args.end(), {secret_option, e.password});
    } else if (e.password.empty() && !given_secret.empty()) {
      args.insert(args.end(), {secret_option, given_secret});
    }
    args.insert(args.end(), {"--", e.source});
    printf("== %s: user %s of company %s into %s\n", e.source.c_str(), e.user.c_str(),
           e.company.c_str(), e.folder.c_str());
    fflush(stdout);
    std::filesystem::remove(dir + ".status.json", ec);
    const pid_t pid = fork();
    if (pid == 0) {
      if (e.password.starts_with("env:")) {
        const char* value = getenv(e.password.substr(4).c_str());
        setenv(bearer ? "MAILSTORAGE_IMAP_TOKEN" : "MAILSTORAGE_IMAP_PASSWORD", value ? value : "",
               1);
      }
      std::vector<char*> child;
      for (auto& a : args) child.push_back(a.data());
      child.push_back(nullptr);
      execv(child[0], child.data());
      _exit(127);
    }
    int raw = 0;
    while (pid > 0 && waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    const int status = pid < 0 ? 127 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    std::ifstream in(dir + ".status.json");
    const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    outcomes.push_back({&e, status, StatusNumber(json, "done"), StatusNumber(json, "failed")});
    if (status == kExitInterrupted || InterruptRequested()) break;
  }
  uint64_t items = 0, failed = 0;
  int failing = 0;
  printf("Accounts: %zu of %zu run\n", outcomes.size(), entries.size());
  for (const Outcome& r : outcomes) {
    printf("  user %-10s company %-8s %-20s exit %3d %8llu items %6llu failed  %s\n",
           r.entry->user.c_str(), r.entry->company.c_str(), r.entry->folder.c_str(), r.status,
           static_cast<unsigned long long>(r.items), static_cast<unsigned long long>(r.failed),
           r.entry->source.c_str());
    items += r.items;
    failed += r.failed;
    failing += r.status != kExitOk;
  }
  printf("  total: %llu items handled, %llu failed, %d accounts not ok\n",
         static_cast<unsigned long long>(items), static_cast<unsigned long long>(failed), failing);
  if (InterruptRequested() || (!outcomes.empty() && outcomes.back().status == kExitInterrupted)) {
    return kExitInterrupted;
  }
  return failing == 0 && outcomes.size() == entries.size() ? kExitOk : kExitFailures;
}

// Items a window holds: the run lists, imports and verifies a window at a
// time, so that what it holds does not grow with the mails of the source.
// MAILSTORAGE_IMPORT_WINDOW sets another size (tests use 1).
size_t WindowSize() {
  constexpr size_t kDefaultWindow = 10000;
  const char* text = getenv("MAILSTORAGE_IMPORT_WINDOW");
  const long long n = text ? std::atoll(text) : 0;
  return n > 0 ? static_cast<size_t>(n) : kDefaultWindow;
}

// The run's items, a window at a time in listing order: this shard's only.
class Windows {
 public:
  Windows(const ImportOptions& o, ImapSource* imap)
      : o_(o),
        lister_(o.inputs, o.folder, [](const std::string& input) { return IsImapUrl(input); },
                [imap, &o](const std::string& url, std::string* error) {
                  return imap->List(url, o.folder, error);
                }),
        shard_(o.shard_index, o.shard_count) {}

  // False when no item is left, with `error` set when the listing failed.
  bool Next(std::vector<ImportItem>* items, std::string* error) {
    while (lister_.Next(size_, items, error)) {
      if (o_.shard_count > 1) *items = shard_.Select(std::move(*items));
      if (!items->empty()) return true;
    }
    return false;
  }

 private:
  const ImportOptions& o_;
  const size_t size_ = WindowSize();
  ItemLister lister_;
  ShardSelector shard_;
};

}  // namespace

int main(int argc, char** argv) {
  // Every mail allocates and frees buffers of its own size. With the
  // allocator's defaults, those above 128 KB were mapped and unmapped each
  // time, and the free space at the top of each worker's heap was handed
  // back after nearly every mail; each unmap or hand-back interrupts the
  // other cores. Up to these sizes the memory stays with the process and is
  // used again by the next mail.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 8 << 20);
  ImportOptions o;
  if (int status = ParseOptions(argc, argv, &o); status >= 0) return status;
  if (!o.manifest.empty()) {
    InstallInterruptHandler();
    return RunManifest(argc, argv, o);
  }
  // Two runs on one journal would each make every call: locked before anything else.
  JournalLock journal_lock;
  if (!o.dry_run && !o.journal.empty()) {
    std::string error;
    if (!journal_lock.Lock(o.journal, &error)) return Fail(kExitUsage, error);
  }

  std::unique_ptr<ImapSource> imap;
  for (const auto& input : o.inputs) {
    if (!IsImapUrl(input) || imap) continue;
    std::string error;
    ImapLogin login;
    if (!ImapSecret(o, &login, &error)) return Fail(kExitUsage, error);
    login.auth = o.imap_auth;
    login.admin = o.imap_admin;
    login.tls.ca_file = o.imap_ca;
    login.tls.name = o.imap_tls_name;
    login.tls.verify = !o.imap_insecure;
    login.allow_plain = o.imap_plain;
    imap = std::make_unique<ImapSource>(
        std::move(login),
        ImapFolderFilter{o.imap_include, o.imap_exclude, o.imap_skip_junk_trash});
  }
  if (o.dry_run) {
    Windows windows(o, imap.get());
    return DryRun(o, [&](std::vector<ImportItem>* items, std::string* error) {
      return windows.Next(items, error);
    });
  }
  // The first window is listed before anything else is done: a path given
  // wrong, or an IMAP login refused, ends the run at once.
  Windows windows(o, imap.get());
  std::vector<ImportItem> items;
  {
    std::string error;
    if (!windows.Next(&items, &error) && !error.empty()) return Fail(kExitUsage, error);
  }
  // Every item of the run, listed afresh (for the checks that need them all).
  const ItemWalk walk = [&](const std::function<void(const ImportItem&)>& visit,
                            std::string* error) {
    Windows again(o, imap.get());
    std::vector<ImportItem> window;
    while (again.Next(&window, error)) {
      for (const ImportItem& item : window) visit(item);
    }
    return error->empty();
  };

  // The library reads its database settings from the file that
  // MAILSTORAGE_REGISTRY names; the tool's own checks read the same file.
  const std::string registry = RegistryPath(o);
  if (!std::filesystem::is_regular_file(registry)) {
    return Fail(kExitUsage, "registry file missing: " + registry +
                                " (give --registry FILE or set MAILSTORAGE_REGISTRY)");
  }
  SetEnvironment("MAILSTORAGE_REGISTRY", registry);
  // Every connection of the process, the library's and the importer's own,
  // shows in pg_stat_activity under this name (the driver's libpq reads it).
  if (const char* name = getenv("PGAPPNAME"); name == nullptr || *name == '\0') {
    SetEnvironment("PGAPPNAME", "mailstorage-import");
  }
  // A port where something accepts and never answers (a wrong DatabasePort)
  // would hold the first connection for good: a store not reached within
  // this time is a configuration error, said at once.
  if (const char* wait = getenv("PGCONNECT_TIMEOUT"); wait == nullptr || *wait == '\0') {
    SetEnvironment("PGCONNECT_TIMEOUT", "10");
  }
  WarnIfRegistryReadable(registry);

  const std::string library = o.library.empty() ? DefaultLibraryPath() : o.library;
  LibraryApi api;
  std::string error;
  if (!o.bulk && library.find('/') != std::string::npos && !std::filesystem::exists(library)) {
    return Fail(kExitUsage, "library not found: " + library +
                                " (build target MailStorage or give --library FILE)");
  }
  // --bulk runs the store's code linked into this tool; the library is not
  // loaded, so the process holds one copy of the store's state.
  if (!o.bulk && !LoadMailStorageLibrary(library, &api, &error)) {
    return Fail(kExitUsage,
                "cannot load the library " + library + ": " + error +
                    (library.find('/') == std::string::npos
                         ? " (install it, build target MailStorage or give --library FILE)"
                         : ""));
  }

  std::string connection;
  StoreDatabase db;
  StoreQueries queries(&db, !o.tables);
  if (!o.no_check) {
    connection = StoreConnectionString(registry, &error);
    if (connection.empty()) return Fail(kExitUsage, error);
    if (!db.Connect(connection, &error)) {
      return Fail(kExitUsage, "cannot connect to the store database (DatabaseHost, DatabasePort "
                              "and DatabaseName in " + registry + "): " + error);
    }
    LimitStatements(&db);
    auto user = queries.User(std::stoll(o.user), &error);
    if (!user) return Fail(kExitUsage, "cannot look the user up: " + error);
    if (*user == StoreQueries::UserState::kUnknown) {
      return Fail(kExitUsage,
                  "user unknown: no user " + o.user + " in " + (o.tables ? "NS_USER" : "NV_USER"));
    }
    if (*user == StoreQueries::UserState::kDeleted) {
      return Fail(kExitUsage, "user " + o.user + " is deleted (USR_ROWSTATUS is not 0)");
    }
    const RunKey key{std::stoll(o.user), o.folder, o.shard_index, o.shard_count};
    if (!LockStoreForRun(&db, key, o.allow_parallel_runs, &error)) return Fail(kExitUsage, error);
  }

  Journal journal;
  if (!o.journal.empty() && !journal.Open(o.journal, JournalOwnerOf(o, registry), &error)) {
    return Fail(kExitUsage, error);
  }
  ReportWriter report;
  if (!o.report.empty() && !report.Open(o.report, !o.journal.empty())) {
    return Fail(kExitUsage, "cannot write the report " + o.report);
  }

  uint64_t recovered = 0;
  if (!o.journal.empty() && !journal.InDoubt().empty()) {
    if (connection.empty()) {
      fprintf(stderr,
              "mailstorage-import: the journal shows calls that a stopped run never finished; "
              "without the database check they are imported again (a mail may be linked twice)\n");
    } else if (!ResolveInDoubt(&queries, std::stoll(o.user), o.keep_line_ends, imap.get(), walk,
                               &journal, &recovered, &error)) {
      return Fail(kExitUsage,
                  "cannot check unfinished calls of the journal in the store: " + error);
    }
  }

  InstallInterruptHandler();
  InstallPauseHandler();
  ProbeFactory probes;
  if (!connection.empty()) {
    probes = [&] { return NewStoreProbe(connection, !o.tables, std::stoll(o.user)); };
  }
  FlagsWriter flags;
  if (!o.flags_file.empty() && !flags.Open(o.flags_file)) {
    return Fail(kExitUsage, "cannot write the flags file " + o.flags_file);
  }
  Importer importer(o, api, o.journal.empty() ? nullptr : &journal,
                    o.report.empty() ? nullptr : &report, probes,
                    o.flags_file.empty() ? nullptr : &flags, imap.get());
  // The progress total: the items the run will work on, counted by a walk
  // that keeps none of them (the bulk mode shows no progress).
  uint64_t total = 0;
  if (!o.bulk && !walk([&](const ImportItem& item) { total += importer.NeedsWork(item); },
                       &error)) {
    return Fail(kExitUsage, error);
  }
  ProgressPrinter printer(o.quiet, StandardErrorIsTerminal(), o.status_file,
                          "user " + o.user + " of company " + o.company);
  const auto start = std::chrono::steady_clock::now();
  ProgressState before, last;  // the windows done; the current one as last seen
  auto tick = [&](const ProgressState& s) {
    last = s;
    ProgressState all = s;
    all.done += before.done;
    all.failed += before.failed;
    all.bytes += before.bytes;
    all.total = total;
    all.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printer.Update(all);
  };
  Summary summary;
  VerifyResult verified;
  std::string listing_error;
  bool more = !items.empty();
  while (more) {
    if (InterruptRequested()) {
      summary.interrupted = true;
      break;
    }
    if (o.shard_index > 1 && !connection.empty() && !WaitForShardOneFolders(o, &queries, items)) {
      return Fail(kExitInterrupted, "interrupted while waiting for shard 1");
    }
    if (imap) {
      std::vector<size_t> pending;
      for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].skip_reason.empty() && !journal.IsComplete(items[i])) pending.push_back(i);
      }
      PrefetchImap(imap.get(), items, pending);
    }
    std::vector<size_t> bulk_imported;
    last = ProgressState();
    const Summary part =
        o.bulk ? RunBulkImport(o, items, o.journal.empty() ? nullptr : &journal,
                               o.report.empty() ? nullptr : &report, imap.get(), &bulk_imported)
               : importer.Run(items, tick);
    summary.Add(part);
    before.done += last.done;
    before.failed += last.failed;
    before.bytes += last.bytes;
    if (part.interrupted || part.outage) break;
    if (o.verify) {
      std::vector<size_t> which = o.bulk ? bulk_imported : importer.imported();
      if (!o.journal.empty()) {
        std::vector<bool> in_run(items.size(), false);
        for (size_t i : which) in_run[i] = true;
        for (size_t i = 0; i < items.size(); ++i) {
          auto e = journal.Find(items[i]);
          if (!in_run[i] && e && e->state == "done" && e->code == 0) which.push_back(i);
        }
      }
      PrefetchImap(imap.get(), items, VerifyOrder(items, which));
      if (!VerifyImport(&queries, std::stoll(o.user), o.keep_line_ends, imap.get(), items, which,
                        &verified, &error)) {
        return Fail(kExitFailures, "verify: cannot read the store: " + error);
      }
    }
    more = windows.Next(&items, &listing_error);
  }
  // Items of the windows not reached are left too.
  if ((summary.interrupted || summary.outage) && !o.bulk && total > before.done) {
    summary.left = std::max(summary.left, total - before.done);
  }
  printer.Finish();
  summary.recovered = recovered;
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintSummary(summary, stdout);
  if (imap && imap->insecure()) {
    printf("  IMAP server certificates were NOT verified (--imap-insecure)\n");
  }
  if (imap && imap->unencrypted()) {
    printf("  IMAP session without TLS: password and mail crossed the network in clear "
           "(--imap-plain)\n");
  }
  if (summary.interrupted) {
    fprintf(stderr, "mailstorage-import: interrupted; %s\n",
            o.journal.empty() ? "run again with --journal to resume next time"
                              : "run the same command again to resume");
    return kExitInterrupted;
  }
  if (summary.outage) {
    fprintf(stderr,
            "mailstorage-import: the database stayed unreachable for %d s (--outage-wait); "
            "stopped%s\n",
            o.outage_wait,
            o.journal.empty() ? "" : "; run the same command again to resume");
    return kExitFailures;
  }
  if (!listing_error.empty()) return Fail(kExitUsage, listing_error);

  if (o.verify) {
    printf("Verify: %llu mails checked, %llu match their stored copy byte for byte\n",
           static_cast<unsigned long long>(verified.checked),
           static_cast<unsigned long long>(verified.matched));
    for (const auto& p : verified.problems) printf("  DIFFERS: %s\n", p.c_str());
  }
  return summary.FailedCount() == 0 && verified.problems.empty() ? kExitOk : kExitFailures;
}
