#include "tools/check/StoreCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <system_error>
#include <unordered_map>

#include "blob/BlobUtils.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/Files.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"
#include "tools/RunLock.h"

namespace Nauvik::Check {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// The creators of the mail store's own blobs: 11 through the views, 46 on
// the base tables, 21 the import. Other programs' files share the table;
// their records are none of the checker's business.
constexpr const char *kStoreCreators = "FIS.FIS_CREATEDBY IN (11, 21, 46)";

std::string Dec(int64_t n) { return std::to_string(n); }

// The live records of one host, each with the number of messages that use
// it; the record's own columns are the file storage row's buffers.
class HostRecordRow : public NS_FILESTORAGE {
 public:
  void DefineColumns() override {
    SetTableName("NV_FILESTORAGE FIS", false);
    Id(FIS_FILESTORAGEID, "FIS_FILESTORAGEID", "FIS");
    Text(FIS_LOCATION, "FIS_LOCATION", "FIS");
    Id(FIS_SIZE, "FIS_SIZE", "FIS");
    Date(FIS_CREATED, "FIS.FIS_CREATED");
    Id(STORE_CREATED, "(CASE WHEN " + std::string(kStoreCreators) + " THEN 1 ELSE 0 END)");
    Id(MESSAGES,
       "(SELECT COUNT(*) FROM NV_IMAPMESSAGE IMM WHERE IMM.FIS_FILESTORAGEID = "
       "FIS.FIS_FILESTORAGEID)");
  }
  char STORE_CREATED[kIdSize] = {};
  char MESSAGES[kIdSize] = {};
};

// Messages that have no link or whose record is not live, with the record.
class MessageRow : public DBTableBase {
 public:
  void DefineColumns() override {
    SetTableName(
        "NV_IMAPMESSAGE IMM LEFT JOIN NV_FILESTORAGE FIS ON "
        "IMM.FIS_FILESTORAGEID = "
        "FIS.FIS_FILESTORAGEID",
        false);
    Id(IMM_IMAPMESSAGEID, "IMM_IMAPMESSAGEID", "IMM");
    Id(FIS_FILESTORAGEID, "FIS_FILESTORAGEID", "IMM");
    Id(FSH_FILESTORAGEHOSTID, "FSH_FILESTORAGEHOSTID", "FIS");
    Text(IMM_MESSAGEID, "IMM_MESSAGEID", "IMM");
    Date(FIS_CREATED, "FIS.FIS_CREATED");
    Id(RECORD_LIVE,
       "(CASE WHEN FIS.FIS_FILESTORAGEID IS NOT NULL AND "
       "FIS.FIS_DELETED IS NULL THEN 1 ELSE 0 "
       "END)");
    Id(LINKS,
       "(SELECT COUNT(*) FROM NV_IMAPMSGINFOLDER MIF WHERE "
       "MIF.IMM_IMAPMESSAGEID = "
       "IMM.IMM_IMAPMESSAGEID)");
  }
  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char FIS_FILESTORAGEID[kIdSize] = {};
  char FSH_FILESTORAGEHOSTID[kIdSize] = {};
  char IMM_MESSAGEID[400 + 1] = {};
  char FIS_CREATED[kDateBufferSize] = {};
  char RECORD_LIVE[kIdSize] = {};
  char LINKS[kIdSize] = {};
};

// Selects into `table` and calls `each` with every row fetched into it. A
// select that cannot bind its columns raises, as a database failure does.
template <class Row, class Each>
void ForEachRow(DBTable<Row> &table, const std::string &where, const std::string &order_by,
                const std::string &what, Each each) {
  if (!table.Select(where, order_by)) throw std::runtime_error(what + " cannot be read");
  while (table.Fetch()) each();
}

// "yyyy/mm/dd hh24:mi:ss" (UTC) as a time; nullopt for anything else.
std::optional<Clock::time_point> FromDatabaseText(const std::string &text) {
  int y = 0;
  unsigned mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (std::sscanf(text.c_str(), "%d/%u/%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s) != 6) {
    return std::nullopt;
  }
  const std::chrono::year_month_day day{std::chrono::year(y), std::chrono::month(mo),
                                        std::chrono::day(d)};
  if (!day.ok()) return std::nullopt;
  return std::chrono::sys_days(day) + std::chrono::hours(h) + std::chrono::minutes(mi) +
         std::chrono::seconds(s);
}

// Older than the limit. A time that cannot be read counts as new: what the
// checker cannot date, it leaves alone.
bool OldEnough(const std::string &database_time, Clock::time_point limit) {
  const auto t = FromDatabaseText(database_time);
  return t && *t < limit;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The location "\Y\M\D\h\m\<id>.blb" of a file below a host's directory, or
// "" when the file is not laid out as a blob.
std::string BlobLocation(const fs::path &relative) {
  std::vector<std::string> parts;
  for (const fs::path &part : relative) parts.push_back(part.string());
  if (parts.size() != 6) return "";
  for (size_t i = 0; i < 5; ++i) {
    if (!AllDigits(parts[i])) return "";
  }
  const std::string &name = parts[5];
  if (name.size() <= 4 || !name.ends_with(".blb") ||
      !AllDigits(std::string_view(name).substr(0, name.size() - 4))) {
    return "";
  }
  std::string location;
  for (const std::string &part : parts) location += "\\" + part;
  return location;
}

// FIS_LOCATION in the form BlobLocation gives: "\" separators, one leading.
std::string NormalLocation(std::string location) {
  std::replace(location.begin(), location.end(), '/', '\\');
  if (!location.starts_with('\\')) location.insert(location.begin(), '\\');
  return location;
}

struct FileSeen {
  std::string path;
  uint64_t size = 0;
  bool old_enough = false;
  bool recorded = false;
};

// The blob files below a host's directory, by location.
std::unordered_map<std::string, FileSeen> WalkHost(const std::string &root, Clock::time_point limit,
                                                   HostReport *host) {
  std::unordered_map<std::string, FileSeen> files;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    host->walk_error = "directory " + root + " not found";
    return files;
  }
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string location = BlobLocation(it->path().lexically_relative(root));
    if (location.empty()) continue;
    FileSeen seen;
    seen.path = it->path().string();
    seen.size = it->file_size(ec);
    const auto modified = it->last_write_time(ec);
    seen.old_enough = !ec && std::chrono::file_clock::to_sys(modified) < limit;
    ++host->files;
    host->bytes += seen.size;
    files.emplace(location, std::move(seen));
  }
  if (ec) host->walk_error = "reading " + root + ": " + ec.message();
  return files;
}

void CheckHostRecords(Clock::time_point limit, std::unordered_map<std::string, FileSeen> *files,
                      HostReport *host) {
  DBTable<HostRecordRow> row;
  ForEachRow(row, "FIS.FIS_DELETED IS NULL AND FIS.FSH_FILESTORAGEHOSTID = " + Dec(host->id),
             "FIS.FIS_FILESTORAGEID", "the records of host " + Dec(host->id), [&] {
               ++host->records;
               RecordFinding record;
               record.id = IdOf(row.FIS_FILESTORAGEID);
               record.location = TextOf(row.FIS_LOCATION);
               record.size = static_cast<uint64_t>(IdOf(row.FIS_SIZE));
               record.created = TextOf(row.FIS_CREATED);
               record.old_enough = OldEnough(record.created, limit);
               const bool ours = IdOf(row.STORE_CREATED) == 1;
               if (ours && IdOf(row.MESSAGES) == 0) host->records_without_message.push_back(record);
               if (!host->online || !host->walk_error.empty()) return;

               // A location outside the blob layout is looked at directly.
               std::optional<uint64_t> file_size;
               auto found = files->find(NormalLocation(record.location));
               if (found != files->end()) {
                 found->second.recorded = true;
                 file_size = found->second.size;
               } else if (!record.location.empty()) {
                 std::error_code ec;
                 const std::string path = KAVRO::OsPath(host->path + record.location);
                 if (fs::is_regular_file(path, ec)) file_size = fs::file_size(path, ec);
               }
               if (!ours) return;
               if (!file_size) {
                 host->records_without_file.push_back(record);
               } else if (*file_size != record.size) {
                 record.file_size = *file_size;
                 host->records_with_other_size.push_back(record);
               }
             });
}

std::vector<HostReport> ReadHosts() {
  std::vector<HostReport> hosts;
  DBTable<NS_FILESTORAGEHOST> row;
  row.SetTableName("NV_FILESTORAGEHOST", false);
  ForEachRow(row, "", "FSH_FILESTORAGEHOSTID", "the storage hosts", [&] {
    HostReport host;
    host.id = IdOf(row.FSH_FILESTORAGEHOSTID);
    host.description = TextOf(row.FSH_DESCRIPTION);
    host.path = TextOf(row.FSH_HOSTPATH);
    host.online = static_cast<int16_t>(row.FSH_ONLINE) == 1;
    hosts.push_back(std::move(host));
  });
  return hosts;
}

void CheckMessages(Clock::time_point limit, StoreReport *report) {
  DBTable<MessageRow> row;
  const std::string condition =
      "NOT EXISTS (SELECT 1 FROM NV_IMAPMSGINFOLDER MIF WHERE "
      "MIF.IMM_IMAPMESSAGEID = "
      "IMM.IMM_IMAPMESSAGEID) OR FIS.FIS_FILESTORAGEID IS NULL OR "
      "FIS.FIS_DELETED IS NOT NULL";
  ForEachRow(row, condition, "IMM.IMM_IMAPMESSAGEID", "the messages", [&] {
    MessageFinding message;
    message.message_id = IdOf(row.IMM_IMAPMESSAGEID);
    message.record_id = IdOf(row.FIS_FILESTORAGEID);
    message.message_id_text = TextOf(row.IMM_MESSAGEID);
    message.record_live = IdOf(row.RECORD_LIVE) == 1;
    message.linked = IdOf(row.LINKS) > 0;
    // A message without a record cannot belong to an import in flight: the
    // store writes the record first.
    message.old_enough = !HasDate(row.FIS_CREATED) || OldEnough(TextOf(row.FIS_CREATED), limit);
    if (!message.record_live) {
      report->messages_without_record.push_back(std::move(message));
      return;
    }
    const int64_t host_id = IdOf(row.FSH_FILESTORAGEHOSTID);
    auto host = std::find_if(report->hosts.begin(), report->hosts.end(),
                             [&](const HostReport &h) { return h.id == host_id; });
    if (host != report->hosts.end()) host->messages_without_link.push_back(std::move(message));
  });
}

void CheckLinks(StoreReport *report) {
  DBTable<NV_IMAPMSGINFOLDER> row;
  row.SetTableName("NV_IMAPMSGINFOLDER MIF", false);
  ForEachRow(row,
             "NOT EXISTS (SELECT 1 FROM NV_IMAPMESSAGE IMM WHERE "
             "IMM.IMM_IMAPMESSAGEID = "
             "MIF.IMM_IMAPMESSAGEID)",
             "MIF_IMAPMSGINFOLDERID", "the message links", [&] {
               report->links_to_missing_messages.push_back(
                   {IdOf(row.MIF_IMAPMSGINFOLDERID), IdOf(row.IMF_IMAPFOLDERID),
                    IdOf(row.IMM_IMAPMESSAGEID),
                    static_cast<int64_t>(static_cast<uint32_t>(row.MIF_UID))});
             });
}

// ---- repair ---------------------------------------------------------------

// Marks a record deleted and removes its file, as the store removes a blob
// that no message uses. Whether a message uses it is decided by the update
// itself, not by an earlier read: a message that came since is seen.
bool RemoveBlob(int64_t record_id, std::ostream &out) {
  const std::string id = Dec(record_id);
  std::string path;  // stays empty when the file is gone already
  if (const int32_t code = BlobUtils(true).GetBlobFileName(record_id, &path);
      code != 0 && code != kBlobFileMissing) {
    out << "  record " << id << " left: its file cannot be named (" << code << ")\n";
    return false;
  }
  DBTable<NS_FILESTORAGE> update;
  update.SetTableName("NV_FILESTORAGE", false);
  update.SetLiteral("FIS_DELETED", update.GetDialect().CurrentUtcTime());
  update.SetValue("FIS_DELETEDBY", "11", true);
  update.SetLiteral("FIS_LOCATION", "NULL");
  update.SetLiteral("FSH_FILESTORAGEHOSTID", "NULL");
  if (update.Update("FIS_FILESTORAGEID = " + id +
                    " AND FIS_DELETED IS NULL AND NOT EXISTS (SELECT 1 FROM NV_IMAPMESSAGE IMM "
                    "WHERE IMM.FIS_FILESTORAGEID = " +
                    id + ")") != 1) {
    out << "  record " << id << " left: a message uses it now\n";
    return true;
  }
  std::error_code ec;
  if (!path.empty() && !fs::remove(KAVRO::OsPath(path), ec) && ec) {
    out << "  record " << id << " marked deleted, its file not removed: " << ec.message() << "\n";
    return false;
  }
  out << "  record " << id << " marked deleted, its file removed\n";
  return true;
}

// A row of the import locks that runs hold in the store: the user's key.
class ImportLockRow : public DBTableBase {
 public:
  void DefineColumns() override {
    SetTableName("pg_locks L", false);
    Id(USER_KEY, "L.objid");
  }
  char USER_KEY[kIdSize] = {};
};

// Takes the store's import lock exclusively for the rest of the process:
// imports started afterwards wait for the repair, on any machine. False when
// imports hold it now; `users` then names the users they import into.
bool LockOutImports(std::string *users) {
  DbSimpleAccess lock;
  lock.SetTableName("(SELECT 1 AS ONE) ONE_ROW", false);
  if (lock.Count("pg_try_advisory_lock(" + Dec(Import::kImportLockSpace) + ", 0)") == 1) {
    return true;
  }
  std::set<std::string> keys;
  DBTable<ImportLockRow> row;
  ForEachRow(row,
             "L.locktype = 'advisory' AND L.granted AND L.objsubid = 2 AND L.classid = " +
                 Dec(Import::kImportUserLockSpace),
             "", "the import locks", [&] { keys.insert(Dec(IdOf(row.USER_KEY))); });
  for (const std::string &key : keys) *users += (users->empty() ? "" : ", ") + key;
  return false;
}

bool RemoveMessage(const MessageFinding &message, std::ostream &out) {
  const std::string id = Dec(message.message_id);
  DbSimpleAccess messages("NV_IMAPMESSAGE");
  // The condition keeps a message that gained a link since the check.
  const int64_t removed = messages.Delete("IMM_IMAPMESSAGEID = " + id +
                                          " AND NOT EXISTS (SELECT 1 FROM NV_IMAPMSGINFOLDER MIF "
                                          "WHERE MIF.IMM_IMAPMESSAGEID = " +
                                          id + ")");
  if (removed != 1) {
    out << "  message " << id << " left: it has a link now\n";
    return true;
  }
  out << "  message " << id << " removed (it had no link)\n";
  return !message.record_live || RemoveBlob(message.record_id, out);
}

bool RemoveFile(const HostReport &host, const FileFinding &file, std::ostream &out) {
  // A record may have come since the check; the location holds only digits,
  // "\" and ".blb", so it needs no quoting.
  DbSimpleAccess records("NV_FILESTORAGE");
  if (records.Count("FIS_DELETED IS NULL AND FSH_FILESTORAGEHOSTID = " + Dec(host.id) +
                    " AND FIS_LOCATION = '" + file.location + "'") > 0) {
    out << "  file " << file.path << " left: a record names it now\n";
    return true;
  }
  // A record of that id that a message still uses (deleted by mistake, say)
  // makes the file the last copy of a mail.
  const std::string name = fs::path(file.path).filename().string();
  const std::string id = name.substr(0, name.size() - 4);
  if (DbSimpleAccess("NV_IMAPMESSAGE").Count("FIS_FILESTORAGEID = " + id) > 0) {
    out << "  file " << file.path << " left: a message uses record " << id << "\n";
    return true;
  }
  std::error_code ec;
  if (!fs::remove(file.path, ec) && ec) {
    out << "  file " << file.path << " not removed: " << ec.message() << "\n";
    return false;
  }
  out << "  file " << file.path << " removed\n";
  return true;
}

// ---- report ---------------------------------------------------------------

template <class Finding, class Describe>
void List(std::ostream &out, const char *title, const std::vector<Finding> &findings, size_t limit,
          Describe describe) {
  out << "  " << title << ": " << findings.size() << "\n";
  for (size_t i = 0; i < findings.size(); ++i) {
    if (limit == 0 || i < limit) out << "    " << describe(findings[i]) << "\n";
  }
  if (limit != 0 && findings.size() > limit) {
    out << "    ... and " << findings.size() - limit << " more\n";
  }
}

template <class Finding>
std::string Age(const Finding &f) {
  return f.old_enough ? "" : " (younger than the age limit)";
}

std::string DescribeRecord(const RecordFinding &r) {
  return "record " + Dec(r.id) + " " + r.location + " " + std::to_string(r.size) +
         " bytes, created " + r.created + Age(r);
}

std::string DescribeMessage(const MessageFinding &m) {
  return "message " + Dec(m.message_id) + " record " + Dec(m.record_id) + " Message-ID \"" +
         m.message_id_text + "\"" + Age(m);
}

}  // namespace

size_t HostReport::Problems() const {
  return (walk_error.empty() ? 0 : 1) + records_without_message.size() +
         files_without_record.size() + records_without_file.size() +
         records_with_other_size.size() + messages_without_link.size();
}

size_t StoreReport::Problems() const {
  size_t n = messages_without_record.size() + links_to_missing_messages.size();
  for (const HostReport &host : hosts) n += host.Problems();
  return n;
}

StoreReport CheckStore(const CheckSettings &settings) {
  const Clock::time_point limit = Clock::now() - std::chrono::seconds(settings.min_age_seconds);
  StoreReport report;
  report.hosts = ReadHosts();
  for (HostReport &host : report.hosts) {
    const std::string root = KAVRO::OsPath(host.path);
    std::unordered_map<std::string, FileSeen> files;
    if (host.online) {
      files = WalkHost(root, limit, &host);
      struct stat st;
      host.no_group_read = stat(root.c_str(), &st) == 0 && (st.st_mode & S_IRGRP) == 0;
    }
    CheckHostRecords(limit, &files, &host);
    for (const auto &[location, file] : files) {
      if (!file.recorded) {
        host.files_without_record.push_back({location, file.path, file.size, file.old_enough});
      }
    }
    std::sort(host.files_without_record.begin(), host.files_without_record.end(),
              [](const FileFinding &a, const FileFinding &b) { return a.path < b.path; });
  }
  CheckMessages(limit, &report);
  CheckLinks(&report);
  return report;
}

size_t RepairStore(const StoreReport &report, std::ostream &out) {
  // An import writes a record before its message and a file before its
  // record: while one runs, an orphan may be its mail in flight.
  std::string users;
  if (!LockOutImports(&users)) {
    out << "  imports are running (users " << users
        << "): nothing is removed while they run; repair again when they have ended\n";
    return 0;
  }
  size_t failed = 0;
  auto count = [&failed](bool ok) { failed += ok ? 0 : 1; };
  for (const HostReport &host : report.hosts) {
    if (!host.online || !host.walk_error.empty()) continue;
    for (const MessageFinding &m : host.messages_without_link) {
      if (m.old_enough) count(RemoveMessage(m, out));
    }
    for (const RecordFinding &r : host.records_without_message) {
      if (r.old_enough) count(RemoveBlob(r.id, out));
    }
    for (const FileFinding &f : host.files_without_record) {
      if (f.old_enough) count(RemoveFile(host, f, out));
    }
  }
  for (const MessageFinding &m : report.messages_without_record) {
    if (!m.linked && m.old_enough) count(RemoveMessage(m, out));
  }
  return failed;
}

void PrintReport(const StoreReport &report, const CheckSettings &settings, std::ostream &out) {
  const size_t limit = settings.list_limit;
  for (const HostReport &host : report.hosts) {
    out << "Host " << host.id << " \"" << host.description << "\" " << host.path
        << (host.online ? "" : " (offline: files not checked)") << ": " << host.records
        << " records, " << host.files << " blob files, " << host.bytes << " bytes\n";
    if (!host.walk_error.empty()) out << "  cannot read its files: " << host.walk_error << "\n";
    if (host.no_group_read) {
      out << "  warning: its directory is readable by no group: an IMAP server under another "
             "account cannot read its mail (README, Security)\n";
    }
    List(out, "records without a message", host.records_without_message, limit, DescribeRecord);
    List(out, "blob files without a record", host.files_without_record, limit,
         [](const FileFinding &f) {
           return f.path + " " + std::to_string(f.size) + " bytes" + Age(f);
         });
    List(out, "records whose file is missing", host.records_without_file, limit, DescribeRecord);
    List(out, "records whose file has another size", host.records_with_other_size, limit,
         [](const RecordFinding &r) {
           return DescribeRecord(r) + ", the file has " + std::to_string(r.file_size);
         });
    List(out, "messages without a link", host.messages_without_link, limit, DescribeMessage);
  }
  out << "Messages and links:\n";
  List(out, "messages whose file storage record is deleted or missing",
       report.messages_without_record, limit, [](const MessageFinding &m) {
         return DescribeMessage(m) + (m.linked ? ", linked" : ", no link");
       });
  List(out, "links to missing messages", report.links_to_missing_messages, limit,
       [](const LinkFinding &l) {
         return "link " + Dec(l.link_id) + " folder " + Dec(l.folder_id) + " UID " + Dec(l.uid) +
                " message " + Dec(l.message_id);
       });
  const size_t problems = report.Problems();
  out << (problems == 0 ? "Clean: " : "Not clean: ") << problems << " problem"
      << (problems == 1 ? "" : "s") << " in " << report.hosts.size() << " storage host"
      << (report.hosts.size() == 1 ? "" : "s") << "\n";
}

bool ParseAge(const std::string &text, int64_t *seconds) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 9) return false;
  const std::string unit = text.substr(digits);
  int64_t factor = 0;
  if (unit.empty() || unit == "s") factor = 1;
  if (unit == "m") factor = 60;
  if (unit == "h") factor = 3600;
  if (unit == "d") factor = 86400;
  if (factor == 0) return false;
  *seconds = std::stoll(text.substr(0, digits)) * factor;
  return true;
}

}  // namespace Nauvik::Check
