#include "tools/Importer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/ResultCodes.h"
#include "tools/MailSource.h"
#include "tools/MailText.h"
#include "tools/Store.h"

namespace Nauvik::Import {
namespace {

constexpr int kDatabaseRetries = 3;

std::string LinkKey(const ImportItem& item, uint64_t hash) {
  return FolderKey(item.folder) + '\n' + std::to_string(hash);
}

// A link's folder and bytes in eight bytes: a run of millions of mails keeps
// one for each. Two different links that print alike would make a failed
// call look like it linked nothing (called again), at odds of about n^2/2^64.
uint64_t LinkPrint(const std::string& link_key) { return std::hash<std::string>{}(link_key); }

const char* FlagName(char c) {
  switch (c) {
    case 'R':
      return "R (answered)";
    case 'F':
      return "F (flagged)";
    case 'T':
      return "T (trashed)";
    case 'P':
      return "P (passed)";
    default:
      return nullptr;
  }
}

}  // namespace

uint64_t Summary::SkippedCount() const {
  uint64_t n = 0;
  for (const auto& [reason, count] : skipped) n += count;
  return n;
}

uint64_t Summary::FailedCount() const {
  uint64_t n = 0;
  for (const auto& [code, count] : failed) n += count;
  return n;
}

void Summary::Add(const Summary& o) {
  for (uint64_t Summary::*count :
       {&Summary::items, &Summary::imported, &Summary::duplicates, &Summary::journal_done,
        &Summary::changed, &Summary::flags_changed, &Summary::already_linked, &Summary::in_doubt,
        &Summary::recovered, &Summary::found_after_error, &Summary::left, &Summary::bytes}) {
    this->*count += o.*count;
  }
  for (const auto& [reason, n] : o.skipped) skipped[reason] += n;
  for (const auto& [code, n] : o.failed) failed[code] += n;
  for (const auto& [flag, n] : o.lost_flags) lost_flags[flag] += n;
  for (const auto& [name, c] : o.folders) {
    FolderCounts& mine = folders[name];
    for (uint64_t FolderCounts::*count :
         {&FolderCounts::source, &FolderCounts::stored, &FolderCounts::linked,
          &FolderCounts::earlier, &FolderCounts::skipped, &FolderCounts::failed}) {
      mine.*count += c.*count;
    }
  }
  seconds += o.seconds;
  interrupted = interrupted || o.interrupted;
  outage = outage || o.outage;
}

// Hands out item indices in list order, holding back the
// mails of a folder until its first mail is in, letting only one
// not-yet-known folder be created at a time, and never two calls into one
// folder at once: the store draws a mail's UID inside its insert, so two
// calls into one folder could commit in the other order, and a client that
// looked in between would never see the lower UID. Thread-safe.
class Importer::Scheduler {
 public:
  Scheduler(const std::vector<ImportItem>& items, const std::deque<size_t>& pending)
      : items_(items) {
    for (size_t index : pending) {
      const std::string key = FolderKey(items[index].folder);
      auto [it, added] = folders_.try_emplace(key);
      if (added) order_.push_back(key);
      it->second.pending.push_back(index);
    }
  }

  // The next item to import; false when nothing is left or a stop was asked.
  bool Next(size_t* index) {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
      if (stop_ || order_.empty() || InterruptRequested()) return false;
      // The first item in list order among the folders free to take one.
      Folder* next = nullptr;
      for (const std::string& key : order_) {
        Folder& folder = folders_[key];
        if (folder.busy || folder.pending.empty()) continue;
        if (folder.state == State::kUnknown && creating_) continue;
        if (!next || folder.pending.front() < next->pending.front()) next = &folder;
      }
      if (next) {
        if (next->state == State::kUnknown) {
          next->state = State::kFirstInFlight;
          creating_ = true;
        }
        next->busy = true;
        *index = next->pending.front();
        next->pending.pop_front();
        return true;
      }
      cv_.wait(lock);
    }
  }

  void Complete(size_t index, bool stored) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::string key = FolderKey(items_[index].folder);
    Folder& folder = folders_[key];
    folder.busy = false;
    if (folder.state == State::kFirstInFlight) {
      // A first mail that failed may not have created the folder: the next
      // mail of the folder is a first mail again.
      folder.state = stored ? State::kReady : State::kUnknown;
      creating_ = false;
    }
    if (folder.pending.empty()) std::erase(order_, key);
    cv_.notify_all();
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cv_.notify_all();
  }

 private:
  enum class State { kUnknown, kFirstInFlight, kReady };
  struct Folder {
    State state = State::kUnknown;
    bool busy = false;  // a call into it is running
    std::deque<size_t> pending;
  };
  const std::vector<ImportItem>& items_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> order_;  // folders with items left, first seen first; guarded by mu_
  std::map<std::string, Folder> folders_;  // by FolderKey; guarded by mu_
  bool creating_ = false;  // a folder's first mail is in flight; guarded by mu_
  bool stop_ = false;      // guarded by mu_
};

double RatePacer::Next(double now) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!started_ || next_ < now) next_ = now;
  started_ = true;
  const double slot = next_;
  next_ += interval_;
  return slot;
}

Importer::Importer(const ImportOptions& options, LibraryApi api, Journal* journal,
                   ReportWriter* report, ProbeFactory probes, FlagsWriter* flags,
                   ImapSource* imap)
    : options_(options),
      api_(api),
      imap_(imap),
      journal_(journal),
      report_(report),
      probes_(std::move(probes)),
      flags_(flags) {
  if (options_.max_rate > 0) pacer_ = std::make_unique<RatePacer>(options_.max_rate);
}

// Before each call: waits while the run is paused (SIGUSR1 until SIGUSR2,
// or while the pause file exists), then for the call's slot under
// --max-rate. Ctrl-C ends either wait within a fifth of a second; false
// then, and the item is left for the next run.
bool Importer::Hold() {
  auto paused = [&] {
    std::error_code ec;
    return PauseRequested() ||
           (!options_.pause_file.empty() && std::filesystem::exists(options_.pause_file, ec));
  };
  const auto tick = std::chrono::milliseconds(200);
  if (paused()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      note_ = "paused";
    }
    while (paused() && !InterruptRequested()) std::this_thread::sleep_for(tick);
    std::lock_guard<std::mutex> lock(mu_);
    if (note_ == "paused") note_.clear();
  }
  if (!pacer_) return !InterruptRequested();
  using Clock = std::chrono::steady_clock;
  const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
  const auto until = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(pacer_->Next(now))));
  while (Clock::now() < until && !InterruptRequested()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(tick, until - Clock::now()));
  }
  return !InterruptRequested();
}

void Importer::CountLink(const ImportItem& item, uint64_t hash) {
  std::lock_guard<std::mutex> lock(mu_);
  linked_.push_back(LinkPrint(LinkKey(item, hash)));
}

// The call of an item with these bytes has ended, whatever its outcome.
void Importer::Settled(const ImportItem& item, uint64_t hash) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = in_flight_.find(LinkKey(item, hash));
  if (it != in_flight_.end() && --it->second <= 0) in_flight_.erase(it);
}

// True, and counted, when the journal's record of `item` holds the bytes it
// has now (`size`, `hash`); false, and counted as changed, when the source
// holds another mail under the same name. Flags changed at the source since
// are counted and reported, and left as they were imported.
bool Importer::DoneInEarlierRun(const ImportItem& item, const Journal::Entry& entry,
                                uint64_t size, uint64_t hash) {
  if (entry.state != "skip" && (entry.size != size || entry.hash != hash)) {
    std::lock_guard<std::mutex> lock(mu_);
    summary_.changed++;
    return false;
  }
  const std::string flags = FlagLetters(item);
  const bool flags_changed = entry.state != "skip" && entry.flags != "?" && entry.flags != flags;
  if (flags_changed && report_) {
    report_->Row(ReportName(item), item.offset, item.folder, "",
                 "done in an earlier run; flags at the source changed from '" + entry.flags +
                     "' to '" + flags + "' (not applied)",
                 size, "");
  }
  std::lock_guard<std::mutex> lock(mu_);
  summary_.journal_done++;
  summary_.folders[item.folder].earlier++;
  if (flags_changed) summary_.flags_changed++;
  return true;
}

// An item the journal may know, read again: true when its record holds
// these bytes (the item is done), false when it is to be imported.
bool Importer::RecordedAlready(const ImportItem& item, uint64_t size, uint64_t hash) {
  auto entry = journal_->Find(item);
  if (item.source.kind == ItemSource::Kind::kMbox && (!entry || entry->legacy)) {
    if (!journal_->ClaimLegacyMbox(item.path, size, hash)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    summary_.journal_done++;
    summary_.folders[item.folder].earlier++;
    return true;
  }
  return entry && DoneInEarlierRun(item, *entry, size, hash);
}

// --skip-linked: true when the item's folder holds a mail with this
// Message-ID and size already; nullopt when the store cannot be read.
std::optional<bool> Importer::LinkedInFolder(StoreProbe* probe, const ImportItem& item,
                                             const std::string& dup_key) {
  const std::string key = FolderKey(item.folder);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto it = linked_messages_.find(key); it != linked_messages_.end()) {
      return it->second.contains(dup_key);
    }
  }
  // One call into a folder runs at a time: nobody else reads this folder now.
  auto messages = probe->MessagesIn(key);
  if (!messages) return std::nullopt;
  std::lock_guard<std::mutex> lock(mu_);
  auto& known = linked_messages_[key];
  known = std::move(*messages);
  return known.contains(dup_key);
}

// True when the folder holds a link with these bytes, made during this run,
// that no other item of the run accounts for: the failed call made it.
std::optional<bool> Importer::LinkedByFailedCall(StoreProbe* probe, const ImportItem& item,
                                                 uint64_t size, uint64_t hash) {
  const std::string key = LinkKey(item, hash);
  int64_t after_uid = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Another call with the same bytes into the same folder is running: a
    // new link could be its own. Calling again risks a second link; taking
    // the link risks none for a mail that never got in.
    if (in_flight_[key] > 1) return false;
    auto it = last_uids_->find(FolderKey(item.folder));
    if (it != last_uids_->end()) after_uid = it->second;
  }
  auto links = probe->LinksSince(FolderKey(item.folder), after_uid, size, hash);
  if (!links) return std::nullopt;
  const uint64_t print = LinkPrint(key);
  std::lock_guard<std::mutex> lock(mu_);
  if (*links <= static_cast<uint64_t>(std::count(linked_.begin(), linked_.end(), print))) {
    return false;
  }
  linked_.push_back(print);
  return true;
}

// Holds the calling worker while the database is unreachable; one worker
// probes with a growing pause, the others wait for its word. False when the
// outage lasted longer than --outage-wait (the run stops) or on Ctrl-C.
bool Importer::WaitForDatabase(StoreProbe* probe) {
  std::unique_lock<std::mutex> lock(mu_);
  for (int round = 0; outage_ && !gave_up_;) {
    if (probing_) {
      outage_cv_.wait(lock);
      continue;
    }
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - outage_start_).count();
    if (waited >= options_.outage_wait) {
      gave_up_ = true;
      note_ = "database unreachable for " + std::to_string(static_cast<int>(waited)) +
              " s: stopping";
      outage_cv_.notify_all();
      break;
    }
    const int pause = std::min({1 << std::min(round++, 5), 30,
                                std::max(1, static_cast<int>(options_.outage_wait - waited))});
    note_ = "database unreachable, retrying in " + std::to_string(pause) + "s";
    if (options_.quiet) fprintf(stderr, "mailstorage-import: %s\n", note_.c_str());
    probing_ = true;
    lock.unlock();
    // Ctrl-C is noticed within a tenth of a second.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(pause);
    while (std::chrono::steady_clock::now() < until && !InterruptRequested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const bool back = !InterruptRequested() && probe->Reachable();
    lock.lock();
    probing_ = false;
    if (back) {
      outage_ = false;
      note_.clear();
      if (options_.quiet) fprintf(stderr, "mailstorage-import: database reachable again\n");
    }
    outage_cv_.notify_all();
    if (InterruptRequested()) return false;
  }
  return !gave_up_;
}

int32_t Importer::CallLibrary(const std::string& file, const ImportItem& item,
                              const std::string& date, uint64_t size, uint64_t hash,
                              StoreProbe* probe, bool* found) {
  const bool look = probe != nullptr && last_uids_ != nullptr;
  const auto add = [&] {
    return api_.add(file.c_str(), item.folder.c_str(), options_.user.c_str(),
                    options_.company.c_str(), date.c_str(), item.seen, item.draft,
                    !options_.tables);
  };
  int32_t code = 0;
  for (int attempt = 0;;) {
    if (look && !WaitForDatabase(probe)) return IMAP::kImapOracleError;
    code = add();
    // A subscription that outlived its folder: the call made the folder but
    // stopped before the link. The next call finds the folder and links.
    if (code == IMAP::kImapAlreadySubscribed) code = add();
    if (!IsDatabaseError(code) || InterruptRequested()) return code;
    if (look) {
      // An unreachable database is waited for before anything else; the
      // wait costs the item none of its attempts.
      while (!probe->Reachable()) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          if (!outage_) {
            outage_ = true;
            outage_start_ = std::chrono::steady_clock::now();
          }
        }
        if (!WaitForDatabase(probe)) return code;
      }
      // The library reports this error also when the link was committed and
      // a later statement failed: look before calling again. A store that
      // cannot be read leaves the question open; the call is made again.
      if (LinkedByFailedCall(probe, item, size, hash).value_or(false)) {
        *found = true;
        return IMAP::kImapOk;
      }
    }
    if (attempt == kDatabaseRetries) return code;
    // The library closed the thread's connection; the next call opens a new
    // one. A short pause rides out a lock timeout or a backend restart.
    std::this_thread::sleep_for(std::chrono::milliseconds(500 << attempt++));
  }
}

void Importer::Passed(const ImportItem& item, size_t index, Scheduler* scheduler,
                      const std::string& code, const std::string& text, uint64_t size,
                      const std::string& message_id, uint64_t Summary::*total,
                      uint64_t FolderCounts::*column) {
  if (report_) {
    report_->Row(ReportName(item), item.offset, item.folder, code, text, size, message_id);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    summary_.*total += 1;
    summary_.folders[item.folder].*column += 1;
  }
  done_++;
  scheduler->Complete(index, true);
}

// A worker lives as long as the importer, so that it keeps its connection
// to the store (the library's, made on the thread's first call, and its
// probe) over all the windows of the run.
void Importer::Worker() {
  std::unique_ptr<StoreProbe> probe = probes_ ? probes_() : nullptr;
  uint64_t done_window = 0;
  while (true) {
    const std::vector<ImportItem>* items = nullptr;
    Scheduler* scheduler = nullptr;
    {
      std::unique_lock<std::mutex> lock(pool_mu_);
      pool_cv_.wait(lock, [&] { return quitting_ || window_ != done_window; });
      if (quitting_) break;
      done_window = window_;
      items = window_items_;
      scheduler = window_scheduler_;
    }
    Work(*items, scheduler, probe.get());
    {
      std::lock_guard<std::mutex> lock(pool_mu_);
      ++idle_;
    }
    pool_cv_.notify_all();
  }
  api_.close();
}

Importer::~Importer() {
  {
    std::lock_guard<std::mutex> lock(pool_mu_);
    quitting_ = true;
  }
  pool_cv_.notify_all();
  for (auto& w : workers_) w.join();
}

void Importer::Work(const std::vector<ImportItem>& items, Scheduler* scheduler,
                    StoreProbe* probe) {
  size_t index = 0;
  while (scheduler->Next(&index)) {
    {
      // The database stayed away too long: the item is left for the next run.
      std::lock_guard<std::mutex> lock(mu_);
      if (gave_up_) break;
      folder_ = items[index].folder;
    }
    const ImportItem& item = items[index];
    MailBytes mail;
    std::string error;
    int32_t code = 0;
    std::string text;
    std::string message_id;
    uint64_t size = 0;
    bool duplicate = false;
    bool found = false;
    int64_t uid = 0;
    if (!LoadMail(item, options_.keep_line_ends, imap_, &mail, &error)) {
      code = IMAP::kImapFileNotFound;
      text = error;
    } else {
      size = mail.bytes.size();
      message_id = HeaderField(mail.bytes, "Message-ID").value_or("");
      std::string date = item.date;
      if (options_.date == DateSource::kHeader) {
        if (auto header = HeaderField(mail.bytes, "Date")) date = *header;
      }
      const std::string dup_key = message_id + '\n' + std::to_string(size);
      if (recheck_[index] && RecordedAlready(item, size, mail.hash)) {
        done_++;
        scheduler->Complete(index, true);
        continue;
      }
      if (options_.skip_linked && !message_id.empty() && probe &&
          LinkedInFolder(probe, item, dup_key).value_or(false)) {
        Passed(item, index, scheduler, "", "skipped: already linked in the folder (--skip-linked)",
               size, message_id, &Summary::already_linked, &FolderCounts::skipped);
        continue;
      }
      if (!message_id.empty() && probe) {
        duplicate = probe->Stored(message_id, size);
      } else if (!message_id.empty()) {
        std::lock_guard<std::mutex> lock(mu_);
        duplicate = seen_messages_.contains(dup_key);
      }
      const uint64_t hash = mail.hash;
      if (journal_ && journal_->TakeRenumbered(item, size, hash)) {
        // The server renumbered its folder: these bytes are in the store
        // from an earlier run already, linking them again would double them.
        journal_->Done(item, IMAP::kImapOk, size, hash);
        Passed(item, index, scheduler, "0",
               "done in an earlier run (same mail before the server renumbered its folder)", size,
               message_id, &Summary::journal_done, &FolderCounts::earlier);
        continue;
      }
      if (!Hold()) break;
      const std::string folder_key = FolderKey(item.folder);
      // The UIDs of the folder seen before its first call of the run: the
      // report and the flags file name each mail's UID.
      std::optional<int64_t> seen;
      if (probe && (report_ || flags_)) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          if (auto it = uid_seen_.find(folder_key); it != uid_seen_.end()) seen = it->second;
        }
        if (!seen) seen = probe->LastUid(folder_key);
      }
      if (journal_) journal_->Begin(item, size, hash);
      {
        std::lock_guard<std::mutex> lock(mu_);
        in_flight_[LinkKey(item, hash)]++;
      }
      code = CallLibrary(mail.path, item, date, size, hash, probe, &found);
      if (code == IMAP::kImapOk && seen && (report_ || !item.other_flags.empty())) {
        uid = probe->NewLinkUid(folder_key, &*seen, size, hash).value_or(0);
      }
      if (seen) {
        std::lock_guard<std::mutex> lock(mu_);
        uid_seen_[folder_key] = *seen;
      }
      if (code == IMAP::kImapOk && !found) CountLink(item, hash);
      Settled(item, hash);
      if (journal_) journal_->Done(item, code, size, hash);
      text = IMAP::ErrorText(code);
      if (code == IMAP::kImapOk && !message_id.empty() && !probe) {
        std::lock_guard<std::mutex> lock(mu_);
        seen_messages_.insert(dup_key);
      }
      if (code == IMAP::kImapOk && !message_id.empty() && options_.skip_linked) {
        std::lock_guard<std::mutex> lock(mu_);
        linked_messages_[FolderKey(item.folder)].insert(dup_key);
      }
    }
    const bool lost_flags = flags_ && code == IMAP::kImapOk && !item.other_flags.empty();
    if (lost_flags) flags_->Row(ReportName(item), item.offset, item.folder, uid, item.other_flags);
    if (report_) {
      report_->Row(ReportName(item), item.offset, item.folder, std::to_string(code),
                   found                       ? "OK (found in the store after a database error)"
                   : duplicate && code == 0 ? "OK (linked again: stored already)"
                                             : text,
                   size, message_id, uid);
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      FolderCounts& counts = summary_.folders[item.folder];
      if (code == IMAP::kImapOk && options_.verify) imported_.push_back(index);
      if (found) {
        summary_.found_after_error++;
        counts.stored++;
      } else if (code == IMAP::kImapOk) {
        (duplicate ? summary_.duplicates : summary_.imported)++;
        (duplicate ? counts.linked : counts.stored)++;
        for (char c : item.other_flags) summary_.lost_flags[c]++;
      } else {
        summary_.failed[code]++;
        counts.failed++;
      }
    }
    if (code != IMAP::kImapOk) failed_++;
    bytes_ += size;
    done_++;
    scheduler->Complete(index, code == IMAP::kImapOk);
  }
}

Importer::Handling Importer::Classify(const ImportItem& item,
                                      const std::optional<Journal::Entry>& entry) const {
  if (item.source.kind == ItemSource::Kind::kMbox && (!entry || entry->legacy) && journal_ &&
      journal_->HasLegacyMbox(item.path)) {
    // Recorded by an offset that a rewrite of the file may have moved: the
    // message is found among the file's records by its bytes instead.
    return Handling::kRecheck;
  }
  if (entry && Journal::IsComplete(*entry)) {
    // An mbox message's key holds its bytes, and an IMAP mail never
    // changes under its UID; any other source is read again to compare.
    const bool by_bytes = item.source.kind == ItemSource::Kind::kMbox && !entry->legacy;
    if (!item.skip_reason.empty() || entry->state == "skip" || by_bytes ||
        item.source.kind == ItemSource::Kind::kImap) {
      return Handling::kEarlier;
    }
    return Handling::kRecheck;
  }
  return item.skip_reason.empty() ? Handling::kCall : Handling::kSkip;
}

bool Importer::NeedsWork(const ImportItem& item) const {
  const Handling h = Classify(item, journal_ ? journal_->Find(item) : std::nullopt);
  return h == Handling::kCall || h == Handling::kRecheck;
}

Summary Importer::Run(const std::vector<ImportItem>& items,
                      const std::function<void(const ProgressState&)>& tick) {
  const auto start = std::chrono::steady_clock::now();
  std::deque<size_t> pending;
  recheck_.assign(items.size(), false);
  // Each run of a window counts on its own; what the store and journal
  // were told stays for the next window.
  summary_ = Summary();
  imported_.clear();
  done_ = 0;
  failed_ = 0;
  bytes_ = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const ImportItem& item = items[i];
    summary_.folders[item.folder].source++;
    const auto entry = journal_ ? journal_->Find(item) : std::nullopt;
    switch (Classify(item, entry)) {
      case Handling::kRecheck:
        recheck_[i] = true;
        pending.push_back(i);
        continue;
      case Handling::kEarlier:
        DoneInEarlierRun(item, *entry, entry->size, entry->hash);
        continue;
      case Handling::kSkip:
        summary_.skipped[item.skip_reason]++;
        summary_.folders[item.folder].skipped++;
        if (journal_) journal_->Skip(item);
        if (report_) {
          report_->Row(ReportName(item), item.offset, item.folder, "",
                       "skipped: " + item.skip_reason, item.length, "");
        }
        continue;
      case Handling::kCall:
        if (entry && Journal::Unsettled(*entry)) summary_.in_doubt++;
        pending.push_back(i);
        continue;
    }
  }
  summary_.items = items.size();
  const uint64_t total = pending.size();
  // The highest UIDs when the run began: read by the first window.
  if (probes_ && !last_uids_) {
    if (auto uids = probes_()->LastUids()) {
      last_uids_ = std::make_unique<std::map<std::string, int64_t>>(std::move(*uids));
    }
  }
  Scheduler scheduler(items, pending);
  {
    std::lock_guard<std::mutex> lock(pool_mu_);
    window_items_ = &items;
    window_scheduler_ = &scheduler;
    idle_ = 0;
    ++window_;
  }
  pool_cv_.notify_all();
  while (workers_.size() < static_cast<size_t>(std::max(1, options_.threads))) {
    workers_.emplace_back([this] { Worker(); });
  }
  auto progress = [&] {
    ProgressState state;
    state.done = done_;
    state.total = total;
    state.failed = failed_;
    state.bytes = bytes_;
    state.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> lock(mu_);
    state.note = note_;
    state.folder = folder_;
    return state;
  };
  // The main thread only watches: progress, and Ctrl-C, which stops the
  // hand-out while calls in flight finish and record their outcome.
  while (done_ < total) {
    if (InterruptRequested()) {
      scheduler.Stop();
      summary_.interrupted = true;
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (gave_up_) break;
    }
    if (tick) tick(progress());
    // A paced look, not a synchronisation: the workers need nothing from here.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  scheduler.Stop();
  {
    std::unique_lock<std::mutex> lock(pool_mu_);
    pool_cv_.wait(lock, [&] { return idle_ == workers_.size(); });
  }
  if (InterruptRequested()) summary_.interrupted = true;
  summary_.outage = gave_up_;
  summary_.left = total - done_;
  if (tick) tick(progress());
  summary_.bytes = bytes_;
  summary_.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return summary_;
}

void PrintSummary(const Summary& s, FILE* out) {
  const uint64_t done = s.imported + s.duplicates + s.found_after_error + s.FailedCount();
  fprintf(out, "%s: %llu items",
          s.interrupted ? "Interrupted"
          : s.outage    ? "Stopped (database unreachable)"
                        : "Done",
          static_cast<unsigned long long>(s.items));
  if (s.seconds > 0) {
    fprintf(out, ", %llu calls in %.1f s (%.1f mails/s, %.2f MB/s)",
            static_cast<unsigned long long>(done), s.seconds, done / s.seconds,
            s.bytes / s.seconds / 1e6);
  }
  fprintf(out, "\n");
  auto line = [&](const char* what, uint64_t n, const std::string& note = "") {
    fprintf(out, "  %-34s %8llu%s\n", what, static_cast<unsigned long long>(n), note.c_str());
  };
  line("imported", s.imported);
  line("linked again (already stored)", s.duplicates);
  if (s.found_after_error > 0) {
    line("found in the store after a 1001", s.found_after_error,
         "   (the call failed after linking the mail)");
  }
  if (s.journal_done > 0) line("done in an earlier run (journal)", s.journal_done);
  if (s.flags_changed > 0) {
    line("  of which flags changed at source", s.flags_changed,
         "   (not applied; listed in the report)");
  }
  if (s.changed > 0) {
    line("changed at the source since", s.changed,
         "   (the journal knew other bytes: imported as new)");
  }
  if (s.already_linked > 0) line("already in the folder (skip-linked)", s.already_linked);
  if (s.recovered > 0) {
    line("  of which found in the store", s.recovered, "   (an earlier call's outcome was unknown)");
  }
  if (s.in_doubt > 0) {
    line("retried (outcome was unknown)", s.in_doubt);
  }
  std::string reasons;
  for (const auto& [reason, count] : s.skipped) {
    reasons += (reasons.empty() ? "   (" : ", ") + std::to_string(count) + " " + reason;
  }
  line("skipped (not mail)", s.SkippedCount(), reasons.empty() ? "" : reasons + ")");
  line("failed", s.FailedCount());
  for (const auto& [code, count] : s.failed) {
    fprintf(out, "    %6llu x %d %s\n", static_cast<unsigned long long>(count), code,
            IMAP::ErrorText(code).c_str());
  }
  if (s.left > 0) line("left for the next run", s.left);
  if (!s.lost_flags.empty()) {
    std::string flags;
    uint64_t keywords = 0;
    for (const auto& [c, count] : s.lost_flags) {
      if (const char* name = FlagName(c)) {
        flags += (flags.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
      } else {
        keywords += count;
      }
    }
    if (keywords > 0) {
      flags += (flags.empty() ? "" : ", ") + std::string("keywords ") + std::to_string(keywords);
    }
    fprintf(out, "  flags the store cannot take (imported without them): %s\n", flags.c_str());
  }
  fprintf(out, "  %-34s %8s %8s %8s %8s %8s %8s\n", "by folder", "source", "new", "linked",
          "earlier", "skipped", "failed");
  for (const auto& [folder, c] : s.folders) {
    fprintf(out, "    %-32s %8llu %8llu %8llu %8llu %8llu %8llu\n", folder.c_str(),
            static_cast<unsigned long long>(c.source), static_cast<unsigned long long>(c.stored),
            static_cast<unsigned long long>(c.linked), static_cast<unsigned long long>(c.earlier),
            static_cast<unsigned long long>(c.skipped), static_cast<unsigned long long>(c.failed));
  }
}

}  // namespace Nauvik::Import
