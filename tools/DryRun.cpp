#include "tools/DryRun.h"

#include <sys/statvfs.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "tools/Journal.h"
#include "tools/MailSource.h"
#include "tools/Recovery.h"
#include "tools/Report.h"
#include "tools/Store.h"

namespace Nauvik::Import {
namespace {

constexpr const char* kDefaultRegistry = "/etc/mailstorage/registry.reg";
// Round trips the library makes for a new mail: the 19 measured on the store,
// then the folder lock's read and the link's own commit.
constexpr int kStatementsPerMail = 21;
// Mails are read for at most this long; the bytes of the rest are estimated
// from what was read.
constexpr double kCalibrationSeconds = 5;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where a folder's mail comes from. Two places feeding one store folder is a
// clash that the folder names alone can hide: a directory "a.b" beside "a/b".
std::string SourcePlace(const ImportItem& item) {
  switch (item.source.kind) {
    case ItemSource::Kind::kImap:
      return item.source.imap->account + " " + item.source.imap->folder;
    case ItemSource::Kind::kMaildir:
      return item.path.substr(0, item.source.directory_length);
    case ItemSource::Kind::kMbox:
      return item.path;
    default:
      return std::filesystem::path(item.path).parent_path().string();
  }
}

std::string Join(const std::set<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

struct Grants {
  bool insert = false;
  bool create = false;
};

// The user's grants on a folder, as the library adds them up: given to the
// user, to a group of the user, or to the whole company; a right column
// grants only when it holds 1.
std::optional<Grants> FolderGrants(StoreDatabase* db, bool views, const ImportOptions& o,
                                   int64_t folder, std::string* error) {
  const std::string p = views ? "NV_" : "NS_";
  std::vector<StoreDatabase::Row> rows;
  if (!db->Query("SELECT COALESCE(MAX(CASE WHEN IFA_AR_INSERT = 1 THEN 1 END), 0), "
                 "COALESCE(MAX(CASE WHEN IFA_AR_CREATE = 1 THEN 1 END), 0) FROM " +
                     p + "IMAPFOLDERACCESS WHERE (USR_USERID = CAST(? AS BIGINT) OR "
                     "USG_USERGROUPID IN (SELECT USG_USERGROUPID FROM " +
                     p + "USERGROUPMEMBER WHERE USR_USERID = CAST(? AS BIGINT)) OR "
                     "(COM_COMPANYID = CAST(? AS BIGINT) AND USR_USERID IS NULL AND "
                     "USG_USERGROUPID IS NULL)) AND IMF_IMAPFOLDERID = CAST(? AS BIGINT)",
                 {o.user, o.user, o.company, std::to_string(folder)}, &rows, error) ||
      rows.empty()) {
    return std::nullopt;
  }
  return Grants{rows[0][0] == "1", rows[0][1] == "1"};
}

// What the library would make of a call into each folder: put the mail in
// (insert right), create the folder below its nearest existing parent
// (create right there), or create it at the top.
void PrintRights(StoreDatabase* db, bool views, const ImportOptions& o,
                 const std::map<std::string, std::string>& targets) {
  std::string error;
  StoreQueries queries(db, views);
  auto folders = queries.Folders(std::stoll(o.user), &error);
  if (!folders) {
    printf("  folders: cannot be read: %s\n", error.c_str());
    return;
  }
  for (const auto& [key, name] : targets) {
    std::string answer;
    if (auto it = folders->find(key); it != folders->end()) {
      auto grants = FolderGrants(db, views, o, it->second, &error);
      answer = !grants         ? "rights cannot be read: " + error
               : grants->insert ? "exists; mail may be put in"
                                : "exists; NO RIGHT to put mail in (insert)";
    } else {
      std::string parent = key;
      auto found = folders->end();
      for (size_t dot; found == folders->end() && (dot = parent.rfind('.')) != std::string::npos;) {
        parent.resize(dot);
        found = folders->find(parent);
      }
      if (found == folders->end()) {
        answer = "new; created at the top";
      } else {
        auto grants = FolderGrants(db, views, o, found->second, &error);
        answer = !grants         ? "rights cannot be read: " + error
                 : grants->create ? "new; may be created below " + parent
                                  : "new; NO RIGHT to create it below " + parent + " (create)";
      }
    }
    printf("  %-40s %s\n", name.c_str(), answer.c_str());
  }
}

// Free space of the online, writable storage hosts; hosts on one file system
// count once in the total.
void PrintSpace(StoreDatabase* db, bool views, uint64_t needed) {
  std::vector<StoreDatabase::Row> rows;
  std::string error;
  if (!db->Query(std::string("SELECT FSH_HOSTPATH FROM ") + (views ? "NV_" : "NS_") +
                     "FILESTORAGEHOST WHERE FSH_ONLINE = 1 AND FSH_WRITABLE = 1 ORDER BY "
                     "FSH_CATEGORY, FSH_FILESTORAGEHOSTID",
                 {}, &rows, &error)) {
    printf("  storage hosts cannot be read: %s\n", error.c_str());
    return;
  }
  uint64_t free_total = 0;
  std::set<unsigned long> counted;
  for (const auto& row : rows) {
    std::string path = row[0];
    for (char& c : path) c = c == '\\' ? '/' : c;
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) {
      printf("  storage host %s: cannot be read here\n", path.c_str());
      continue;
    }
    const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    printf("  storage host %-40s %12.1f MB free%s\n", path.c_str(), free / 1e6,
           free < needed ? " (less than this import)" : "");
    if (counted.insert(fs.f_fsid).second) free_total += free;
  }
  if (rows.empty()) printf("  no online writable storage host: nothing can be stored\n");
  printf("  %.1f MB free on the writable storage hosts: %s\n", free_total / 1e6,
         needed <= free_total ? "the import fits" : "the import DOES NOT FIT");
}

// The mean of a few round trips on a connection already open.
std::optional<double> RoundTrip(StoreDatabase* db) {
  std::vector<StoreDatabase::Row> rows;
  std::string error;
  if (!db->Query("SELECT 1", {}, &rows, &error)) return std::nullopt;
  const int n = 10;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (!db->Query("SELECT 1", {}, &rows, &error)) return std::nullopt;
  }
  return Since(start) / n;
}

}  // namespace

std::string RegistryPath(const ImportOptions& o) {
  if (!o.registry.empty()) return o.registry;
  const char* env = getenv("MAILSTORAGE_REGISTRY");
  return env && *env ? env : kDefaultRegistry;
}

int DryRun(const ImportOptions& o, const WindowSource& next_window) {
  std::map<std::string, std::pair<uint64_t, uint64_t>> folders;  // mails, bytes
  uint64_t listed = 0, skipped = 0, done = 0, pending = 0;
  ReportWriter report;
  if (!o.report.empty() && !report.Open(o.report)) {
    fprintf(stderr, "mailstorage-import: cannot write the report %s\n", o.report.c_str());
    return kExitUsage;
  }
  // With the journal of earlier runs: what a run now would leave out.
  Journal journal;
  std::string error;
  if (!o.journal.empty() &&
      !journal.Read(o.journal, {"", o.user, o.company, FolderKey(o.folder)}, &error)) {
    fprintf(stderr, "mailstorage-import: %s\n", error.c_str());
    return kExitUsage;
  }
  struct Together {
    std::set<std::string> names, places;
  };
  std::map<std::string, Together> together;    // by store folder
  std::map<std::string, std::string> targets;  // FolderKey -> a name given
  // Calibration: mails read and converted as the import reads them, for a
  // few seconds; the bytes of the mails not read are estimated from the
  // ratio of those read.
  uint64_t source_bytes = 0, read_source = 0, read_converted = 0, imap_bytes = 0;
  size_t read = 0, files = 0;
  double read_seconds = 0;
  std::vector<ImportItem> items;
  while (next_window(&items, &error)) {
    listed += items.size();
    for (const auto& item : items) {
      if (!o.journal.empty() && journal.IsComplete(item)) {
        ++done;
        continue;
      }
      if (!o.report.empty()) {
        report.Row(ReportName(item), item.offset, item.folder, "",
                   item.skip_reason.empty() ? "dry run" : "skipped: " + item.skip_reason,
                   item.length, "");
      }
      if (!item.skip_reason.empty()) {
        ++skipped;
        continue;
      }
      Together& t = together[StoreFolderKey(item.folder)];
      t.names.insert(item.folder);
      // Inputs given into the target folder itself come from many places by intent.
      if (FolderKey(item.folder) != FolderKey(o.folder)) t.places.insert(SourcePlace(item));
      targets.emplace(FolderKey(item.folder), item.folder);
      folders[item.folder].first++;
      folders[item.folder].second += item.length;
      ++pending;
      if (item.source.kind == ItemSource::Kind::kImap) {
        imap_bytes += item.length;  // the server's size, line ends as stored
        continue;
      }
      ++files;
      source_bytes += item.length;
      if (read_seconds >= kCalibrationSeconds) continue;
      const auto start = Clock::now();
      MailBytes mail;
      std::string load_error;
      const bool loaded = LoadMail(item, o.keep_line_ends, nullptr, &mail, &load_error);
      read_seconds += Since(start);
      if (!loaded) continue;
      ++read;
      read_source += item.length;
      read_converted += mail.bytes.size();
    }
  }
  if (!error.empty()) {
    fprintf(stderr, "mailstorage-import: %s\n", error.c_str());
    return kExitUsage;
  }
  printf("Dry run: %llu items, %llu not mail", static_cast<unsigned long long>(listed),
         static_cast<unsigned long long>(skipped));
  if (!o.journal.empty()) {
    printf(", %llu done in an earlier run (journal); to import:",
           static_cast<unsigned long long>(done));
  }
  printf("\n");
  for (const auto& [folder, n] : folders) {
    printf("  %-40s %8llu mails %10.2f MB\n", folder.c_str(),
           static_cast<unsigned long long>(n.first), n.second / 1e6);
  }
  for (const auto& [key, t] : together) {
    if (t.names.size() < 2 && t.places.size() < 2) continue;
    printf("  these fall together into one folder (letter case, a level cut at 100 characters, or "
           "a.b beside a/b): %s%s\n",
           Join(t.names).c_str(), t.places.size() < 2 ? "" : (" from " + Join(t.places)).c_str());
  }

  const double ratio = read_source > 0 ? static_cast<double>(read_converted) / read_source : 1;
  const uint64_t needed =
      read_converted + static_cast<uint64_t>((source_bytes - read_source) * ratio) + imap_bytes;
  printf("Bytes to store: %.1f MB after line-end conversion (%s)\n", needed / 1e6,
         read == files ? "every mail read"
                       : ("estimated from " + std::to_string(read) + " of " +
                          std::to_string(files) + " mail files read")
                             .c_str());

  const std::string registry = RegistryPath(o);
  const std::string connection = StoreConnectionString(registry, &error);
  StoreDatabase db;
  if (o.no_check || connection.empty() || !db.Connect(connection, &error)) {
    printf("Store: not checked (%s)\n", o.no_check ? "--no-check" : error.c_str());
    return kExitOk;
  }
  LimitStatements(&db);
  StoreQueries queries(&db, !o.tables);
  auto user = queries.User(std::stoll(o.user), &error);
  printf("Store: user %s of company %s: %s\n", o.user.c_str(), o.company.c_str(),
         !user                                          ? ("cannot be read: " + error).c_str()
         : *user == StoreQueries::UserState::kLive    ? "exists"
         : *user == StoreQueries::UserState::kDeleted ? "DELETED (the import would be refused)"
                                                      : "UNKNOWN (the import would be refused)");
  PrintRights(&db, !o.tables, o, targets);
  PrintSpace(&db, !o.tables, needed);

  const auto round_trip = RoundTrip(&db);
  const double per_mail = (read > 0 ? read_seconds / read : 0) +
                          round_trip.value_or(0) * kStatementsPerMail;
  const double total = per_mail * static_cast<double>(pending);
  char took[32];
  if (total < 120) {
    snprintf(took, sizeof took, "%.0f s", total);
  } else {
    snprintf(took, sizeof took, "%.0f h %02.0f min", std::floor(total / 3600),
             std::floor(std::fmod(total, 3600) / 60));
  }
  printf("Time: about %s at one call at a time (measured: reading and converting %.2f ms "
         "per mail over %zu mails, a database round trip %.2f ms x %d statements per mail; the "
         "server's own work and IMAP fetches are not in it). Calls into different folders run "
         "side by side with --threads.\n",
         took, read > 0 ? read_seconds / read * 1e3 : 0.0, read,
         round_trip.value_or(0) * 1e3, kStatementsPerMail);
  return kExitOk;
}

}  // namespace Nauvik::Import
