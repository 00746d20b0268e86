// mailstorage-check: reports, per storage host, what the mail store holds
// that nothing uses (records without a message, blob files without a record,
// messages without a link) and what it promises that is not there (records
// whose file is missing or of another size, links to missing messages), and
// with --repair removes the orphans old enough not to belong to an import in
// flight. Exit status: 0 clean, 1 not clean, 2 bad usage or configuration.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <vector>

#include "db/ConnectionManager.h"
#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tools/CommandLine.h"
#include "tools/Report.h"
#include "tools/Store.h"
#include "tools/check/StoreCheck.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitNotClean = 1;
constexpr int kExitUsage = 2;
constexpr const char *kDefaultRegistry = "/etc/mailstorage/registry.reg";

int Fail(const std::string &text) {
  std::fprintf(stderr, "mailstorage-check: %s\n", text.c_str());
  return kExitUsage;
}

// --account: whether every mail that an import's report says was stored is
// in the store now, in its folder under its UID with its size. An item's
// last row with a result counts (a rerun retries what failed before).
int CheckAccount(const std::string &registry, const std::string &user,
                 const std::string &report_file) {
  using namespace Nauvik::Import;
  std::vector<ReportRow> rows;
  std::string error;
  if (!ReadReport(report_file, &rows, &error)) return Fail(error);
  StoreDatabase db;
  const std::string connection = StoreConnectionString(registry, &error);
  if (connection.empty() || !db.Connect(connection, &error)) {
    return Fail("cannot connect to the store database: " + error);
  }
  StoreQueries queries(&db, true);
  auto folders = queries.Folders(std::stoll(user), &error);
  if (!folders) return Fail("cannot read the folders: " + error);
  std::map<std::string, const ReportRow *> last;  // source + offset -> last row with a result
  for (const ReportRow &row : rows) {
    if (!row.result.empty()) last[row.source + '\t' + std::to_string(row.offset)] = &row;
  }
  std::map<std::string, std::map<int64_t, uint64_t>> links;  // folder key -> UID -> size
  size_t found = 0;
  std::vector<std::string> problems;
  for (const auto &[key, row] : last) {
    const std::string name =
        row->source + (row->offset >= 0 ? " (offset " + std::to_string(row->offset) + ")" : "");
    if (row->result != "0") {
      problems.push_back("failed: " + name + ": " + row->result + " " + row->text);
      continue;
    }
    const std::string folder = FolderKey(row->folder);
    if (!links.count(folder)) {
      auto &uids = links[folder];
      if (auto id = folders->find(folder); id != folders->end()) {
        auto stored = queries.Links(id->second, &error);
        if (!stored) return Fail("cannot read the links: " + error);
        for (const auto &link : *stored) uids[link.uid] = link.size;
      }
    }
    auto uid = links[folder].find(row->uid);
    if (row->uid <= 0) {
      problems.push_back("no UID in the report: " + name);
    } else if (uid == links[folder].end() || uid->second != row->size) {
      problems.push_back("missing: " + name + " in " + row->folder + " as UID " +
                         std::to_string(row->uid));
    } else {
      ++found;
    }
  }
  for (const auto &p : problems) std::printf("  %s\n", p.c_str());
  if (problems.empty()) {
    std::printf("complete: all %zu mails of the report are in the store\n", found);
    return kExitClean;
  }
  std::printf("not complete: %zu of %zu mails of the report are in the store\n", found,
              last.size());
  return kExitNotClean;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace Nauvik;
  CLI::App app(
      "Checks a mail store: file storage records, blob files, "
      "messages and their links, per "
      "storage host. With --repair it removes orphans older than "
      "--min-age, while no mailstorage-import runs on the store (imports wait for the "
      "repair; a repair finding one running removes nothing); linked mail is "
      "never touched. Exit status: 0 clean, 1 not clean, 2 bad usage "
      "or configuration.",
      "mailstorage-check");
  app.set_version_flag("--version", std::string("mailstorage-check ") + MAILSTORAGE_VERSION);
  std::string registry;
  std::string min_age = "1h";
  bool repair = false;
  size_t list_limit = 20;
  app.add_option("--registry", registry,
                 "registry file with the database settings (sets MAILSTORAGE_REGISTRY)");
  app.add_flag("--repair", repair,
               "mark orphan records deleted, remove messages without a link "
               "and blob files "
               "without a record, when older than --min-age");
  app.add_option("--min-age", min_age,
                 "orphans younger than this are left alone (an import may still be writing "
                 "them): 15m, 1h, 2d. At least 15m: a call of the store commits a mail's file "
                 "storage record before its message, and a call of a large mail or one that "
                 "waits for a lock can take minutes")
      ->capture_default_str();
  app.add_option("--list", list_limit, "findings listed per category (0: all)")
      ->capture_default_str();
  std::string account, import_report;
  app.add_option("--account", account,
                 "instead: compare an import's --report of this user id with the store");
  app.add_option("--report", import_report, "with --account: the import's report (CSV)");
  if (const int status = Import::ParseCommandLine(app, argc, argv, kExitUsage); status >= 0) {
    return status;
  }

  Check::CheckSettings settings;
  settings.list_limit = list_limit;
  if (!Check::ParseAge(min_age, &settings.min_age_seconds)) {
    return Fail("--min-age " + min_age + ": give seconds, or a number with s, m, h or d");
  }
  if (settings.min_age_seconds < Check::kMinAgeFloorSeconds) {
    return Fail("--min-age " + min_age +
                " is below 15m: a younger orphan may be the mail of a call still running");
  }
  if (!registry.empty()) setenv("MAILSTORAGE_REGISTRY", registry.c_str(), 1);
  const char *env = std::getenv("MAILSTORAGE_REGISTRY");
  const std::string registry_file = env != nullptr && *env != '\0' ? env : kDefaultRegistry;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(registry_file, ec)) {
    return Fail("registry file " + registry_file + " not found (--registry FILE)");
  }
  if (!account.empty() || !import_report.empty()) {
    if (account.empty() || import_report.empty() ||
        account.find_first_not_of("0123456789") != std::string::npos || account.size() > 18) {
      return Fail("--account takes a decimal user id, and goes with --report FILE");
    }
    return CheckAccount(registry_file, account, import_report);
  }

  // The library's code logs into the process-wide channel; warnings and
  // errors (a blob file that was already gone, a failed delete) go to
  // standard error.
  SetLogLevel(kLogWarning);
  LogBroker broker("mailstorage-check", GlobalLogChannel());
  broker.Open("", 0);

  int status = kExitUsage;
  try {
    Check::StoreReport report = Check::CheckStore(settings);
    Check::PrintReport(report, settings, std::cout);
    status = report.Clean() ? kExitClean : kExitNotClean;
    if (repair && !report.Clean()) {
      std::cout << "Repair (orphans older than " << min_age << "):\n";
      const size_t failed = Check::RepairStore(report, std::cout);
      if (failed > 0) std::cout << failed << " repair actions failed\n";
      std::cout << "After the repair:\n";
      report = Check::CheckStore(settings);
      Check::PrintReport(report, settings, std::cout);
      status = report.Clean() ? kExitClean : kExitNotClean;
    }
  } catch (const std::exception &e) {
    std::cout.flush();
    status = Fail(std::string("cannot read the store: ") + e.what());
  }
  std::cout.flush();
  CloseThreadDatabases();
  WaitForLogChannelEmpty(2000);
  return status;
}
