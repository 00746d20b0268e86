#include "tools/Verify.h"

#include <fstream>
#include <map>
#include <vector>

#include "tools/MailSource.h"

namespace Nauvik::Import {
namespace {

// Compares piece by piece, so that a large mail is not held twice.
bool FileEquals(const std::string& path, std::string_view bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> buffer(size_t{1} << 20);
  size_t pos = 0;
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    const std::string_view piece(buffer.data(), static_cast<size_t>(in.gcount()));
    if (bytes.substr(pos, piece.size()) != piece) return false;
    pos += piece.size();
  }
  return pos == bytes.size();
}

std::string Describe(const ImportItem& item) {
  return item.mbox ? item.path + " (mbox offset " + std::to_string(item.offset) + ")" : item.path;
}

}  // namespace

std::vector<size_t> VerifyOrder(const std::vector<ImportItem>& items,
                                const std::vector<size_t>& which) {
  std::map<std::string, std::vector<size_t>> by_folder;
  for (size_t i : which) by_folder[FolderKey(items[i].folder)].push_back(i);
  std::vector<size_t> order;
  for (const auto& [key, indices] : by_folder) order.insert(order.end(), indices.begin(), indices.end());
  return order;
}

bool VerifyImport(StoreQueries* store, int64_t user_id, bool keep_line_ends, ImapSource* imap,
                  const std::vector<ImportItem>& items, const std::vector<size_t>& which,
                  VerifyResult* result, std::string* error) {
  auto folders = store->Folders(user_id, error);
  if (!folders) return false;
  std::map<std::string, std::vector<size_t>> by_folder;
  for (size_t i : which) by_folder[FolderKey(items[i].folder)].push_back(i);
  for (const auto& [key, indices] : by_folder) {
    auto folder = folders->find(key);
    if (folder == folders->end()) {
      for (size_t i : indices) {
        result->checked++;
        result->problems.push_back(Describe(items[i]) + ": folder " + items[i].folder +
                                   " is not in the store");
      }
      continue;
    }
    auto links = store->Links(folder->second, error);
    if (!links) return false;
    std::vector<bool>& used = result->used[key];
    for (size_t i : indices) {
      result->checked++;
      MailBytes mail;
      std::string load_error;
      if (!LoadMail(items[i], keep_line_ends, imap, &mail, &load_error)) {
        result->problems.push_back(Describe(items[i]) + ": " + load_error);
        continue;
      }
      bool found = false;
      int64_t other_uid = -1;
      for (size_t k = 0; k < links->size() && !found; ++k) {
        const auto& link = (*links)[k];
        const auto uid = static_cast<size_t>(link.uid);
        if ((uid < used.size() && used[uid]) || link.size != mail.bytes.size()) continue;
        if (FileEquals(link.blob_path, mail.bytes)) {
          if (uid >= used.size()) used.resize(uid + 1);
          used[uid] = true;
          found = true;
        } else if (other_uid < 0) {
          other_uid = link.uid;
        }
      }
      if (found) {
        result->matched++;
      } else if (other_uid >= 0) {
        result->problems.push_back(
            Describe(items[i]) + ": folder " + items[i].folder + ", UID " +
            std::to_string(other_uid) +
            " has the same size but other bytes (an earlier copy with the same Message-ID?)");
      } else {
        result->problems.push_back(Describe(items[i]) + ": no link in folder " + items[i].folder +
                                   " holds these " + std::to_string(mail.bytes.size()) + " bytes");
      }
    }
  }
  return true;
}

}  // namespace Nauvik::Import
