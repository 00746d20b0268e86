#include "tools/imap/ImapSource.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "tools/MailText.h"
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

bool Unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '&' || c == ',' || c == '+';
}

std::string PercentEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (Unreserved(c)) {
      out.push_back(c);
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += {'%', kHex[u >> 4], kHex[u & 15]};
    }
  }
  return out;
}

bool Uint32(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
    return false;
  }
  const uint64_t v = std::stoull(text);
  if (v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The letters the Maildir side counts for flags the store cannot take, so
// the summary reads the same for both sources.
char OtherFlagLetter(const std::string& flag) {
  if (EqualsNoCase(flag, "\\Answered")) return 'R';
  if (EqualsNoCase(flag, "\\Flagged")) return 'F';
  if (EqualsNoCase(flag, "\\Deleted")) return 'T';
  if (flag.starts_with("\\")) return 0;  // \Seen, \Draft taken; \Recent is the session's
  return 'k';                            // a keyword
}

std::atomic<ImapSource*> active_source{nullptr};

}  // namespace

ImapSource* ActiveImapSource() { return active_source.load(); }
void SetActiveImapSource(ImapSource* source) { active_source.store(source); }

struct ImapSource::Session {
  ImapUrl url;
  ImapClient client;
  bool open = false;
  std::string examined;  // folder the client has open
  uint32_t uidvalidity = 0;
  bool unreachable = false;  // the last outage outlasted the reconnect window
};

std::string ImapItemPath(const ImapItemLocation& l) {
  return l.account + "/" + PercentEncode(l.folder) +
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
  return Uint32(path.substr(validity + 13, uid - validity - 13), &l->uidvalidity) &&
         Uint32(path.substr(uid + 6), &l->uid);
}

std::string MapImapFolder(const std::string& server_name, char delimiter,
                          const std::string& url_folder, const std::string& target) {
  std::string relative = server_name;
  auto strip = [&](const std::string& prefix) {
    if (EqualsNoCase(relative, prefix)) {
      relative.clear();
      return true;
    }
    if (delimiter && relative.size() > prefix.size() &&
        EqualsNoCase(relative.substr(0, prefix.size()), prefix) &&
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
  if (delimiter && delimiter != '.') std::replace(utf8.begin(), utf8.end(), delimiter, '.');
  return target + "." + utf8;
}

ImapSource::ImapSource(ImapLogin login) : login_(std::move(login)) {}

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
  auto it = sessions_.find(account);
  return it == sessions_.end() ? nullptr : it->second.get();
}

bool ImapSource::Collect(const std::string& text, const std::string& target,
                         std::vector<ImportItem>* items, std::string* error) {
  ImapUrl url;
  if (!ParseImapUrl(text, &url, error)) {
    failure_ = ImapFailure::kProtocol;
    return false;
  }
  auto& slot = sessions_[url.Account()];
  if (!slot) slot = std::make_unique<Session>();
  Session* s = slot.get();
  s->url = url;
  s->url.folder.clear();
  auto fail = [&](const std::string& what) {
    failure_ = s->client.failure();
    *error = url.Account() + ": " + what;
    return false;
  };
  if (!s->open) {
    if (!s->client.Open(url, login_, error)) return fail(*error);
    s->open = true;
    std::lock_guard<std::mutex> lock(mu_);
    if (!s->client.encrypted()) unencrypted_ = true;
  }
  std::vector<ImapFolder> folders;
  if (!s->client.List(&folders, error)) return fail(*error);
  // The URL may name the folder as the server spells it or in UTF-8.
  std::string root;
  if (!url.folder.empty()) {
    for (const ImapFolder& f : folders) {
      if (f.name == url.folder || DecodeModifiedUtf7(f.name) == url.folder ||
          (EqualsNoCase(f.name, "INBOX") && EqualsNoCase(url.folder, "INBOX"))) {
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
    const bool ai = EqualsNoCase(a.name, "INBOX"), bi = EqualsNoCase(b.name, "INBOX");
    return ai != bi ? ai : a.name < b.name;
  });
  for (const ImapFolder& folder : folders) {
    if (folder.noselect) continue;  // a parent only: the store makes it with its children
    ImapMailbox box;
    if (!s->client.Examine(folder.name, &box, error)) return fail(*error);
    s->examined = folder.name;
    s->uidvalidity = box.uidvalidity;
    if (box.exists == 0) continue;
    std::vector<ImapMessage> messages;
    if (!s->client.Fetch(
            "1:*", false, [&](ImapMessage&& m) { messages.push_back(std::move(m)); }, error)) {
      return fail(*error);
    }
    std::sort(messages.begin(), messages.end(),
              [](const ImapMessage& a, const ImapMessage& b) { return a.uid < b.uid; });
    const std::string store_folder = MapImapFolder(folder.name, folder.delimiter, root, target);
    for (const ImapMessage& m : messages) {
      ImportItem item;
      item.path = ImapItemPath({url.Account(), folder.name, box.uidvalidity, m.uid});
      item.source = ItemSource::Imap(url.Account(), folder.name, box.uidvalidity, m.uid);
      item.length = m.size;
      item.folder = store_folder;
      for (const std::string& flag : m.flags) {
        if (EqualsNoCase(flag, "\\Seen")) {
          item.seen = true;
        } else if (EqualsNoCase(flag, "\\Draft")) {
          item.draft = true;
        } else if (char c = OtherFlagLetter(flag)) {
          item.other_flags.push_back(c);
        }
      }
      int64_t seconds = 0;
      if (ImapClient::ParseInternalDate(m.internal_date, &seconds)) {
        item.date = Rfc822DateFromEpoch(seconds);
      }
      items->push_back(std::move(item));
    }
  }
  return true;
}

void ImapSource::Prefetch(const std::vector<const ImportItem*>& items) {
  std::lock_guard<std::mutex> lock(mu_);
  order_.clear();
  position_.clear();
  cursor_ = 0;
  for (const ImportItem* item : items) {
    Want want{item, {}};
    if (ParseImapItemPath(item->path, &want.location)) {
      position_[item->path] = order_.size();
      order_.push_back(std::move(want));
    }
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  cv_.notify_all();
}

bool ImapSource::Load(const ImportItem& item, std::string* bytes, std::string* error) {
  Want want{&item, {}};
  if (!ParseImapItemPath(item.path, &want.location)) {
    *error = item.path + ": not an IMAP mail";
    return false;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  auto planned = [&] {
    auto it = position_.find(item.path);
    return it != position_.end() && it->second >= cursor_;
  };
  // Bodies are taken once: a second Load of the same mail (verify after
  // import) fetches it again.
  if (!ready_.count(item.path) && !errors_.count(item.path) && !requested_.count(item.path) &&
      !in_flight_.count(item.path) && !planned()) {
    requests_.push_back(want);
    requested_.insert(item.path);
  }
  ++waiters_;
  cv_.notify_all();
  cv_.wait(lock, [&] { return stop_ || ready_.count(item.path) || errors_.count(item.path); });
  --waiters_;
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
               (cursor_ < order_.size() && (ready_bytes_ < kAheadBytes || waiters_ > 0));
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
          bytes += it->item->length;
          requested_.erase(it->item->path);
          batch.push_back(*it);
          it = requests_.erase(it);
        }
      } else {
        while (cursor_ < order_.size() && !full() && same_folder(order_[cursor_])) {
          bytes += order_[cursor_].item->length;
          batch.push_back(order_[cursor_++]);
        }
      }
      for (const Want& w : batch) in_flight_.insert(w.item->path);
    }
    FetchBatch(batch);
  }
}

bool ImapSource::EnsureFolder(Session* s, const Want& first, std::string* error, bool* fatal) {
  if (!s->open) {
    if (!s->client.Open(s->url, login_, error)) {
      *fatal = s->client.failure() != ImapFailure::kNetwork;
      return false;
    }
    s->open = true;
    s->examined.clear();
    std::lock_guard<std::mutex> lock(mu_);
    if (!s->client.encrypted()) unencrypted_ = true;
  }
  if (s->examined != first.location.folder) {
    ImapMailbox box;
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
  for (const Want& w : batch) pending[w.location.uid] = w.item->path;
  auto fail_all = [&](const std::string& why) {
    for (const auto& [uid, path] : pending) Finish(path, nullptr, path + ": " + why);
  };
  if (!s) return fail_all("no session for this account (it was not listed in this run)");
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
          ImapClient::UidSet(uids), true,
          [&](ImapMessage&& m) {
            auto it = pending.find(m.uid);
            if (it == pending.end()) return;
            Finish(it->second, &m.body, "");
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
