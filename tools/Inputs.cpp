#include "tools/Inputs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "tools/MailText.h"

namespace fs = std::filesystem;

namespace Nauvik::Import {
namespace {

// Folder names compare without regard to ASCII case, as the store does.
std::string FolderKeyOf(const std::string& folder) {
  std::string key = folder;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::string JoinFolder(const std::string& parent, const std::string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + "." + child;
}

std::string ModificationDate(const fs::path& path) {
  std::error_code ec;
  auto when = fs::last_write_time(path, ec);
  if (ec) return "";
  auto sys = std::chrono::file_clock::to_sys(when);
  return Rfc822DateFromEpoch(
      std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count());
}

// Names that mail servers keep beside the mail: indexes, quotas, markers.
bool IsServerFile(const std::string& name) {
  return name.starts_with("dovecot") || name == "maildirsize" || name == "maildirfolder" ||
         name == "subscriptions" || name.starts_with("courierimap") || name == ".DS_Store";
}

std::vector<fs::directory_entry> SortedEntries(const fs::path& dir, std::string* error) {
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    *error = dir.string() + ": " + ec.message();
    return entries;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(*it);
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  return entries;
}

ImportItem SkippedItem(const fs::path& path, const std::string& folder, std::string reason) {
  ImportItem item;
  item.path = path.string();
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  item.length = ec ? 0 : size;
  item.folder = folder;
  item.skip_reason = std::move(reason);
  return item;
}

bool IsMaildir(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir / "cur", ec) || fs::is_directory(dir / "new", ec);
}

void AddMailFile(const fs::path& path, uint64_t size, const std::string& folder,
                 std::vector<ImportItem>* items) {
  ImportItem item;
  item.path = path.string();
  item.length = size;
  item.folder = folder;
  item.date = ModificationDate(path);
  items->push_back(std::move(item));
}

// The messages of one Maildir folder: cur/ and new/ merged and sorted by file
// name, whose leading delivery time then gives the delivery order.
bool CollectMaildirFolder(const fs::path& dir, const std::string& folder,
                          std::vector<ImportItem>* items, std::string* error) {
  std::vector<std::pair<fs::directory_entry, bool>> mails;  // entry, in cur/
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    if (!fs::is_directory(dir / sub, ec)) continue;
    for (auto& entry : SortedEntries(dir / sub, error)) {
      mails.emplace_back(entry, std::string(sub) == "cur");
    }
    if (!error->empty()) return false;
  }
  std::stable_sort(mails.begin(), mails.end(), [](const auto& a, const auto& b) {
    return a.first.path().filename().string() < b.first.path().filename().string();
  });
  for (auto& [entry, in_cur] : mails) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (!entry.is_regular_file(ec)) continue;
    const uint64_t size = entry.file_size(ec);
    if (name.starts_with(".") || IsServerFile(name)) {
      items->push_back(SkippedItem(entry.path(), folder, "not mail"));
      continue;
    }
    if (size == 0) {
      items->push_back(SkippedItem(entry.path(), folder, "empty file"));
      continue;
    }
    ImportItem item;
    item.path = entry.path().string();
    item.length = size;
    item.folder = folder;
    if (in_cur) {
      MaildirFlags flags = ParseMaildirFlags(name);
      item.seen = flags.seen;
      item.draft = flags.draft;
      item.other_flags = flags.other;
    }
    auto delivered = MaildirDeliveryTime(name);
    item.date = delivered ? Rfc822DateFromEpoch(*delivered) : ModificationDate(entry.path());
    items->push_back(std::move(item));
  }
  // Deliveries in progress are not mail yet.
  std::error_code ec;
  if (fs::is_directory(dir / "tmp", ec)) {
    for (auto& entry : SortedEntries(dir / "tmp", error)) {
      if (entry.is_regular_file(ec)) {
        items->push_back(SkippedItem(entry.path(), folder, "Maildir tmp/"));
      }
    }
  }
  return error->empty();
}

bool CollectMaildir(const fs::path& root, const std::string& folder, std::vector<ImportItem>* items,
                    std::string* error) {
  if (!CollectMaildirFolder(root, folder, items, error)) return false;
  for (auto& entry : SortedEntries(root, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (entry.is_directory(ec)) {
      // Maildir++: ".A.B" is the folder "A.B"; names are modified UTF-7.
      if (name.size() > 1 && name[0] == '.' && name != ".." && IsMaildir(entry.path())) {
        std::string sub = name.substr(1);
        auto decoded = DecodeModifiedUtf7(sub);
        if (!CollectMaildirFolder(entry.path(), JoinFolder(folder, decoded ? *decoded : sub), items,
                                  error)) {
          return false;
        }
      }
      continue;
    }
    if (entry.is_regular_file(ec)) {
      items->push_back(SkippedItem(entry.path(), folder, "not mail"));
    }
  }
  return error->empty();
}

std::string MboxFolderName(const fs::path& path) {
  std::string name = path.filename().string();
  for (const char* ext : {".mbox", ".mbx"}) {
    if (name.size() > std::string(ext).size() && name.ends_with(ext)) {
      name.resize(name.size() - std::string(ext).size());
    }
  }
  return name;
}

bool CollectTree(const fs::path& dir, const std::string& folder, std::vector<ImportItem>* items,
                 std::string* error) {
  if (IsMaildir(dir)) return CollectMaildir(dir, folder, items, error);
  for (auto& entry : SortedEntries(dir, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (entry.is_directory(ec)) {
      // A link to a directory could lead back up the tree: only real directories.
      if (entry.is_symlink(ec) || name.starts_with(".")) continue;
      if (!CollectTree(entry.path(), JoinFolder(folder, name), items, error)) return false;
      continue;
    }
    if (!entry.is_regular_file(ec)) continue;
    const uint64_t size = entry.file_size(ec);
    if (name.starts_with(".") || IsServerFile(name)) {
      items->push_back(SkippedItem(entry.path(), folder, "not mail"));
    } else if (size == 0) {
      items->push_back(SkippedItem(entry.path(), folder, "empty file"));
    } else if (LooksLikeMbox(entry.path().string())) {
      // An mbox inside a tree is a folder of its own, named after the file.
      if (!ScanMbox(entry.path().string(), JoinFolder(folder, MboxFolderName(entry.path())), items,
                    error)) {
        return false;
      }
    } else {
      AddMailFile(entry.path(), size, folder, items);
    }
  }
  return error->empty();
}

}  // namespace

bool LooksLikeMbox(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[5] = {};
  in.read(head, sizeof head);
  return in.gcount() == 5 && std::string_view(head, 5) == "From ";
}

bool ScanMbox(const std::string& path, const std::string& folder, std::vector<ImportItem>* items,
              std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  int64_t pos = 0;
  ImportItem current;
  bool open = false;
  auto close = [&](int64_t end) {
    if (!open) return;
    current.length = static_cast<uint64_t>(end - current.offset);
    items->push_back(current);
    open = false;
  };
  while (std::getline(in, line)) {
    const int64_t line_start = pos;
    pos += static_cast<int64_t>(line.size()) + (in.eof() ? 0 : 1);
    if (line.starts_with("From ")) {
      close(line_start);
      current = ImportItem();
      current.path = path;
      current.offset = line_start;
      current.folder = folder;
      current.mbox = true;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      current.date = DateFromMboxFromLine(line);
      open = true;
    }
  }
  close(pos);
  if (in.bad()) {
    *error = path + ": read error";
    return false;
  }
  return true;
}

bool CollectItems(const std::string& path, const std::string& folder,
                  std::vector<ImportItem>* items, std::string* error) {
  error->clear();
  std::error_code ec;
  fs::path full = fs::absolute(fs::path(path), ec).lexically_normal();
  if (full.has_filename() == false && full.has_parent_path()) full = full.parent_path();
  auto status = fs::status(full, ec);
  if (ec || !fs::exists(status)) {
    *error = path + ": no such file or directory";
    return false;
  }
  if (fs::is_directory(status)) return CollectTree(full, folder, items, error);
  if (!fs::is_regular_file(status)) {
    *error = path + ": not a file or directory";
    return false;
  }
  const uint64_t size = fs::file_size(full, ec);
  if (size == 0) {
    items->push_back(SkippedItem(full, folder, "empty file"));
    return true;
  }
  if (LooksLikeMbox(full.string())) return ScanMbox(full.string(), folder, items, error);
  AddMailFile(full, size, folder, items);
  return true;
}

std::vector<ImportItem> SelectShard(std::vector<ImportItem> items, int index, int count) {
  std::vector<ImportItem> firsts, rest;
  std::set<std::string> folders;
  size_t position = 0;
  for (auto& item : items) {
    if (item.skip_reason.empty() && folders.insert(FolderKeyOf(item.folder)).second) {
      if (index == 1) firsts.push_back(std::move(item));
      continue;
    }
    if (static_cast<int>(position++ % static_cast<size_t>(count)) == index - 1) {
      rest.push_back(std::move(item));
    }
  }
  firsts.insert(firsts.end(), std::make_move_iterator(rest.begin()),
                std::make_move_iterator(rest.end()));
  return firsts;
}

}  // namespace Nauvik::Import
