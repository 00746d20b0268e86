#pragma once

// mailstorage-check: what a store holds that nothing uses, and what it
// promises that is not there. Reads every storage host's blob files and the
// store's records through the library's own table layer, and repairs the
// orphans the way the store itself removes a blob.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace Nauvik::Check {

// A live file storage record as the checks see it.
struct RecordFinding {
  int64_t id = 0;
  std::string location;     // FIS_LOCATION, "\" separated
  uint64_t size = 0;        // FIS_SIZE
  uint64_t file_size = 0;   // only for a file of another size
  std::string created;      // FIS_CREATED, UTC "yyyy/mm/dd hh24:mi:ss"
  bool old_enough = false;  // created before the --min-age limit
};

// A blob file on a host that no live record names.
struct FileFinding {
  std::string location;  // "\" separated, relative to the host path
  std::string path;      // the file as the system opens it
  uint64_t size = 0;
  bool old_enough = false;
};

// A message row, by the message's own id and its record's.
struct MessageFinding {
  int64_t message_id = 0;
  int64_t record_id = 0;
  std::string message_id_text;  // IMM_MESSAGEID
  bool record_live = false;
  bool linked = false;
  bool old_enough = false;
};

struct LinkFinding {
  int64_t link_id = 0;
  int64_t folder_id = 0;
  int64_t message_id = 0;
  int64_t uid = 0;
};

struct HostReport {
  int64_t id = 0;
  std::string description;
  std::string path;  // FSH_HOSTPATH as stored
  bool online = false;
  std::string walk_error;  // the host's directory could not be read
  bool no_group_read = false;  // its directory gives no group read access
  uint64_t records = 0;    // live records on the host
  uint64_t files = 0;      // blob files found
  uint64_t bytes = 0;      // their sizes
  std::vector<RecordFinding> records_without_message;
  std::vector<FileFinding> files_without_record;
  std::vector<RecordFinding> records_without_file;
  std::vector<RecordFinding> records_with_other_size;
  std::vector<MessageFinding> messages_without_link;

  size_t Problems() const;
};

struct StoreReport {
  std::vector<HostReport> hosts;
  // Messages whose record is deleted or gone (linked or not); they belong
  // to no host any more.
  std::vector<MessageFinding> messages_without_record;
  std::vector<LinkFinding> links_to_missing_messages;

  size_t Problems() const;
  bool Clean() const { return Problems() == 0; }
};

// The shortest --min-age a repair takes. A call of the store writes the blob
// file, commits its record and only then its message; a call that writes a
// large mail or waits for a lock can take minutes, and an orphan younger
// than that may be its mail in flight. (Imports by mailstorage-import are
// also locked out while the repair runs; other hosts of the library are not.)
inline constexpr int64_t kMinAgeFloorSeconds = 15 * 60;

struct CheckSettings {
  int64_t min_age_seconds = 3600;  // younger orphans may belong to an import in flight
  size_t list_limit = 20;          // findings listed per category; 0 lists all
};

// Reads the store. Raises std::exception (DBException among them) when the
// database cannot be read.
StoreReport CheckStore(const CheckSettings &settings);

// Repairs what `report` found and is old enough, on online hosts only:
// records without a message are marked deleted and their files removed
// exactly as the store removes a blob it no longer needs; messages without
// any link are removed with their blob (never one that gained a link since);
// blob files without a record are removed. Linked mail is never touched.
// Writes one line per action to `out`; returns the number of failed actions.
size_t RepairStore(const StoreReport &report, std::ostream &out);

void PrintReport(const StoreReport &report, const CheckSettings &settings, std::ostream &out);

// "90", "90s", "15m", "1h", "2d" in seconds; false for anything else.
bool ParseAge(const std::string &text, int64_t *seconds);

}  // namespace Nauvik::Check
