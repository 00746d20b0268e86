#pragma once

// The import run: hands the items to N worker threads that call the
// library, keeps the order rules (a folder's first mail goes in before any
// other mail of that folder, and only one folder is created at a time, since
// the store creates missing parent folders on the way), retries database
// errors, writes journal and report as each item completes, and counts
// everything for the summary.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/Options.h"
#include "tools/Progress.h"
#include "tools/Report.h"
#include "tools/System.h"

namespace Nauvik::Import {

struct Summary {
  uint64_t items = 0;         // items of this run (after shard selection)
  uint64_t imported = 0;      // result 0, stored as a new message
  uint64_t duplicates = 0;    // result 0, an earlier copy was linked again
  uint64_t journal_done = 0;  // completed in an earlier run (journal)
  uint64_t in_doubt = 0;      // an earlier run ended during their call, not found in the store
  uint64_t recovered = 0;     // an earlier run ended during their call, found in the store
  std::map<std::string, uint64_t> skipped;  // by reason
  std::map<int32_t, uint64_t> failed;       // by result code
  std::map<char, uint64_t> lost_flags;      // Maildir flag letter -> mails imported without it
  uint64_t left = 0;                        // not started because the run was interrupted
  uint64_t bytes = 0;
  double seconds = 0;
  bool interrupted = false;

  uint64_t SkippedCount() const;
  uint64_t FailedCount() const;
};

// Tells whether a message with this Message-ID text and size is in the store
// already; one per worker thread. May be empty (no database access).
class DuplicateProbe {
 public:
  virtual ~DuplicateProbe() = default;
  virtual bool Stored(const std::string& message_id, uint64_t size) = 0;
};
using ProbeFactory = std::function<std::unique_ptr<DuplicateProbe>()>;

class Importer {
 public:
  // Borrowed: `journal` and `report` may be null and must outlive Run.
  Importer(const ImportOptions& options, LibraryApi api, Journal* journal, ReportWriter* report,
           ProbeFactory probes);

  // Imports `items` (skipped ones are only recorded). Items the journal shows
  // as complete are not imported again. Stops taking new items once
  // InterruptRequested() is true. Calls `tick` on the calling thread a few
  // times a second with the progress so far.
  Summary Run(const std::vector<ImportItem>& items,
              const std::function<void(const ProgressState&)>& tick);

  // Items this run imported with result 0 (indices into Run's items).
  const std::vector<size_t>& imported() const { return imported_; }

 private:
  class Scheduler;
  void Work(const std::vector<ImportItem>& items, Scheduler* scheduler);
  int32_t CallLibrary(const std::string& file, const ImportItem& item, const std::string& date);

  const ImportOptions& options_;
  LibraryApi api_;
  Journal* journal_;
  ReportWriter* report_;
  ProbeFactory probes_;

  std::mutex mu_;
  Summary summary_;                           // guarded by mu_
  std::vector<size_t> imported_;              // guarded by mu_
  std::map<std::string, int> seen_messages_;  // Message-ID + size stored this run; guarded by mu_
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<uint64_t> bytes_{0};
};

// Prints the summary as a person reads it.
void PrintSummary(const Summary& summary, FILE* out);

}  // namespace Nauvik::Import
