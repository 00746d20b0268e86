#include "blob/BlobUtils.h"

#include <cerrno>
#include <exception>
#include <vector>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "log/Log.h"

namespace Nauvik {
namespace {

constexpr const char* kInsertPrefix = "BlobUtils::InsertBlob(): ";
constexpr const char* kHostPrefix = "BlobUtils::GetNextFileStorageHost(): ";
constexpr const char* kDeletePrefix = "BlobUtils::DeleteBlob(): ";
constexpr const char* kFileNamePrefix = "BlobUtils::GetBlobFileName(): ";
constexpr const char* kStorePrefix = "BlobUtils::StoreInBestStorage(): ";
constexpr const char* kWritePrefix = "BlobUtils::WriteToStorage(): ";
constexpr const char* kGetStoragePrefix = "BlobUtils::GetNsFileStorage(): ";
constexpr const char* kGetHostPrefix = "BlobUtils::GetNsFileStorageHost(): ";
constexpr const char* kMappingPrefix = "BlobUtils::GetBlobMapping(): ";

// The category whose hosts take new blobs first.
constexpr int32_t kRequestedCategory = 0;

// Logs at `level` when the global level lets it through; the text is built
// only then.
template <class MakeText>
void LogAt(int32_t level, MakeText make_text) {
  if (LogLevelAtLeast(level)) Log(level, false, make_text());
}

std::string Decimal(int64_t n) { return std::to_string(n); }

}  // namespace

BlobUtils::BlobUtils(bool use_views) : use_views_(use_views) {}

void BlobUtils::Name(DBTable<NS_FILESTORAGE>& table) const {
  table.SetTableName(use_views_ ? "NV_FILESTORAGE" : "NS_FILESTORAGE", true);
}

void BlobUtils::Name(DBTable<NS_FILESTORAGEHOST>& table) const {
  table.SetTableName(use_views_ ? "NV_FILESTORAGEHOST" : "NS_FILESTORAGEHOST", true);
}

// ---- insertion -------------------------------------------------------------

int32_t BlobUtils::InsertBlob(const void* data, uint32_t length, int32_t file_type, int32_t creator,
                              int64_t* out_id) {
  LogAt(kLogDebug4, [] { return std::string("BlobUtils::InsertBlob() start."); });
  if (data == nullptr || length == 0 || out_id == nullptr) {
    last_error_ = "Invalid parameter specified. Aborting insert.";
    LogAt(kLogError, [&] { return kInsertPrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  BlobSource source;
  source.data = data;
  source.length = length;
  return InsertBlobFrom(source, length, file_type, creator, out_id);
}

int32_t BlobUtils::InsertBlob(const BlobSource& source, int32_t file_type, int32_t creator,
                              int64_t* out_id) {
  if (source.IsBuffer()) return InsertBlob(source.data, source.length, file_type, creator, out_id);
  LogAt(kLogDebug4, [] { return std::string("BlobUtils::InsertBlob() start."); });
  if (out_id == nullptr) {
    last_error_ = "Invalid parameter specified. Aborting insert.";
    LogAt(kLogError, [&] { return kInsertPrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  // The size is read before the copy; StoreInBestStorage refuses a source
  // that cannot be reached.
  return InsertBlobFrom(source, KAVRO::FileSize(source.file_name), file_type, creator, out_id);
}

int32_t BlobUtils::InsertBlobFrom(const BlobSource& source, uint64_t size, int32_t file_type,
                                  int32_t creator, int64_t* out_id) {
  last_error_.clear();
  *out_id = 0;
  std::string full_file_name;  // set once a blob file exists on a host
  try {
    DBTable<NS_FILESTORAGE> records;
    Name(records);
    const auto id = static_cast<int64_t>(records.GetNextSequenceValue());

    std::string location;
    std::string host_path;
    int64_t host_id = 0;
    const int32_t stored = StoreInBestStorage(id, source, &location, &host_path, &host_id);
    if (stored != kBlobOk) return stored;
    full_file_name = host_path + location;
    LogAt(kLogDebug2, [&] {
      return "BlobUtils::InsertBlob(): fullFileName after StoreInBestStorage: " + full_file_name;
    });

    SetRecordValues(records, id, creator, location, size, file_type, host_id);
    if (!records.Insert()) {
      // The blob file stays: only a raised failure removes it.
      last_error_ = "Failed to insert into NS_FILESTORAGE Table.";
      LogAt(kLogError, [&] { return kInsertPrefix + last_error_; });
      return kBlobDatabaseError;
    }
    *out_id = id;
    LogAt(kLogDebug4, [] { return std::string("BlobUtils::InsertBlob() end."); });
    return kBlobOk;
  } catch (const std::exception& e) {
    last_error_ = std::string("Database Error: ") + e.what();
    LogAt(kLogError, [&] { return kInsertPrefix + last_error_; });
    if (!full_file_name.empty()) KAVRO::DeleteFile(full_file_name);
    CloseThreadDatabases();
    return kBlobDatabaseError;
  }
}

void BlobUtils::SetRecordValues(DBTableBase& records, int64_t id, int32_t creator,
                                const std::string& location, uint64_t size, int32_t file_type,
                                int64_t host_id) {
  records.SetValue("FIS_FILESTORAGEID", Decimal(id), true);
  records.SetValue("FIS_CREATEDBY", Decimal(creator), true);
  records.SetLiteral("FIS_CREATED", records.GetDialect().CurrentUtcTime());
  records.SetValue("FIS_LOCATION", location);
  records.SetValue("FIS_SIZE", std::to_string(size), true);
  records.SetValue("FIT_FILETYPEID", Decimal(file_type), true);
  records.SetValue("FSH_FILESTORAGEHOSTID", Decimal(host_id), true);
}

// ---- hosts -----------------------------------------------------------------

int32_t BlobUtils::GetNextFileStorageHost(int64_t id, StorageHostList* hosts) {
  LogAt(kLogDebug4, [] { return std::string("BlobUtils::GetNextFileStorageHost() start."); });
  if (hosts != nullptr) hosts->clear();
  if (id == 0 || hosts == nullptr) {
    last_error_ = "Invalid parameter specified. Aborting.";
    LogAt(kLogError, [&] { return kHostPrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  DBTable<NS_FILESTORAGEHOST> table;
  Name(table);
  if (!table.Select("FSH_ONLINE = 1 AND FSH_WRITABLE = 1", "FSH_CATEGORY")) {
    last_error_ = "Failed to Select.";
    LogAt(kLogWarning, [&] { return kHostPrefix + last_error_; });
    return kBlobDatabaseError;
  }
  using Host = std::pair<int64_t, std::string>;
  std::vector<Host> requested;
  std::vector<Host> others;
  while (table.Fetch()) {
    Host host(IdOf(table.FSH_FILESTORAGEHOSTID), TextOf(table.FSH_HOSTPATH));
    if (static_cast<int32_t>(table.FSH_CATEGORY) == kRequestedCategory) {
      requested.push_back(std::move(host));
    } else {
      others.push_back(std::move(host));
    }
  }
  uint32_t key = 1;
  for (auto& host : requested) (*hosts)[key++] = std::move(host);
  for (auto& host : others) (*hosts)[key++] = std::move(host);
  if (hosts->empty()) {
    last_error_ = "Unable to get storage host. No available hosts.";
    LogAt(kLogWarning, [&] { return kHostPrefix + last_error_; });
    return kBlobNoWritableHost;
  }
  const auto count = static_cast<int64_t>(requested.size());
  if (count > 0) {
    // Consecutive ids take the requested hosts in turn; the rest follow in
    // list order as fallbacks. (Ids are positive; the modulo is kept
    // non-negative for any other.)
    const auto k = static_cast<uint32_t>(((id % count) + count) % count + 1);
    auto node = hosts->extract(k);
    node.key() = 0;
    hosts->insert(std::move(node));
  } else {
    LogAt(kLogWarning, [&] {
      return std::string(kHostPrefix) + "Failed to locate storage host with requested category: " +
             Decimal(kRequestedCategory) + " for file storage id: " + Decimal(id);
    });
  }
  return kBlobOk;
}

std::string BlobUtils::PathToFile(const KAVRO::NTime& utc) {
  return "\\" + std::to_string(utc.GetYear()) + "\\" + std::to_string(utc.GetMonth()) + "\\" +
         std::to_string(utc.GetDay()) + "\\" + std::to_string(utc.GetHour()) + "\\" +
         std::to_string(utc.GetMinute()) + "\\";
}

std::string BlobUtils::CreatePathToFile() const {
  LogAt(kLogDebug4, [] { return std::string("BlobUtils::CreatePathToFile() start."); });
  KAVRO::NTime now;
  now.SetNow(true);
  std::string path = PathToFile(now);
  LogAt(kLogDebug4, [&] { return "BlobUtils::CreatePathToFile() end. " + path; });
  return path;
}

int32_t BlobUtils::StoreInBestStorage(int64_t id, const BlobSource& source, std::string* location,
                                      std::string* host_path, int64_t* host_id) {
  LogAt(kLogDebug4, [&] { return std::string(kStorePrefix) + "fisFileStorageId: " + Decimal(id); });
  if (location == nullptr || host_path == nullptr || host_id == nullptr) {
    last_error_ = "Invalid parameter specified. Aborting insert.";
    LogAt(kLogWarning, [&] { return kStorePrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  if (!source.IsBuffer()) {
    if (source.file_name.empty()) {
      last_error_ = "Empty local filename provided. Aborting insert.";
      LogAt(kLogWarning, [&] { return kStorePrefix + last_error_; });
      return kBlobInvalidParameter;
    }
    if (!KAVRO::FileExists(source.file_name)) {
      last_error_ = "Unable to access local filename: " + source.file_name;
      LogAt(kLogWarning, [&] { return kStorePrefix + last_error_; });
      return kBlobSourceNotAccessible;
    }
  }

  StorageHostList hosts;
  const int32_t listed = GetNextFileStorageHost(id, &hosts);
  if (listed != kBlobOk || hosts.empty()) {
    last_error_ = "Unable to get storage hosts. Aborting insert.";
    LogAt(kLogWarning, [&] { return kStorePrefix + last_error_; });
    return listed;
  }

  // The time is taken once: every host tried gets the same location.
  const std::string file_name = Decimal(id) + ".blb";
  const std::string relative_directory = CreatePathToFile();
  *location = relative_directory + file_name;

  int32_t result = kBlobOk;
  uint32_t failures = 0;
  for (const auto& [key, host] : hosts) {
    *host_id = host.first;
    *host_path = host.second;
    const std::string directory = host.second + relative_directory;
    const KAVRO::CreationModes modes = KAVRO::CreationModesBelow(host.second);
    LogAt(kLogDebug2,
          [&] { return std::string(kStorePrefix) + "Checking Directory: " + directory; });
    if (KAVRO::IsDirectoryWritable(directory)) {
      LogAt(kLogDebug2, [&] {
        return std::string(kStorePrefix) + "Directory: " + directory +
               " exist already. Will use it.";
      });
    } else {
      LogAt(kLogDebug, [&] {
        return std::string(kStorePrefix) + "Directory: " + directory +
               " does not exist. Try to create";
      });
      if (!KAVRO::CreateDirectoryPathDurably(directory, modes) ||
          !KAVRO::IsDirectoryWritable(directory)) {
        last_error_ =
            "Unable to create directory: " + directory + ". Error: " + KAVRO::LastErrorText();
        LogAt(kLogWarning, [&] { return kStorePrefix + last_error_; });
        result = kBlobWriteFailed;
        ++failures;
        continue;
      }
    }

    const std::string target = directory + file_name;
    int32_t written = kBlobOk;
    if (source.IsBuffer()) {
      written = WriteToStorage(target, source.data, source.length, modes);
    } else if (source.file_name != target) {
      written = WriteToStorage(target, source.file_name, modes);
    } else {
      LogAt(kLogDebug, [&] {
        return std::string(kStorePrefix) + "Local file name equals Storage Filename: " + target +
               ". No file write required.";
      });
    }
    if (written == kBlobOk) {
      const int32_t level = failures > 0 ? kLogWarning : kLogDebug2;
      LogAt(level, [&] {
        return std::string(kStorePrefix) + "File " + target + " written OK after " +
               std::to_string(failures) + " retries.";
      });
      return kBlobOk;
    }
    result = written;
    LogAt(kLogError, [&] {
      return std::string(kStorePrefix) + "Failed to write on storage hosts: " + host.second +
             " File name: " + target;
    });
    ++failures;
  }
  LogAt(kLogError, [&] {
    return std::string(kStorePrefix) + "Failed to write on all available storage hosts! " +
           std::to_string(failures);
  });
  return result;
}

int32_t BlobUtils::WriteToStorage(const std::string& target, const void* data, uint32_t length,
                                  const KAVRO::CreationModes& modes) {
  // A blob is never empty: a zero length fails like a short write.
  KAVRO::DurableWrite written = KAVRO::DurableWrite::kNotWritten;
  int err = EINVAL;
  if (data != nullptr && length != 0) {
    written = KAVRO::WriteFileDurably(target, data, length, modes);
    err = errno;
  }
  // A file that did not reach the disk is no better than a partial one: no
  // record may ever point at it, and another host gets the blob.
  if (written == KAVRO::DurableWrite::kNotWritten || written == KAVRO::DurableWrite::kNotSynced) {
    KAVRO::DeleteFile(target);
    last_error_ = "Unable to write to file " + target + ". Error: " + KAVRO::SystemErrorText(err);
    LogAt(kLogError, [&] { return kWritePrefix + last_error_; });
    return kBlobWriteFailed;
  }
  if (written == KAVRO::DurableWrite::kNotClosed) {
    // Synced whole: the file stays, the host still counts as failed.
    last_error_ = "Unable to close file " + target + ". Error: " + KAVRO::SystemErrorText(err);
    LogAt(kLogError, [&] { return kWritePrefix + last_error_; });
    return kBlobWriteFailed;
  }
  LogAt(kLogDebug, [&] { return std::string(kWritePrefix) + "File " + target + " OK"; });
  return kBlobOk;
}

int32_t BlobUtils::WriteToStorage(const std::string& target, const std::string& source,
                                  const KAVRO::CreationModes& modes) {
  // Copied through a mapping so that the copy is fsync'ed like a buffer.
  // The same file under two spellings is refused, never truncated.
  bool ok = false;
  const bool same_file = KAVRO::OsPath(source) == KAVRO::OsPath(target);
  if (!same_file && KAVRO::FileExists(source) && !KAVRO::IsDirectory(source)) {
    const uint64_t size = KAVRO::FileSize(source);
    constexpr KAVRO::DurableWrite kDone = KAVRO::DurableWrite::kDone;
    if (size == 0) {
      ok = KAVRO::WriteFileDurably(target, "", 0, modes) == kDone;
    } else {
      KAVRO::MMFile mapped;
      ok = mapped.Open(source) && mapped.Size() == size &&
           KAVRO::WriteFileDurably(target, mapped.View(), mapped.Size(), modes) == kDone;
    }
    if (!ok) KAVRO::DeleteFile(target);
  }
  if (!ok) {
    last_error_ = "Unable to copy File(" + source + ") to Blob File: " + target;
    LogAt(kLogError, [&] { return kWritePrefix + last_error_; });
    return kBlobDeleteOrCopyFailed;
  }
  return kBlobOk;
}

// ---- records ---------------------------------------------------------------

int32_t BlobUtils::GetNsFileStorage(DBTable<NS_FILESTORAGE>& table, int64_t id, std::string* error,
                                    bool require_location) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  error->clear();
  if (id == 0) {
    *error = "parameter specified. Aborting get.";
    LogAt(kLogError, [&] { return kGetStoragePrefix + *error; });
    return kBlobInvalidParameter;
  }
  std::string where = "FIS_DELETED IS NULL";
  if (require_location) {
    where += " AND FIS_LOCATION IS NOT NULL AND FSH_FILESTORAGEHOSTID IS NOT NULL";
  }
  where += " AND FIS_FILESTORAGEID = " + Decimal(id);
  if (!table.Select(where, "")) {
    *error = "Select on NS_FILESTORAGE failed. Aborting get.";
    LogAt(kLogError, [&] { return kGetStoragePrefix + *error; });
    return kBlobDatabaseError;
  }
  if (!table.Fetch()) {
    *error = "Nonexisting or invalid FIS_FILESTORAGEID supplied: " + Decimal(id);
    LogAt(kLogError, [&] { return kGetStoragePrefix + *error; });
    return kBlobNoSuchRecord;
  }
  return kBlobOk;
}

int32_t BlobUtils::GetNsFileStorageHost(DBTable<NS_FILESTORAGEHOST>& table, std::string* error,
                                        int64_t host_id) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  error->clear();
  if (!table.Select("FSH_FILESTORAGEHOSTID = " + Decimal(host_id), "")) {
    *error = "Select on NS_FILESTORAGEHOST failed. Aborting get.";
    LogAt(kLogError, [&] { return kGetHostPrefix + *error; });
    return kBlobDatabaseError;
  }
  if (!table.Fetch()) {
    *error = "Invalid FSH_FILESTORAGEHOSTID supplied. Aborting get.";
    LogAt(kLogError, [&] { return kGetHostPrefix + *error; });
    return kBlobNoSuchHost;
  }
  return kBlobOk;
}

bool BlobUtils::IsValidFileCreator(int64_t creator) {
  DBTable<NS_FILECREATOR> creators;
  creators.SetTableName(use_views_ ? "NV_FILECREATOR" : "NS_FILECREATOR", true);
  return creators.Count("FIC_FILECREATORID = " + Decimal(creator)) > 0;
}

int32_t BlobUtils::GetBlobFileName(int64_t id, std::string* full_path) {
  LogAt(kLogDebug4, [&] { return "GetBlobFileName(" + Decimal(id) + ") start."; });
  try {
    DBTable<NS_FILESTORAGE> record;
    Name(record);
    int32_t code = GetNsFileStorage(record, id, &last_error_, true);
    if (code != kBlobOk) return code;
    const std::string location = TextOf(record.FIS_LOCATION);
    if (location.empty()) {
      last_error_ = "Empty FIS_LOCATION found for FileStoreageId: " + Decimal(id);
      LogAt(kLogError, [&] { return kFileNamePrefix + last_error_; });
      return kBlobDatabaseError;
    }
    DBTable<NS_FILESTORAGEHOST> host;
    Name(host);
    code = GetNsFileStorageHost(host, &last_error_, IdOf(record.FSH_FILESTORAGEHOSTID));
    if (code != kBlobOk) return code;
    if (static_cast<int16_t>(host.FSH_ONLINE) != 1) {
      last_error_ = "Storage host is offline. Unable to get.";
      LogAt(kLogError, [&] { return kFileNamePrefix + last_error_; });
      return kBlobHostOffline;
    }
    const std::string path = TextOf(host.FSH_HOSTPATH) + location;
    if (KAVRO::FileExists(path)) {
      LogAt(kLogDebug,
            [&] { return "GetBlobFileName(" + Decimal(id) + "). File: " + path + " OK."; });
      if (full_path != nullptr) *full_path = path;
      return kBlobOk;
    }
    last_error_ = "File: " + path + " does not exist: " + KAVRO::LastErrorText();
    LogAt(kLogError, [&] { return kFileNamePrefix + last_error_; });
    return kBlobFileMissing;
  } catch (const std::exception& e) {
    last_error_ = std::string("Database Error: ") + e.what();
    LogAt(kLogError, [&] { return kFileNamePrefix + last_error_; });
    return kBlobDatabaseError;
  }
}

int32_t BlobUtils::GetBlobMapping(int64_t id, KAVRO::MMFile* file) {
  if (file == nullptr) {
    last_error_ = "Invalid parameter specified. Aborting get.";
    LogAt(kLogError, [&] { return kMappingPrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  file->Close();
  std::string path;
  const int32_t code = GetBlobFileName(id, &path);
  if (code != kBlobOk) return code;
  if (!file->Open(path)) {
    last_error_ = "Unable to map file: " + path + ". Error: " + KAVRO::LastErrorText();
    LogAt(kLogError, [&] { return kMappingPrefix + last_error_; });
    return kBlobFileMissing;
  }
  return kBlobOk;
}

// ---- deletion --------------------------------------------------------------

int32_t BlobUtils::DeleteBlob(int64_t id, int32_t deleted_by) {
  LogAt(kLogDebug4, [&] { return "BlobUtils::DeleteBlob(" + Decimal(id) + ") start."; });
  last_error_.clear();
  if (id == 0) {
    last_error_ = "Invalid parameter specified. Aborting delete.";
    LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
    return kBlobInvalidParameter;
  }
  try {
    if (!IsValidFileCreator(deleted_by)) {
      last_error_ = "Invalid deletedBy: " + Decimal(deleted_by) +
                    " parameter. Not present in NS_FILECREATOR. Aborting delete.";
      LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
      return kBlobInvalidParameter;
    }
    DBTable<NS_FILESTORAGE> record;
    Name(record);
    int32_t code = GetNsFileStorage(record, id, &last_error_, false);
    if (code != kBlobOk) return code;
    const std::string location = TextOf(record.FIS_LOCATION);
    DBTable<NS_FILESTORAGEHOST> host;
    Name(host);
    code = GetNsFileStorageHost(host, &last_error_, IdOf(record.FSH_FILESTORAGEHOSTID));
    if (code != kBlobOk) return code;
    if (static_cast<int16_t>(host.FSH_ONLINE) != 1) {
      last_error_ = "Storage host is offline. Unable to delete.";
      LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
      return kBlobHostOffline;
    }
    const std::string path = TextOf(host.FSH_HOSTPATH) + location;

    DBTable<NS_FILESTORAGE> update;
    Name(update);
    update.SetLiteral("FIS_DELETED", update.GetDialect().CurrentUtcTime());
    update.SetValue("FIS_DELETEDBY", Decimal(deleted_by), true);
    update.SetLiteral("FIS_LOCATION", "NULL");
    update.SetLiteral("FSH_FILESTORAGEHOSTID", "NULL");
    if (update.Update("FIS_FILESTORAGEID=" + Decimal(id)) == 0) {
      last_error_ = "Database update on blob " + Decimal(id) + " failed.";
      LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
      return kBlobDatabaseError;
    }
    LogAt(kLogInfo, [&] {
      return std::string(kDeletePrefix) + "Blob " + Decimal(id) + " deleted and database updated.";
    });

    // A record without a location names no file: the host's root is never
    // a blob.
    if (location.empty() || !KAVRO::FileExists(path)) {
      LogAt(kLogWarning, [&] {
        return std::string(kDeletePrefix) + "File: " + path +
               " does not exist. Delete operation considered OK.";
      });
      return kBlobOk;
    }
    if (!KAVRO::DeleteFile(path)) {
      last_error_ = "Unable to delete file. " + KAVRO::LastErrorText();
      LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
      return kBlobDeleteOrCopyFailed;
    }
    LogAt(kLogDebug4, [&] { return "BlobUtils::DeleteBlob(" + Decimal(id) + ") end."; });
    return kBlobOk;
  } catch (const std::exception& e) {
    last_error_ = std::string("Database Error: ") + e.what();
    LogAt(kLogError, [&] { return kDeletePrefix + last_error_; });
    CloseThreadDatabases();
    return kBlobDatabaseError;
  }
}

}  // namespace Nauvik
