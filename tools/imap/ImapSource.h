#pragma once

// The importer's IMAP input: turns imap:// and imaps:// URLs into import
// items (one per mail, listed from the server up front) and hands each
// item's exact bytes to whoever loads it, fetched ahead in UID batches by a
// background thread over one connection per account. A dropped connection
// is reconnected with backoff within the run.
//
// An item's path is its identity: the account, the folder's server name,
// its UIDVALIDITY and the mail's UID
// ("imaps://user@host:993/Archive%2F2019;UIDVALIDITY=7/;UID=42"), so the
// journal recognises a mail done in an earlier run, and a folder the server
// renumbered comes back as new items.
//
// Thread-safe: Load may be called from any number of threads.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/Inputs.h"
#include "tools/imap/ImapClient.h"

namespace Nauvik::Import {

struct ImapItemLocation {
  std::string account;  // ImapUrl::Account()
  std::string folder;   // server name
  uint32_t uidvalidity = 0;
  uint32_t uid = 0;
};

// The item path of a mail, and back. ParseImapItemPath is false for paths
// that are not IMAP item paths.
std::string ImapItemPath(const ImapItemLocation& location);
bool ParseImapItemPath(const std::string& path, ImapItemLocation* location);
// `path` with its account spelt as ImapUrl::Account() does now (journals of
// earlier releases named it by scheme and the host as given); other paths
// unchanged.
std::string CanonicalImapItemPath(const std::string& path);

// The store folder for a server folder: below `target`, INBOX (and the
// folder named in the URL) being `target` itself, the hierarchy delimiter
// turned into ".", modified UTF-7 decoded to UTF-8.
std::string MapImapFolder(const std::string& server_name, char delimiter,
                          const std::string& url_folder, const std::string& target);

class ImapSource {
 public:
  explicit ImapSource(ImapLogin login, ImapFolderFilter filter = {});
  ~ImapSource();  // stops the fetching thread and logs out
  ImapSource(const ImapSource&) = delete;
  ImapSource& operator=(const ImapSource&) = delete;

  // Lists the folders of `url` (the whole account or the folder named and
  // its children); the listing it returns then gives one item per mail, a
  // folder at a time, in folder and UID order. Null with `error` when the
  // server cannot be reached, refuses the login or the folder; failure()
  // then tells why. The listing must not outlive this source.
  std::unique_ptr<ItemLister::RemoteInput> List(const std::string& url, const std::string& target,
                                                std::string* error);

  // Fetches the bodies of the IMAP items among `items` in this order ahead
  // of their Load, keeping at most a few megabytes waiting. Replaces any
  // order given before. The items are copied.
  void Prefetch(const std::vector<const ImportItem*>& items);

  // The bytes the server holds for `item` (an IMAP item path). Waits for the
  // fetching thread; an item it has not planned is fetched on demand. False
  // with `error` when the mail cannot be fetched (gone from the server, its
  // folder renumbered, the server unreachable for good).
  bool Load(const ImportItem& item, std::string* bytes, std::string* error);

  bool insecure() const { return !login_.tls.verify; }
  // True when some session ran without TLS (--imap-plain against a server
  // without STARTTLS).
  bool unencrypted() const;
  ImapFailure failure() const { return failure_; }
  uint64_t reconnects() const;

 private:
  struct Session;
  struct Want {
    ImportItem item;  // a copy: the caller's list may be gone before the fetch
    ImapItemLocation location;
    bool taken = false;  // fetched on demand instead: the prefetch passes it by
  };
  void Run();
  // Fetches the items of `batch` (one account and folder); records bodies
  // or errors for every one of them.
  void FetchBatch(const std::vector<Want>& batch);
  bool EnsureFolder(Session* session, const Want& first, std::string* error, bool* fatal);
  void Finish(const std::string& path, std::string* bytes, const std::string& error);
  Session* SessionFor(const std::string& account);

  class Listing;
  // Runs `once` again after a lost connection (with `undo` between), a few
  // times, waiting longer each time.
  bool Retrying(const std::function<bool()>& once, const std::function<void()>& undo,
                std::string* error);
  // The account's session, connected; null with `error` when it cannot be.
  Session* OpenSession(const ImapUrl& url, std::string* error);
  // Records why the session failed `what`; false.
  bool Failed(const Session& s, const ImapUrl& url, const std::string& what, std::string* error);
  bool ListFoldersOnce(Listing* listing, std::string* error);
  bool ListFolderOnce(const Listing& listing, std::vector<ImportItem>* items, std::string* error);

  ImapLogin login_;
  ImapFolderFilter filter_;
  ImapFailure failure_ = ImapFailure::kNone;
  // By account; entries are added while listing and never removed. Each
  // session is used under its own lock.
  std::mutex sessions_mu_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;  // guarded by sessions_mu_
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Want> order_;                    // guarded by mu_
  std::map<std::string, size_t> position_;     // path -> index in order_; guarded by mu_
  size_t cursor_ = 0;                          // next of order_ to fetch; guarded by mu_
  std::deque<Want> requests_;                  // on-demand, served first; guarded by mu_
  std::set<std::string> requested_;            // paths in requests_; guarded by mu_
  std::set<std::string> in_flight_;            // paths of the batch being fetched; guarded by mu_
  std::map<std::string, std::string> ready_;   // path -> bytes; guarded by mu_
  std::map<std::string, std::string> errors_;  // path -> why it cannot be had; guarded by mu_
  uint64_t ready_bytes_ = 0;                   // guarded by mu_
  bool stop_ = false;                          // guarded by mu_
  uint64_t reconnects_ = 0;                    // guarded by mu_
  bool unencrypted_ = false;                   // guarded by mu_
  std::thread thread_;
};

}  // namespace Nauvik::Import
