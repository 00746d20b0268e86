#pragma once

// The import run: hands the items to N worker threads that call the
// library, keeps the order rules (a folder's first mail goes in before any
// other mail of that folder, and only one folder is created at a time, since
// the store creates missing parent folders on the way), retries database
// errors, writes journal and report as each item completes, and counts
// everything for the summary.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/Options.h"
#include "tools/Progress.h"
#include "tools/Report.h"
#include "tools/System.h"

namespace Nauvik::Import {

class ImapSource;

// What became of the items of one target folder.
struct FolderCounts {
  uint64_t source = 0;   // items listed at the source
  uint64_t stored = 0;   // stored as a new message
  uint64_t linked = 0;   // linked to a copy stored already
  uint64_t earlier = 0;  // done in an earlier run (journal)
  uint64_t skipped = 0;  // not mail, or already in the folder (--skip-linked)
  uint64_t failed = 0;
};

struct Summary {
  uint64_t items = 0;         // items of this run (after shard selection)
  uint64_t imported = 0;      // result 0, stored as a new message
  uint64_t duplicates = 0;    // result 0, an earlier copy was linked again
  uint64_t journal_done = 0;  // completed in an earlier run (journal)
  uint64_t changed = 0;       // in the journal, but with other bytes now: imported as new
  uint64_t flags_changed = 0;  // completed in an earlier run; flags changed at the source since
  uint64_t already_linked = 0;  // --skip-linked: the folder holds the mail already
  uint64_t in_doubt = 0;      // an earlier run ended during their call, not found in the store
  uint64_t recovered = 0;     // an earlier run ended during their call, found in the store
  uint64_t found_after_error = 0;  // the call failed with the database error, yet linked the mail
  std::map<std::string, uint64_t> skipped;  // by reason
  std::map<int32_t, uint64_t> failed;       // by result code
  std::map<char, uint64_t> lost_flags;      // Maildir flag letter -> mails imported without it
  std::map<std::string, FolderCounts> folders;  // by target folder as given
  uint64_t left = 0;                        // not started because the run was interrupted
  uint64_t bytes = 0;
  double seconds = 0;
  bool interrupted = false;
  bool outage = false;  // stopped: the database stayed unreachable beyond --outage-wait

  uint64_t SkippedCount() const;
  uint64_t FailedCount() const;
  // Adds the counts of another part of the run (a later window) to these.
  void Add(const Summary& other);
};

// The importer's own look into the store, one per worker thread. Without one
// (no database access) a database error is retried blindly.
class StoreProbe {
 public:
  virtual ~StoreProbe() = default;
  // True when a message with this Message-ID text and size is stored already.
  virtual bool Stored(const std::string& message_id, uint64_t size) = 0;
  // How many links of the folder (a FolderKey) with a UID above `after_uid`
  // hold exactly the bytes of this size and content hash; nullopt when the
  // store cannot be read.
  virtual std::optional<uint64_t> LinksSince(const std::string& folder_key, int64_t after_uid,
                                             uint64_t size, uint64_t hash) = 0;
  // The highest UID of each of the user's folders; nullopt when unreadable.
  virtual std::optional<std::map<std::string, int64_t>> LastUids() = 0;
  // True when a new connection to the database can be made now.
  virtual bool Reachable() = 0;
  // Message-ID + '\n' + size of every mail linked in the folder (a
  // FolderKey); empty when there is no such folder, nullopt when the store
  // cannot be read.
  virtual std::optional<std::set<std::string>> MessagesIn(const std::string& folder_key) = 0;
  // The highest UID in the folder (a FolderKey), 0 when it holds none or
  // does not exist; nullopt when the store cannot be read.
  virtual std::optional<int64_t> LastUid(const std::string& folder_key) = 0;
  // The UID of the link a call just made in the folder, the one call into it
  // since its UIDs up to `*after` were seen: among the links above `*after`,
  // the one of this size, told by its bytes when another writer added one
  // of the same size. `*after` becomes the highest UID seen. nullopt when
  // unknown.
  virtual std::optional<int64_t> NewLinkUid(const std::string& folder_key, int64_t* after,
                                            uint64_t size, uint64_t hash) = 0;
};
using ProbeFactory = std::function<std::unique_ptr<StoreProbe>()>;

// Spaces the calls of all workers to at most `per_second` a second: each
// call gets the next slot, 1 / per_second after the one before; after an
// idle spell the slots start again from now, so no burst makes up for it.
// Thread-safe.
class RatePacer {
 public:
  explicit RatePacer(double per_second) : interval_(1.0 / per_second) {}
  // When the next call may start, for the time `now` (seconds on any clock).
  double Next(double now);

 private:
  std::mutex mu_;
  const double interval_;
  double next_ = 0;  // guarded by mu_
  bool started_ = false;  // guarded by mu_
};

class Importer {
 public:
  // Borrowed: `journal`, `report` and `flags` may be null and must outlive Run.
  Importer(const ImportOptions& options, LibraryApi api, Journal* journal, ReportWriter* report,
           ProbeFactory probes, FlagsWriter* flags = nullptr, ImapSource* imap = nullptr);
  ~Importer();  // ends the workers

  // Imports `items` (skipped ones are only recorded). Items the journal shows
  // as complete are not imported again. Stops taking new items once
  // InterruptRequested() is true. Calls `tick` on the calling thread a few
  // times a second with the progress so far.
  Summary Run(const std::vector<ImportItem>& items,
              const std::function<void(const ProgressState&)>& tick);

  // Run may be called again with the next window of the listing; the
  // summary it returns is that window's.
  //
  // True when Run would work on `item`: import it, or read it again to
  // compare with the journal. Items the journal settles and skipped ones it
  // only records. The progress total counts these.
  bool NeedsWork(const ImportItem& item) const;
  // Items the last Run imported with result 0 (indices into Run's items); kept
  // only with --verify, the one use of the list.
  const std::vector<size_t>& imported() const { return imported_; }

 private:
  class Scheduler;
  void Worker();
  enum class Handling { kCall, kRecheck, kEarlier, kSkip };
  Handling Classify(const ImportItem& item, const std::optional<Journal::Entry>& entry) const;
  void Work(const std::vector<ImportItem>& items, Scheduler* scheduler, StoreProbe* probe);
  // An item settled without a call: its report row, counted under `total`
  // and the folder's `column`, and handed back to the scheduler.
  void Passed(const ImportItem& item, size_t index, Scheduler* scheduler, const std::string& code,
              const std::string& text, uint64_t size, const std::string& message_id,
              uint64_t Summary::*total, uint64_t FolderCounts::*column);
  int32_t CallLibrary(const std::string& file, const ImportItem& item, const std::string& date,
                      uint64_t size, uint64_t hash, StoreProbe* probe, bool* found);
  std::optional<bool> LinkedByFailedCall(StoreProbe* probe, const ImportItem& item, uint64_t size,
                                         uint64_t hash);
  bool WaitForDatabase(StoreProbe* probe);
  bool Hold();
  void CountLink(const ImportItem& item, uint64_t hash);
  bool RecordedAlready(const ImportItem& item, uint64_t size, uint64_t hash);
  bool DoneInEarlierRun(const ImportItem& item, const Journal::Entry& entry, uint64_t size,
                        uint64_t hash);
  std::optional<bool> LinkedInFolder(StoreProbe* probe, const ImportItem& item,
                                     const std::string& dup_key);
  void Settled(const ImportItem& item, uint64_t hash);

  const ImportOptions& options_;
  LibraryApi api_;
  ImapSource* imap_ = nullptr;  // borrowed; the source of IMAP items
  Journal* journal_;
  ReportWriter* report_;
  ProbeFactory probes_;
  FlagsWriter* flags_;

  std::mutex mu_;
  Summary summary_;                           // guarded by mu_
  // Per-item state of a long run is kept small: this is what grows with
  // the number of mails.
  std::vector<size_t> imported_;  // guarded by mu_
  // Items the journal shows complete, but recorded by bytes that must be
  // read again to tell whether the source still holds the same mail.
  std::vector<bool> recheck_;  // set before the workers start
  std::unique_ptr<RatePacer> pacer_;  // --max-rate
  // --skip-linked: the mails linked in each folder, read on first need.
  std::map<std::string, std::set<std::string>> linked_messages_;  // guarded by mu_
  // Message-ID + size stored this run, to tell a duplicate without a store
  // to ask (with one, the store is asked); guarded by mu_.
  std::set<std::string> seen_messages_;
  // Links a call that failed with the database error may have made are told
  // from older ones by UID: the highest of each folder when the run began.
  // Null when the store could not be read then (the lookup is left out).
  std::unique_ptr<std::map<std::string, int64_t>> last_uids_;
  // LinkPrint (folder + content hash) of every link this run made, one
  // entry a link; searched only after a database error. Guarded by mu_.
  std::vector<uint64_t> linked_;
  // By FolderKey: the folder's highest UID seen by this run. A call into the
  // folder draws a UID above it, so only the links above it are read to
  // find the call's own. Guarded by mu_; each entry is used by the one
  // worker whose call into the folder runs.
  std::map<std::string, int64_t> uid_seen_;
  std::map<std::string, int> in_flight_;  // LinkKey -> calls running, none at 0; guarded by mu_
  // An outage: the workers hold their next call while one of them probes.
  std::condition_variable outage_cv_;
  bool outage_ = false;                       // guarded by mu_
  bool probing_ = false;                      // a worker is waiting to probe; guarded by mu_
  bool gave_up_ = false;                      // guarded by mu_
  std::chrono::steady_clock::time_point outage_start_;  // guarded by mu_
  std::string note_;                          // shown with the progress; guarded by mu_
  std::string folder_;  // target folder of the item taken last; guarded by mu_
  // The workers, started by the first Run, and the window they work on.
  std::vector<std::thread> workers_;
  std::mutex pool_mu_;
  std::condition_variable pool_cv_;
  uint64_t window_ = 0;                                // guarded by pool_mu_
  const std::vector<ImportItem>* window_items_ = nullptr;  // guarded by pool_mu_
  Scheduler* window_scheduler_ = nullptr;             // guarded by pool_mu_
  size_t idle_ = 0;        // workers done with the window; guarded by pool_mu_
  bool quitting_ = false;  // guarded by pool_mu_
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<uint64_t> bytes_{0};
};

// Prints the summary as a person reads it.
void PrintSummary(const Summary& summary, FILE* out);

}  // namespace Nauvik::Import
