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

#include "db/ConnectionManager.h"
#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tools/CommandLine.h"
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
