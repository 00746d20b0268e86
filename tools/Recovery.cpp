#include "tools/Recovery.h"

#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "tools/MailSource.h"
#include "tools/MailText.h"

namespace Nauvik::Import {

bool ResolveInDoubt(StoreQueries* store, int64_t user_id, bool keep_line_ends,
                    const std::vector<ImportItem>& items, Journal* journal, uint64_t* found,
                    std::string* error) {
  *found = 0;
  std::map<std::string, std::vector<size_t>> doubtful;  // folder key -> items
  for (size_t i = 0; i < items.size(); ++i) {
    auto e = journal->Find(items[i].Key());
    if (e && e->state == "begin") doubtful[FolderKey(items[i].folder)].push_back(i);
  }
  if (doubtful.empty()) return true;
  auto folders = store->Folders(user_id, error);
  if (!folders) return false;
  for (const auto& [key, indices] : doubtful) {
    auto folder = folders->find(key);
    if (folder == folders->end()) continue;  // never created: nothing got in
    auto links = store->Links(folder->second, error);
    if (!links) return false;
    // The bytes each doubtful item would give the library now.
    struct Doubt {
      size_t index;
      uint64_t size;
      uint64_t hash;
    };
    std::vector<Doubt> doubts;
    std::set<uint64_t> sizes;
    for (size_t i : indices) {
      MailBytes mail;
      std::string load_error;
      if (!LoadMail(items[i], keep_line_ends, &mail, &load_error)) continue;
      doubts.push_back({i, mail.bytes.size(), ContentHash(mail.bytes)});
      sizes.insert(mail.bytes.size());
    }
    // Links holding each content, by hash of the blob's bytes.
    std::map<uint64_t, uint64_t> in_store;
    for (const auto& link : *links) {
      if (!sizes.count(link.size)) continue;
      std::ifstream in(link.blob_path, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (bytes.size() == link.size) in_store[ContentHash(bytes)]++;
    }
    // Links that completed items of the journal account for.
    std::map<uint64_t, uint64_t> accounted;
    for (const auto& item : items) {
      if (FolderKey(item.folder) != key) continue;
      auto e = journal->Find(item.Key());
      if (e && e->state == "done" && e->code == 0) accounted[e->hash]++;
    }
    for (const Doubt& d : doubts) {
      if (in_store[d.hash] > accounted[d.hash]) {
        journal->Done(items[d.index], 0, d.size, d.hash);
        accounted[d.hash]++;
        ++*found;
      }
    }
  }
  return true;
}

}  // namespace Nauvik::Import
