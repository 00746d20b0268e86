#include "tools/imap/ImapSource.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <fnmatch.h>

#include "tools/MailText.h"
#include "tools/Store.h"
#include "tools/System.h"

namespace Nauvik::Import {
namespace {

// How far the fetching runs ahead of the library calls, and how much one
// UID FETCH asks for: enough to keep loopback and LAN round trips out of the
// way, little enough that a million-mail account does not sit in memory.
constexpr uint64_t kAheadBytes = 8u << 20;
constexpr uint64_t kBatchBytes = 2u << 20;
constexpr size_t kBatchMails = 200;
// A server that stays away longer than this ends the run's fetching.
constexpr int kReconnectSeconds = 300;

// The largest mail taken from a server; a literal announced larger is a
// protocol error rather than an allocation of that size.
constexpr uint64_t kMaxMailBytes = 1ull << 30;
// What a body may exceed the size the listing announced (a mail changed
// on the server keeps its UID only if it is the same mail: the margin is
// for servers that count line ends differently, the size check decides).
constexpr uint64_t kBodyMargin = 64u << 10;

// The letters the Maildir side counts for flags the store cannot take, so
// the summary reads the same for both sources.
char OtherFlagLetter(const std::string& flag) {
  if (EqualsIgnoreCase(flag, "\\Answered")) return 'R';
  if (EqualsIgnoreCase(flag, "\\Flagged")) return 'F';
  if (EqualsIgnoreCase(flag, "\\Deleted")) return 'T';
  if (flag.starts_with("\\")) return 0;  // \Seen, \Draft taken; \Recent is the session's
  return 'k';                            // a keyword
}

}  // namespace

struct ImapSource::Session {
  // Held while talking to the server: the listing (the main thread, as the
  // run reaches an input) and the fetching thread share the connection.
  std::mutex use;
  ImapUrl url;
  ImapClient client;
  bool open = false;
  std::string examined;  // folder the client has open
  uint32_t uidvalidity = 0;
  bool unreachable = false;  // the last outage outlasted the reconnect window
  std::string stopped;       // why this account is fetched no more (a refused login)
};

std::string ImapItemPath(const ImapItemLocation& l) {
  return l.account + "/" + ImapPercentEncode(l.folder) +
         ";UIDVALIDITY=" + std::to_string(l.uidvalidity) + "/;UID=" + std::to_string(l.uid);
}

bool ParseImapItemPath(const std::string& path, ImapItemLocation* l) {
  if (!IsImapUrl(path)) return false;
  const size_t uid = path.rfind("/;UID=");
  const size_t validity = path.rfind(";UIDVALIDITY=", uid);
  if (uid == std::string::npos || validity == std::string::npos) return false;
  ImapUrl url;
  std::string error;
  if (!ParseImapUrl(path.substr(0, validity), &url, &error)) return false;
  l->account = url.Account();
  l->folder = url.folder;
  return ParseImapNumber(path.substr(validity + 13, uid - validity - 13), &l->uidvalidity) &&
         ParseImapNumber(path.substr(uid + 6), &l->uid);
}

std::string CanonicalImapItemPath(const std::string& path) {
  ImapItemLocation l;
  return ParseImapItemPath(path, &l) ? ImapItemPath(l) : path;
}

std::string MapImapFolder(const std::string& server_name, char delimiter,
                          const std::string& url_folder, const std::string& target) {
  std::string relative = server_name;
  auto strip = [&](const std::string& prefix) {
    if (EqualsIgnoreCase(relative, prefix)) {
      relative.clear();
      return true;
    }
    if (delimiter && relative.size() > prefix.size() &&
        EqualsIgnoreCase(relative.substr(0, prefix.size()), prefix) &&
        relative[prefix.size()] == delimiter) {
      relative.erase(0, prefix.size() + 1);
      return true;
    }
    return false;
  };
  if (!url_folder.empty()) {
    strip(url_folder);
  } else {
    strip("INBOX");  // INBOX, and on servers that keep every folder below it, its children
  }
  if (relative.empty()) return target;
  std::string utf8 = DecodeModifiedUtf7(relative).value_or(relative);
  // A control character in a folder name would reach terminals and reports.
  for (char& c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  }
  if (delimiter && delimiter != '.') {
    // The store's levels are split at "."; one within a server level would
    // make two levels of it.
    std::replace(utf8.begin(), utf8.end(), '.', '_');
    std::replace(utf8.begin(), utf8.end(), delimiter, '.');
  }
  return target + "." + utf8;
}

namespace {

// The folder's name as the user writes it in a pattern: UTF-8, "/" between
// levels.
bool Wanted(const ImapFolder& folder, const ImapFolderFilter& filter) {
  if (filter.skip_junk_trash && folder.junk_or_trash) return false;
  std::string name = DecodeModifiedUtf7(folder.name).value_or(folder.name);
  if (folder.delimiter) std::replace(name.begin(), name.end(), folder.delimiter, '/');
  auto matches = [&](const std::vector<std::string>& patterns) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) {
      return fnmatch(p.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
    });
  };
  return (filter.include.empty() || matches(filter.include)) && !matches(filter.exclude);
}

}  // namespace

ImapSource::ImapSource(ImapLogin login, ImapFolderFilter filter)
    : login_(std::move(login)), filter_(std::move(filter)) {}

ImapSource::~ImapSource() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (auto& [account, session] : sessions_) {
    if (session->open) session->client.Logout();
  }
}

bool ImapSource::unencrypted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unencrypted_;
}

uint64_t ImapSource::reconnects() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reconnects_;
}

ImapSource::Session* ImapSource::SessionFor(const std::string& account) {
  std::lock_guard<std::mutex> lock(sessions_mu_);
  auto it = sessions_.find(account);
  return it == sessions_.end() ? nullptr : it->second.get();
}

// An IMAP input as the run lists it: its folders when it is reached, then
// the mails of one folder at a time.
class ImapSource::Listing final : public ItemLister::RemoteInput {
 public:
  Listing(ImapSource* source, std::string text, std::string target)
      : source_(source), text_(std::move(text)), target_(std::move(target)) {}

  bool Next(std::vector<ImportItem>* items, std::string* error) override {
    while (next_ < folders_.size()) {
      const size_t mark = items->size();
      if (!source_->Retrying([&] { return source_->ListFolderOnce(*this, items, error); },
                             [&] { items->resize(mark); }, error)) {
        return false;
      }
      ++next_;
      if (items->size() > mark) return true;
    }
    return false;
  }

  ImapSource* const source_;
  const std::string text_;
  const std::string target_;
  ImapUrl url_;
  std::string root_;  // the folder the URL names, as the server spells it
  struct Folder {
    std::string name;  // the server's
    std::string store_name;
  };
  std::vector<Folder> folders_;  // to list, in order
  size_t next_ = 0;
};

// A connection lost while listing is listed again, as a fetch would be,
// rather than ending the run.
bool ImapSource::Retrying(const std::function<bool()>& once, const std::function<void()>& undo,
                          std::string* error) {
  int delay = 1;
  for (int attempt = 1;; ++attempt) {
    if (once()) {
      error->clear();  // what an attempt before said, or a folder skipped
      return true;
    }
    if (failure_ != ImapFailure::kNetwork || attempt == 4 || InterruptRequested()) return false;
    undo();
    fprintf(stderr, "mailstorage-import: IMAP: %s; listing again in %d s\n", error->c_str(), delay);
    std::this_thread::sleep_for(std::chrono::seconds(delay));
    delay *= 4;
  }
}

std::unique_ptr<ItemLister::RemoteInput> ImapSource::List(const std::string& url,
                                                          const std::string& target,
                                                          std::string* error) {
  auto listing = std::make_unique<Listing>(this, url, target);
  if (!Retrying([&] { return ListFoldersOnce(listing.get(), error); },
                [&] { listing->folders_.clear(); }, error)) {
    return nullptr;
  }
  return listing;
}

ImapSource::Session* ImapSource::OpenSession(const ImapUrl& url, std::string* error) {
  Session* s = nullptr;
  {
    std::lock_guard<std::mutex> lock(sessions_mu_);
    auto& slot = sessions_[url.Account()];
    if (!slot) slot = std::make_unique<Session>();
    s = slot.get();
  }
  std::lock_guard<std::mutex> use(s->use);
  s->url = url;
  s->url.folder.clear();
  if (!s->open || !s->client.connected()) {
    if (!s->client.Open(url, login_, error)) {
      failure_ = s->client.failure();
      *error = url.Account() + ": " + *error;
      return nullptr;
    }
    s->open = true;
    s->examined.clear();
    std::lock_guard<std::mutex> lock(mu_);
    if (!s->client.encrypted()) unencrypted_ = true;
  }
  return s;
}

bool ImapSource::Failed(const Session& s, const ImapUrl& url, const std::string& what,
                        std::string* error) {
  failure_ = s.client.failure();
  *error = url.Account() + ": " + what;
  return false;
}

bool ImapSource::ListFoldersOnce(Listing* listing, std::string* error) {
  ImapUrl& url = listing->url_;
  if (!ParseImapUrl(listing->text_, &url, error)) {
    failure_ = ImapFailure::kProtocol;
    return false;
  }
  Session* s = OpenSession(url, error);
  if (!s) return false;
  std::lock_guard<std::mutex> use(s->use);
  auto fail = [&](const std::string& what) { return Failed(*s, url, what, error); };
  std::vector<ImapFolder> folders;
  if (!s->client.List(!url.folder.empty(), &folders, error)) return fail(*error);
  // The URL may name the folder as the server spells it or in UTF-8.
  std::string& root = listing->root_;
  root.clear();
  if (!url.folder.empty()) {
    for (const ImapFolder& f : folders) {
      if (f.name == url.folder || DecodeModifiedUtf7(f.name) == url.folder ||
          (EqualsIgnoreCase(f.name, "INBOX") && EqualsIgnoreCase(url.folder, "INBOX"))) {
        root = f.name;
      }
    }
    if (root.empty()) return fail("the server has no folder " + url.folder);
    std::erase_if(folders, [&](const ImapFolder& f) {
      return f.name != root && !(f.delimiter && f.name.starts_with(root + f.delimiter));
    });
  }
  // INBOX first (its mails create the target folder), then by name, so two
  // runs list the same items in the same order.
  std::sort(folders.begin(), folders.end(), [](const ImapFolder& a, const ImapFolder& b) {
    const bool ai = EqualsIgnoreCase(a.name, "INBOX"), bi = EqualsIgnoreCase(b.name, "INBOX");
    return ai != bi ? ai : a.name < b.name;
  });
  // Two server folders that would meet in one store folder (names that
  // differ in case only, "a.b" beside "a/b"): the later one gets a number.
  std::set<std::string> taken;
  for (const ImapFolder& folder : folders) {
    std::string name = MapImapFolder(folder.name, folder.delimiter, root, listing->target_);
    for (int n = 2; !taken.insert(FolderKey(name)).second; ++n) {
      name = MapImapFolder(folder.name, folder.delimiter, root, listing->target_) + " (" +
             std::to_string(n) + ")";
    }
    if (folder.noselect) continue;  // a parent only: the store makes it with its children
    // A view of every mail of the account ("All Mail"): its mails are in
    // their own folders already.
    if (folder.all && folder.name != root) continue;
    if (!Wanted(folder, filter_)) continue;
    listing->folders_.push_back({folder.name, name});
  }
  return true;
}

bool ImapSource::ListFolderOnce(const Listing& listing, std::vector<ImportItem>* items,
                                std::string* error) {
  const ImapUrl& url = listing.url_;
  const Listing::Folder& folder = listing.folders_[listing.next_];
  Session* s = OpenSession(url, error);
  if (!s) return false;
  std::lock_guard<std::mutex> use(s->use);
  auto fail = [&](const std::string& what) { return Failed(*s, url, what, error); };
  ImapMailbox box;
  s->examined.clear();
  if (!s->client.Examine(folder.name, &box, error)) {
    if (s->client.failure() != ImapFailure::kRefused) return fail(*error);
    fprintf(stderr, "mailstorage-import: IMAP: %s: skipped\n", error->c_str());
    // One row in the report for the folder; its mails are listed when a
    // later run can open it.
    ImportItem skipped;
    skipped.path = url.Account() + "/" + ImapPercentEncode(folder.name);
    skipped.folder = folder.store_name;
    skipped.skip_reason = "IMAP folder the server would not open";
    items->push_back(std::move(skipped));
    return true;
  }
  s->examined = folder.name;
  s->uidvalidity = box.uidvalidity;
  if (box.exists == 0) return true;
  std::vector<ImapMessage> messages;
  if (!s->client.Fetch(
          "1:*", false, 0, [&](ImapMessage&& m) { messages.push_back(std::move(m)); }, error)) {
    return fail(*error);
  }
  // One item per UID, whatever the server repeated.
  std::stable_sort(messages.begin(), messages.end(),
                   [](const ImapMessage& a, const ImapMessage& b) { return a.uid < b.uid; });
  messages.erase(std::unique(messages.begin(), messages.end(),
                             [](const ImapMessage& a, const ImapMessage& b) {
                               return a.uid == b.uid;
                             }),
                 messages.end());
  for (const ImapMessage& m : messages) {
    ImportItem item;
    item.path = ImapItemPath({url.Account(), folder.name, box.uidvalidity, m.uid});
    item.source = ItemSource::Imap(url.Account(), folder.name, box.uidvalidity, m.uid);
    item.length = m.size;
    item.folder = folder.store_name;
    for (const std::string& flag : m.flags) {
      if (EqualsIgnoreCase(flag, "\\Seen")) {
        item.seen = true;
      } else if (EqualsIgnoreCase(flag, "\\Draft")) {
        item.draft = true;
      } else if (char c = OtherFlagLetter(flag)) {
        item.other_flags.push_back(c);
      }
    }
    int64_t seconds = 0;
    if (ParseImapInternalDate(m.internal_date, &seconds)) {
      item.date = Rfc822DateFromEpoch(seconds);
    }
    items->push_back(std::move(item));
  }
  return true;
}

void ImapSource::Prefetch(const std::vector<const ImportItem*>& items) {
  std::lock_guard<std::mutex> lock(mu_);
  order_.clear();
  position_.clear();
  cursor_ = 0;
  for (const ImportItem* item : items) {
    Want want{*item, {}};
    if (ParseImapItemPath(item->path, &want.location)) {
      position_[item->path] = order_.size();
      order_.push_back(std::move(want));
    }
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  cv_.notify_all();
}

bool ImapSource::Load(const ImportItem& item, std::string* bytes, std::string* error) {
  Want want{item, {}};
  if (!ParseImapItemPath(item.path, &want.location)) {
    *error = item.path + ": not an IMAP mail";
    return false;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  // Bodies are taken once: a second Load of the same mail (verify after
  // import) fetches it again. The prefetch brings a planned mail unless the
  // bytes fetched ahead fill their cap first, which a reader that takes the
  // mails in another order than planned makes happen: then this one mail
  // is fetched on demand, and the cap holds.
  while (!stop_ && !ready_.count(item.path) && !errors_.count(item.path)) {
    if (!requested_.count(item.path) && !in_flight_.count(item.path)) {
      auto it = position_.find(item.path);
      const bool planned = it != position_.end() && it->second >= cursor_ &&
                           !order_[it->second].taken;
      if (!planned || ready_bytes_ >= kAheadBytes) {
        if (planned) order_[it->second].taken = true;
        requests_.push_back(want);
        requested_.insert(item.path);
        cv_.notify_all();
      }
    }
    cv_.wait(lock);
  }
  if (auto it = ready_.find(item.path); it != ready_.end()) {
    *bytes = std::move(it->second);
    ready_bytes_ -= bytes->size();
    ready_.erase(it);
    cv_.notify_all();
    return true;
  }
  if (auto it = errors_.find(item.path); it != errors_.end()) {
    *error = it->second;
    errors_.erase(it);
    return false;
  }
  *error = item.path + ": the IMAP source was stopped";
  return false;
}

void ImapSource::Finish(const std::string& path, std::string* bytes, const std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  in_flight_.erase(path);
  if (bytes) {
    ready_bytes_ += bytes->size();
    ready_[path] = std::move(*bytes);
  } else {
    errors_[path] = error;
  }
  cv_.notify_all();
}

void ImapSource::Run() {
  while (true) {
    std::vector<Want> batch;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] {
        return stop_ || !requests_.empty() ||
               (cursor_ < order_.size() && ready_bytes_ < kAheadBytes);
      });
      if (stop_) return;
      uint64_t bytes = 0;
      auto same_folder = [&](const Want& w) {
        return batch.empty() || (w.location.account == batch[0].location.account &&
                                 w.location.folder == batch[0].location.folder &&
                                 w.location.uidvalidity == batch[0].location.uidvalidity);
      };
      auto full = [&] { return batch.size() >= kBatchMails || bytes >= kBatchBytes; };
      if (!requests_.empty()) {
        for (auto it = requests_.begin(); it != requests_.end() && !full();) {
          if (!same_folder(*it)) {
            ++it;
            continue;
          }
          bytes += it->item.length;
          requested_.erase(it->item.path);
          batch.push_back(*it);
          it = requests_.erase(it);
        }
      } else {
        while (cursor_ < order_.size() && !full() && same_folder(order_[cursor_])) {
          if (order_[cursor_].taken) {  // fetched on demand already
            ++cursor_;
            continue;
          }
          bytes += order_[cursor_].item.length;
          batch.push_back(order_[cursor_++]);
        }
      }
      for (const Want& w : batch) in_flight_.insert(w.item.path);
    }
    // The server's answers are not ours: whatever they make of the batch,
    // it is this batch's error, not the end of the process.
    try {
      FetchBatch(batch);
    } catch (const std::exception& e) {
      for (const Want& w : batch) {
        bool open;
        {
          std::lock_guard<std::mutex> lock(mu_);
          open = in_flight_.count(w.item.path) > 0;
        }
        if (open) Finish(w.item.path, nullptr, w.item.path + ": " + e.what());
      }
      if (Session* s = SessionFor(batch[0].location.account)) {
        std::lock_guard<std::mutex> use(s->use);
        s->open = false;
        s->client.Logout();
      }
    }
  }
}

bool ImapSource::EnsureFolder(Session* s, const Want& first, std::string* error, bool* fatal) {
  if (!s->stopped.empty()) {
    *error = s->stopped;
    *fatal = true;
    return false;
  }
  if (!s->open || !s->client.connected()) {
    if (!s->client.Open(s->url, login_, error)) {
      *fatal = s->client.failure() != ImapFailure::kNetwork;
      // Logging in again for every batch could lock the account.
      if (s->client.failure() == ImapFailure::kAuth) {
        s->stopped = *error + " (this account is not fetched any further in this run)";
        *error = s->stopped;
      }
      return false;
    }
    s->open = true;
    s->examined.clear();
    std::lock_guard<std::mutex> lock(mu_);
    if (!s->client.encrypted()) unencrypted_ = true;
  }
  if (s->examined != first.location.folder) {
    ImapMailbox box;
    s->examined.clear();
    if (!s->client.Examine(first.location.folder, &box, error)) {
      *fatal = s->client.failure() != ImapFailure::kNetwork;
      if (!*fatal) s->open = false;
      return false;
    }
    s->examined = first.location.folder;
    s->uidvalidity = box.uidvalidity;
  }
  if (s->uidvalidity != first.location.uidvalidity) {
    *error = "the server renumbered folder " + first.location.folder + " (UIDVALIDITY " +
             std::to_string(first.location.uidvalidity) + " is now " +
             std::to_string(s->uidvalidity) + "); run again to import it afresh";
    *fatal = true;
    return false;
  }
  return true;
}

void ImapSource::FetchBatch(const std::vector<Want>& batch) {
  if (batch.empty()) return;
  Session* s = SessionFor(batch[0].location.account);
  std::map<uint32_t, std::string> pending;  // uid -> path, not yet delivered
  for (const Want& w : batch) pending[w.location.uid] = w.item.path;
  auto fail_all = [&](const std::string& why) {
    for (const auto& [uid, path] : pending) Finish(path, nullptr, path + ": " + why);
  };
  if (!s) return fail_all("no session for this account (it was not listed in this run)");
  std::lock_guard<std::mutex> use(s->use);
  uint64_t max_body = 0;
  for (const Want& w : batch) max_body = std::max<uint64_t>(max_body, w.item.length);
  max_body = std::min(max_body + kBodyMargin, kMaxMailBytes);
  const auto outage_start = std::chrono::steady_clock::now();
  int delay = 1;
  bool lost = false;
  while (true) {
    std::string error;
    bool fatal = false;
    bool ok = EnsureFolder(s, batch[0], &error, &fatal);
    if (ok) {
      std::vector<uint32_t> uids;
      for (const auto& [uid, path] : pending) uids.push_back(uid);
      ok = s->client.Fetch(
          ImapClient::UidSet(uids), true, max_body,
          [&](ImapMessage&& m) {
            auto it = pending.find(m.uid);
            if (it == pending.end()) return;
            if (m.problem.empty()) {
              Finish(it->second, &m.body, "");
            } else {
              Finish(it->second, nullptr, it->second + ": " + m.problem);
            }
            pending.erase(it);
          },
          &error);
      fatal = !ok && s->client.failure() != ImapFailure::kNetwork;
    }
    if (ok) {
      if (lost)
        fprintf(stderr, "mailstorage-import: IMAP: reconnected to %s\n", s->url.host.c_str());
      s->unreachable = false;
      return fail_all("the mail is no longer on the server (expunged since the listing)");
    }
    if (fatal) return fail_all(error);
    s->open = false;
    s->client.Logout();
    // Once a server stayed away for the whole window, later batches try once
    // each instead of waiting the window again.
    const auto waited = std::chrono::steady_clock::now() - outage_start;
    if (InterruptRequested() || s->unreachable ||
        waited > std::chrono::seconds(kReconnectSeconds)) {
      s->unreachable = true;
      return fail_all("IMAP server unreachable: " + error);
    }
    fprintf(stderr, "mailstorage-import: IMAP: %s; reconnecting in %d s\n", error.c_str(), delay);
    {
      std::unique_lock<std::mutex> lock(mu_);
      ++reconnects_;
      if (cv_.wait_for(lock, std::chrono::seconds(delay), [&] { return stop_; })) {
        lock.unlock();
        return fail_all("the IMAP source was stopped");
      }
    }
    lost = true;
    delay = std::min(delay * 2, 30);
  }
}

}  // namespace Nauvik::Import
