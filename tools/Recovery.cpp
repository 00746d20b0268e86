#include "tools/Recovery.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "tools/MailSource.h"
#include "tools/MailText.h"

namespace Nauvik::Import {
namespace {

class DatabaseProbe final : public StoreProbe {
 public:
  DatabaseProbe(const std::string& connection, bool views, int64_t user_id)
      : connection_(connection), views_(views), user_id_(user_id) {
    Reachable();
  }

  bool Stored(const std::string& message_id, uint64_t size) override {
    if (!db_ && !Reachable()) return false;
    std::string error;
    auto stored = StoreQueries(db_.get(), views_).MessageStored(message_id, size, &error);
    if (!stored) db_.reset();  // connect afresh next time
    return stored.value_or(false);
  }

  std::optional<uint64_t> LinksSince(const std::string& folder_key, int64_t after_uid,
                                     uint64_t size, uint64_t hash) override {
    auto links = FolderLinks(folder_key);
    if (!links) return std::nullopt;
    std::vector<StoreQueries::Link> recent;
    for (const auto& link : *links) {
      if (link.uid > after_uid) recent.push_back(link);
    }
    return LinkedContent(recent, {size})[hash];
  }

  std::optional<std::map<std::string, int64_t>> LastUids() override {
    if (!db_ && !Reachable()) return std::nullopt;
    std::string error;
    auto uids = StoreQueries(db_.get(), views_).LastUids(user_id_, &error);
    if (!uids) db_.reset();
    return uids;
  }

  std::optional<std::set<std::string>> MessagesIn(const std::string& folder_key) override {
    auto links = FolderLinks(folder_key);
    if (!links) return std::nullopt;
    std::set<std::string> messages;
    // The stored bytes' own header: the store keeps the Message-ID cut short.
    std::string head(64 << 10, '\0');
    for (const auto& link : *links) {
      std::ifstream in(link.blob_path, std::ios::binary);
      in.read(head.data(), static_cast<std::streamsize>(head.size()));
      auto id = HeaderField(std::string_view(head.data(), static_cast<size_t>(in.gcount())),
                            "Message-ID");
      if (id) messages.insert(*id + '\n' + std::to_string(link.size));
    }
    return messages;
  }

  std::optional<int64_t> LastUid(const std::string& folder_key) override {
    auto id = FolderId(folder_key);
    if (!id || *id == 0) return id;
    std::string error;
    auto uid = StoreQueries(db_.get(), views_).LastUid(*id, &error);
    if (!uid) db_.reset();
    return uid;
  }

  std::optional<int64_t> NewLinkUid(const std::string& folder_key, int64_t* after, uint64_t size,
                                    uint64_t hash) override {
    auto id = FolderId(folder_key);
    if (!id || *id == 0) return std::nullopt;
    std::string error;
    auto links = StoreQueries(db_.get(), views_).Links(*id, &error, *after);
    if (!links) {
      db_.reset();
      return std::nullopt;
    }
    std::vector<StoreQueries::Link> sized;
    for (const auto& link : *links) {
      // The next call draws its UID after every one visible now.
      *after = std::max(*after, link.uid);
      if (link.size == size) sized.push_back(link);
    }
    if (sized.size() <= 1) {
      return sized.empty() ? std::nullopt : std::optional<int64_t>(sized[0].uid);
    }
    // Another writer added mail of this size too: the bytes tell. Among
    // identical ones the last is taken, as this call's link is the last of
    // this run's in the folder.
    for (auto link = sized.rbegin(); link != sized.rend(); ++link) {
      if (LinkedContent({*link}, {size}).contains(hash)) return link->uid;
    }
    return sized.back().uid;  // linked to a stored copy whose bytes differ
  }

  bool Reachable() override {
    auto db = std::make_unique<StoreDatabase>();
    std::string error;
    if (!db->Connect(connection_, &error)) return false;
    LimitStatements(db.get());
    db_ = std::move(db);
    return true;
  }

 private:
  // The id of the user's folder (0: there is none); nullopt when the store
  // cannot be read. Folders found are kept for the run.
  std::optional<int64_t> FolderId(const std::string& folder_key) {
    if (!db_ && !Reachable()) return std::nullopt;
    if (auto id = folder_ids_.find(folder_key); id != folder_ids_.end()) return id->second;
    std::string error;
    auto folders = StoreQueries(db_.get(), views_).Folders(user_id_, &error);
    if (!folders) {
      db_.reset();
      return std::nullopt;
    }
    folder_ids_ = std::move(*folders);
    auto id = folder_ids_.find(folder_key);
    return id == folder_ids_.end() ? 0 : id->second;
  }

  // The links of the user's folder (none when there is no such folder);
  // nullopt when the store cannot be read.
  std::optional<std::vector<StoreQueries::Link>> FolderLinks(const std::string& folder_key) {
    if (!db_ && !Reachable()) return std::nullopt;
    StoreQueries queries(db_.get(), views_);
    std::string error;
    auto folders = queries.Folders(user_id_, &error);
    if (!folders) {
      db_.reset();
      return std::nullopt;
    }
    auto folder = folders->find(folder_key);
    if (folder == folders->end()) return std::vector<StoreQueries::Link>{};
    auto links = queries.Links(folder->second, &error);
    if (!links) db_.reset();
    return links;
  }

  const std::string connection_;
  const bool views_;
  const int64_t user_id_;
  std::unique_ptr<StoreDatabase> db_;  // null after a failure: connect again before the next use
  std::map<std::string, int64_t> folder_ids_;  // by FolderKey, read again for a folder not in it
};

}  // namespace

void LimitStatements(StoreDatabase* db) {
  std::string error;
  db->Execute("SET statement_timeout = '300s'; SET lock_timeout = '10s'", &error);
}

std::map<uint64_t, uint64_t> LinkedContent(const std::vector<StoreQueries::Link>& links,
                                           const std::set<uint64_t>& sizes) {
  std::map<uint64_t, uint64_t> hashes;
  for (const auto& link : links) {
    if (!sizes.count(link.size)) continue;
    std::ifstream in(link.blob_path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() == link.size) hashes[ContentHash(bytes)]++;
  }
  return hashes;
}

std::unique_ptr<StoreProbe> NewStoreProbe(const std::string& connection, bool views,
                                          int64_t user_id) {
  return std::make_unique<DatabaseProbe>(connection, views, user_id);
}

bool ResolveInDoubt(StoreQueries* store, int64_t user_id, bool keep_line_ends, ImapSource* imap,
                    const ItemWalk& walk, Journal* journal, uint64_t* found, std::string* error) {
  *found = 0;
  // Few items are in doubt (those of the calls a stopped run was making):
  // they are kept; the run's other items are only looked at, in a second
  // walk, for the folders that hold doubtful ones.
  std::map<std::string, std::vector<ImportItem>> doubtful;  // folder key -> items
  if (!walk(
          [&](const ImportItem& item) {
            auto e = journal->Find(item);
            if (e && Journal::Unsettled(*e)) doubtful[FolderKey(item.folder)].push_back(item);
          },
          error)) {
    return false;
  }
  if (doubtful.empty()) return true;
  auto folders = store->Folders(user_id, error);
  if (!folders) return false;
  // Links that completed items of the journal account for, by folder and bytes.
  std::map<std::string, std::map<uint64_t, uint64_t>> accounted;
  if (!walk(
          [&](const ImportItem& item) {
            const std::string key = FolderKey(item.folder);
            if (!doubtful.contains(key)) return;
            auto e = journal->Find(item);
            if (e && e->state == "done" && e->code == 0) accounted[key][e->hash]++;
          },
          error)) {
    return false;
  }
  for (const auto& [key, items] : doubtful) {
    auto folder = folders->find(key);
    if (folder == folders->end()) continue;  // never created: nothing got in
    auto links = store->Links(folder->second, error);
    if (!links) return false;
    // The bytes each doubtful item would give the library now.
    struct Doubt {
      const ImportItem* item;
      uint64_t size;
      uint64_t hash;
    };
    std::vector<Doubt> doubts;
    std::set<uint64_t> sizes;
    for (const ImportItem& item : items) {
      MailBytes mail;
      std::string load_error;
      if (!LoadMail(item, keep_line_ends, imap, &mail, &load_error)) continue;
      doubts.push_back({&item, mail.bytes.size(), mail.hash});
      sizes.insert(mail.bytes.size());
    }
    std::map<uint64_t, uint64_t> in_store = LinkedContent(*links, sizes);
    std::map<uint64_t, uint64_t>& counted = accounted[key];
    for (const Doubt& d : doubts) {
      if (in_store[d.hash] > counted[d.hash]) {
        journal->Done(*d.item, 0, d.size, d.hash);
        counted[d.hash]++;
        ++*found;
      }
    }
  }
  return true;
}

}  // namespace Nauvik::Import
