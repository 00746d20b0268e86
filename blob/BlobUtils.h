#pragma once

// Blob file storage: every stored mail lives as one blob file on a storage
// host (a directory tree named by FSH_HOSTPATH) and as one file storage record
// that says where the file is. BlobUtils owns both sides: it picks the host,
// writes the file under "\year\month\day\hour\minute\<id>.blb" (UTC), records
// it, resolves a record back to a full path or a read-only mapping, and marks
// a record deleted while removing its file.
//
// Order of writing: the file is written and fsync'ed (its directory too)
// before the record is inserted, so a record never points at a partial file.
//
// Who may read the files: blob files are created readable and writable by
// the owner only, and the directories they need accessible by the owner
// only, whatever the umask. A storage host directory shared with a group
// (it gives its group access and carries the setgid bit or gives others
// nothing, such as 2770) passes its group and group bits on instead; see
// KAVRO::CreationModesBelow. Others never get access.
// The converse is not guaranteed: some failures leave a complete blob file
// without a record (see InsertBlob).
//
// A BlobUtils object lives for one operation on one thread and is not shared.
// The four entry points InsertBlob, DeleteBlob, GetBlobFileName and
// GetBlobMapping never raise: database failures become code 9. The helpers
// below them (host list, record and host lookups, the creator check) raise
// DBException like the table layer does; their callers catch it.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "foundation/Files.h"

namespace KAVRO {
class NTime;
}  // namespace KAVRO

namespace Nauvik {

class DBTableBase;
class NS_FILESTORAGE;
class NS_FILESTORAGEHOST;
template <class Row>
class DBTable;

// Result codes of BlobUtils. The store passes them on unchanged; its own codes
// start at 1000.
inline constexpr int32_t kBlobOk = 0;
inline constexpr int32_t kBlobNoSuchRecord = 1;      // no live record with that id
inline constexpr int32_t kBlobInvalidParameter = 2;  // zero id, no buffer, bad creator
inline constexpr int32_t kBlobNoSuchHost = 3;        // no storage host with that id
inline constexpr int32_t kBlobHostOffline = 4;
inline constexpr int32_t kBlobWriteFailed = 5;     // directory or file not written
inline constexpr int32_t kBlobNoWritableHost = 6;  // no online, writable host
inline constexpr int32_t kBlobFileMissing = 7;
inline constexpr int32_t kBlobDeleteOrCopyFailed = 8;
inline constexpr int32_t kBlobDatabaseError = 9;
inline constexpr int32_t kBlobSourceNotAccessible = 11;  // local source file

// Position key -> (host id, host path). Hosts are tried in ascending key order.
using StorageHostList = std::map<uint32_t, std::pair<int64_t, std::string>>;

// What is to be stored: a memory buffer when data is non-null and length is
// non-zero, else the local file named by file_name. The buffer is borrowed.
struct BlobSource {
  const void* data = nullptr;
  uint32_t length = 0;
  std::string file_name;

  bool IsBuffer() const { return data != nullptr && length != 0; }
};

class BlobUtils {
 public:
  // use_views: every table access goes to the NV_ view when true, to the NS_
  // base table when false (the store passes its own flag).
  explicit BlobUtils(bool use_views);
  BlobUtils(const BlobUtils&) = delete;
  BlobUtils& operator=(const BlobUtils&) = delete;

  // Stores length bytes as a new blob and records it; *out_id receives the
  // new file storage id (0 on failure). Returns 0, 2 (no data), a host or
  // write code of StoreInBestStorage (no record is written), or 9.
  // A blob file stays on the host without a record when the insert reports
  // failure without raising; when it raises, the file is deleted.
  [[nodiscard]] int32_t InsertBlob(const void* data, uint32_t length, int32_t file_type,
                                   int32_t creator, int64_t* out_id);
  // The same for a local file (copied to the host; FIS_SIZE is its size).
  // A source that is a buffer goes the buffer way.
  [[nodiscard]] int32_t InsertBlob(const BlobSource& source, int32_t file_type, int32_t creator,
                                   int64_t* out_id);

  // Marks the record deleted (time, deleting creator; location and host
  // cleared) and removes its file. A file that is already gone is fine (0).
  // 2: zero id or deleted_by not a file creator; 1, 3: no record, no host;
  // 4: host offline; 8: file not removed (the record stays marked); 9.
  [[nodiscard]] int32_t DeleteBlob(int64_t id, int32_t deleted_by);

  // Host path followed by location of a live record whose file exists.
  // 1, 2, 3, 4, 7 (file missing), 9 (empty location, database failure).
  [[nodiscard]] int32_t GetBlobFileName(int64_t id, std::string* full_path);

  // Maps the file of a live record read-only into *file (which keeps the
  // mapping). The codes of GetBlobFileName; 7 also when the file exists but
  // cannot be mapped (an empty file among them).
  [[nodiscard]] int32_t GetBlobMapping(int64_t id, KAVRO::MMFile* file);

  // The online, writable hosts: category 0 first, one of them (chosen by id
  // mod their count) under key 0, the others as fallbacks. 2, 6 (none), 9.
  // Raises DBException.
  [[nodiscard]] int32_t GetNextFileStorageHost(int64_t id, StorageHostList* hosts);

  // Selects the live record with that id into *table (its current row on
  // success). 2, 1, 9; *error receives the text. Raises DBException.
  [[nodiscard]] int32_t GetNsFileStorage(DBTable<NS_FILESTORAGE>& table, int64_t id,
                                         std::string* error, bool require_location);
  // Selects the host with that id into *table. 3, 9. Raises DBException.
  [[nodiscard]] int32_t GetNsFileStorageHost(DBTable<NS_FILESTORAGEHOST>& table, std::string* error,
                                             int64_t host_id);

  // True when NS_FILECREATOR has a row with that id. Raises DBException.
  [[nodiscard]] bool IsValidFileCreator(int64_t creator);

  // Writes the blob of id on the first host that takes it. On success the
  // outputs name that host; on failure, the last host tried. No record.
  [[nodiscard]] int32_t StoreInBestStorage(int64_t id, const BlobSource& source,
                                           std::string* location, std::string* host_path,
                                           int64_t* host_id);

  // Buffer form: creates or replaces target with modes, writes it, fsyncs it
  // and its directory, closes it. 0 or 5. A failed write or sync removes the
  // target; one that was synced whole but could not be closed stays.
  [[nodiscard]] int32_t WriteToStorage(const std::string& target, const void* data, uint32_t length,
                                       const KAVRO::CreationModes& modes = {});
  // File form: an exact, fsync'ed copy of source at target. 0 or 8; a failed
  // copy removes the target.
  [[nodiscard]] int32_t WriteToStorage(const std::string& target, const std::string& source,
                                       const KAVRO::CreationModes& modes = {});

  // "\year\month\day\hour\minute\" of the current UTC time.
  std::string CreatePathToFile() const;
  // The same for a given time (decimal, no leading zeros, the year in full).
  static std::string PathToFile(const KAVRO::NTime& utc);

  // Sets the values of a new blob's record (its creation time is the
  // server's) on a file storage table object.
  static void SetRecordValues(DBTableBase& records, int64_t id, int32_t creator,
                              const std::string& location, uint64_t size, int32_t file_type,
                              int64_t host_id);

  // The text of the last failure; cleared by InsertBlob and DeleteBlob.
  const std::string& LastError() const { return last_error_; }
  bool UseViews() const { return use_views_; }

 private:
  // Names the tables after the object's flag.
  void Name(DBTable<NS_FILESTORAGE>& table) const;
  void Name(DBTable<NS_FILESTORAGEHOST>& table) const;

  int32_t InsertBlobFrom(const BlobSource& source, uint64_t size, int32_t file_type,
                         int32_t creator, int64_t* out_id);

  bool use_views_;
  std::string last_error_;
};

}  // namespace Nauvik
