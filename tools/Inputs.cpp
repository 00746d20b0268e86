#include "tools/Inputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "tools/MailText.h"

namespace fs = std::filesystem;

namespace Nauvik::Import {
namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Folder names compare without regard to ASCII case, as the store does.
std::string FolderKeyOf(const std::string& folder) { return LowerAscii(folder); }

std::string JoinFolder(const std::string& parent, const std::string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + "." + child;
}

// The part of a Maildir file name that stays: the info after ":" (":2,"
// and the flags) changes as the mail is read.
std::string MaildirUnique(const std::string& name) { return name.substr(0, name.find(':')); }

std::string Hex(uint64_t v) {
  char buf[20];
  snprintf(buf, sizeof buf, "%016" PRIx64, v);
  return buf;
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

// The entries of `dir` sorted by name; false with `ec` when it cannot be read.
bool SortedEntries(const fs::path& dir, std::vector<fs::directory_entry>* entries,
                   std::error_code* ec) {
  entries->clear();
  fs::directory_iterator it(dir, *ec);
  if (*ec) return false;
  for (; it != fs::directory_iterator(); it.increment(*ec)) {
    if (*ec) return false;
    entries->push_back(*it);
  }
  std::sort(entries->begin(), entries->end(), [](const auto& a, const auto& b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  return true;
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

// Lists `dir` into `entries`. A directory that cannot be read becomes a
// skipped item, so that it shows in the summary instead of ending the run.
bool ListDirectory(const fs::path& dir, const std::string& folder, std::vector<ImportItem>* items,
                   std::vector<fs::directory_entry>* entries) {
  std::error_code ec;
  if (SortedEntries(dir, entries, &ec)) return true;
  items->push_back(SkippedItem(dir, folder, "unreadable directory (" + ec.message() + ")"));
  return false;
}

// Why `path`, which is no directory, cannot be imported as a file; "" when
// it is a regular file that can be read.
std::string UnusableFileReason(const fs::path& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    struct stat link;
    if (err == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      return "dangling symbolic link";
    }
    return std::string("unreadable (") + strerror(err) + ")";
  }
  if (S_ISFIFO(st.st_mode)) return "FIFO (not a regular file)";
  if (S_ISSOCK(st.st_mode)) return "socket (not a regular file)";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "device (not a regular file)";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (access(path.c_str(), R_OK) != 0) return std::string("unreadable (") + strerror(errno) + ")";
  return "";
}

// Adds `path` as a skipped item when it cannot be imported; true then.
bool SkipUnusable(const fs::path& path, const std::string& folder, std::vector<ImportItem>* items) {
  std::string reason = UnusableFileReason(path);
  if (reason.empty()) return false;
  items->push_back(SkippedItem(path, folder, std::move(reason)));
  return true;
}

bool IsMaildir(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir / "cur", ec) || fs::is_directory(dir / "new", ec);
}

// A file that is one mail whatever its first line says.
bool IsSingleMailName(const fs::path& path) {
  return LowerAscii(path.extension().string()) == ".eml";
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
// name, whose leading delivery time then gives the delivery order. Each file
// is one mail, also when it starts with an mbox envelope line.
void CollectMaildirFolder(const fs::path& dir, const std::string& folder,
                          std::vector<ImportItem>* items) {
  std::vector<std::pair<fs::directory_entry, bool>> mails;  // entry, in cur/
  std::vector<fs::directory_entry> entries;
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    if (!fs::is_directory(dir / sub, ec) || !ListDirectory(dir / sub, folder, items, &entries)) {
      continue;
    }
    for (auto& entry : entries) mails.emplace_back(entry, std::string(sub) == "cur");
  }
  std::stable_sort(mails.begin(), mails.end(), [](const auto& a, const auto& b) {
    return a.first.path().filename().string() < b.first.path().filename().string();
  });
  for (auto& [entry, in_cur] : mails) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (entry.is_directory(ec)) {
      items->push_back(SkippedItem(entry.path(), folder, "directory in cur/ or new/"));
      continue;
    }
    if (SkipUnusable(entry.path(), folder, items)) continue;
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
    item.source.kind = ItemSource::Kind::kMaildir;
    item.source.directory_length = static_cast<uint32_t>(dir.string().size());
    item.source.unique_begin = static_cast<uint32_t>(item.path.size() - name.size());
    item.source.unique_length = static_cast<uint32_t>(MaildirUnique(name).size());
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
  if (fs::is_directory(dir / "tmp", ec) && ListDirectory(dir / "tmp", folder, items, &entries)) {
    for (auto& entry : entries) items->push_back(SkippedItem(entry.path(), folder, "Maildir tmp/"));
  }
}

void CollectMaildir(const fs::path& root, const std::string& folder,
                    std::vector<ImportItem>* items) {
  CollectMaildirFolder(root, folder, items);
  std::vector<fs::directory_entry> entries;
  if (!ListDirectory(root, folder, items, &entries)) return;
  for (auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (entry.is_directory(ec)) {
      if (name == "cur" || name == "new" || name == "tmp") continue;
      // Maildir++: ".A.B" is the folder "A.B"; names are modified UTF-7.
      if (name.size() > 1 && name[0] == '.' && IsMaildir(entry.path())) {
        std::string sub = name.substr(1);
        auto decoded = DecodeModifiedUtf7(sub);
        CollectMaildirFolder(entry.path(), JoinFolder(folder, decoded ? *decoded : sub), items);
      } else {
        items->push_back(SkippedItem(entry.path(), folder, "directory that is no Maildir folder"));
      }
      continue;
    }
    if (!SkipUnusable(entry.path(), folder, items)) {
      items->push_back(SkippedItem(entry.path(), folder, "not mail"));
    }
  }
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

bool HasMboxName(const fs::path& path) {
  const std::string ext = LowerAscii(path.extension().string());
  return ext == ".mbox" || ext == ".mbx";
}

// A file that starts with an envelope line: an mbox whose messages go to
// `mbox_folder`, or, when it holds one message and its name does not say
// mbox, one mail of `folder` (a tree of single mails that each keep their
// delivery's envelope line must not become a folder per mail). The
// envelope's date is the mail's internal date either way.
bool CollectMbox(const fs::path& path, uint64_t size, const std::string& mbox_folder,
                 const std::string& folder, std::vector<ImportItem>* items, std::string* error) {
  std::vector<ImportItem> messages;
  if (!ScanMbox(path.string(), mbox_folder, &messages, error)) return false;
  if (messages.size() == 1 && !HasMboxName(path)) {
    AddMailFile(path, size, folder, items);
    if (!messages[0].date.empty()) items->back().date = messages[0].date;
    return true;
  }
  items->insert(items->end(), std::make_move_iterator(messages.begin()),
                std::make_move_iterator(messages.end()));
  return true;
}

bool CollectTree(const fs::path& dir, const std::string& folder, std::vector<ImportItem>* items,
                 std::string* error) {
  if (IsMaildir(dir)) {
    CollectMaildir(dir, folder, items);
    return true;
  }
  std::vector<fs::directory_entry> entries;
  if (!ListDirectory(dir, folder, items, &entries)) return true;
  for (auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    if (entry.is_directory(ec)) {
      // A link to a directory could lead back up the tree: only real directories.
      if (entry.is_symlink(ec)) {
        items->push_back(SkippedItem(entry.path(), folder, "link to a directory (not followed)"));
      } else if (name.starts_with(".")) {
        items->push_back(SkippedItem(entry.path(), folder, "hidden directory"));
      } else if (!CollectTree(entry.path(), JoinFolder(folder, name), items, error)) {
        return false;
      }
      continue;
    }
    if (SkipUnusable(entry.path(), folder, items)) continue;
    const uint64_t size = entry.file_size(ec);
    if (name.starts_with(".") || IsServerFile(name)) {
      items->push_back(SkippedItem(entry.path(), folder, "not mail"));
    } else if (size == 0) {
      items->push_back(SkippedItem(entry.path(), folder, "empty file"));
    } else if (!IsSingleMailName(entry.path()) && LooksLikeMbox(entry.path().string())) {
      // An mbox inside a tree is a folder of its own, named after the file.
      if (!CollectMbox(entry.path(), size, JoinFolder(folder, MboxFolderName(entry.path())), folder,
                       items, error)) {
        return false;
      }
    } else {
      AddMailFile(entry.path(), size, folder, items);
    }
  }
  return true;
}

// A header field line of a MIME body part: a field name, then a colon.
bool IsHeaderFieldLine(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && line[n] > ' ' && line[n] < 127 && line[n] != ':') ++n;
  return n > 0 && n < line.size() && line[n] == ':';
}

}  // namespace

bool LooksLikeMbox(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[1024];
  in.read(head, sizeof head);
  std::string_view text(head, static_cast<size_t>(in.gcount()));
  const size_t lf = text.find('\n');
  return lf != std::string_view::npos && IsEnvelopeLine(text.substr(0, lf));
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
  // The message's own bytes are hashed as they are read; empty lines wait
  // until a line with text follows, so that the empty line an mbox writer
  // puts before the next message does not count.
  std::string blank_lines;
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> seen;  // size, hash -> messages so far
  auto close = [&](int64_t end) {
    if (!open) return;
    current.length = static_cast<uint64_t>(end - current.offset);
    current.source.occurrence = seen[{current.source.size, current.source.hash}]++;
    items->push_back(current);
    open = false;
  };
  auto hash_line = [&](const std::string& raw, bool has_end) {
    if (raw.empty() || raw == "\r") {
      blank_lines += raw + (has_end ? "\n" : "");
      return;
    }
    std::string text = std::move(blank_lines) + raw + (has_end ? "\n" : "");
    blank_lines.clear();
    current.source.size += text.size();
    current.source.hash = ContentHash(text, current.source.hash);
  };
  // A message starts at an envelope line that begins the file or follows an
  // empty line. An empty line that ends the header block of a MIME body part
  // ("--boundary", then header fields) does not count: what follows it is the
  // part's content, such as a patch that begins "From <commit> Mon Sep 17 ...".
  bool after_empty = true;
  bool after_part_headers = false;
  int part_header_lines = -1;  // >= 0: in the header block of a body part
  while (std::getline(in, line)) {
    const int64_t line_start = pos;
    const bool has_end = !in.eof();
    pos += static_cast<int64_t>(line.size()) + (has_end ? 1 : 0);
    const std::string raw = line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line_start == 0 || (after_empty && !after_part_headers && IsEnvelopeLine(line))) {
      close(line_start);
      current = ImportItem();
      current.path = path;
      current.offset = line_start;
      current.folder = folder;
      current.mbox = true;
      current.date = DateFromMboxFromLine(line);
      current.source.kind = ItemSource::Kind::kMbox;
      current.source.hash = kContentHashStart;
      blank_lines.clear();
      hash_line(raw, has_end);
      open = true;
      after_empty = false;
      part_header_lines = -1;
      continue;
    }
    hash_line(raw, has_end);
    after_part_headers = line.empty() && part_header_lines > 0;
    after_empty = line.empty();
    if (line.starts_with("--") && line.size() > 2) {
      part_header_lines = 0;
    } else if (part_header_lines >= 0 &&
               (IsHeaderFieldLine(line) ||
                (part_header_lines > 0 && (line[0] == ' ' || line[0] == '\t')))) {
      ++part_header_lines;
    } else {
      part_header_lines = -1;
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
  struct stat st;
  if (lstat(full.c_str(), &st) != 0 && errno == ENOENT) {
    *error = path + ": no such file or directory";
    return false;
  }
  if (fs::is_directory(full, ec)) return CollectTree(full, folder, items, error);
  if (SkipUnusable(full, folder, items)) return true;
  const uint64_t size = fs::file_size(full, ec);
  if (size == 0) {
    items->push_back(SkippedItem(full, folder, "empty file"));
    return true;
  }
  if (!IsSingleMailName(full) && LooksLikeMbox(full.string())) {
    return CollectMbox(full, size, folder, folder, items, error);
  }
  AddMailFile(full, size, folder, items);
  return true;
}

ItemSource ItemSource::Imap(std::string account, std::string folder, uint32_t uidvalidity,
                            uint32_t uid) {
  ItemSource source;
  source.kind = Kind::kImap;
  source.imap = std::make_shared<const ImapMessage>(
      ImapMessage{std::move(account), std::move(folder), uidvalidity, uid});
  return source;
}

std::string JournalKey(const ImportItem& item) {
  const ItemSource& s = item.source;
  switch (s.kind) {
    case ItemSource::Kind::kMaildir:
      return "maildir\t" + item.path.substr(0, s.directory_length) + '\t' +
             item.path.substr(s.unique_begin, s.unique_length);
    case ItemSource::Kind::kMbox:
      return "mbox\t" + item.path + '\t' + std::to_string(s.size) + '\t' + Hex(s.hash) + '\t' +
             std::to_string(s.occurrence);
    case ItemSource::Kind::kImap:
      return "imap\t" + s.imap->account + '\t' + s.imap->folder + '\t' +
             std::to_string(s.imap->uidvalidity) + '\t' + std::to_string(s.imap->uid);
    case ItemSource::Kind::kFile:
      break;
  }
  return "file\t" + item.path;
}

std::string LegacyJournalKey(const std::string& path, int64_t offset) {
  return path + '\t' + std::to_string(offset);
}

std::string LegacyMaildirKey(const std::string& path) {
  const fs::path file(path);
  const std::string sub = file.parent_path().filename().string();
  if (sub != "cur" && sub != "new") return "";
  return "maildir\t" + file.parent_path().parent_path().string() + '\t' +
         MaildirUnique(file.filename().string());
}

std::string ReportName(const ImportItem& item) { return item.path; }

std::string StoreFolderKey(const std::string& folder) {
  constexpr int kLevelUnits = 100;
  std::string key;
  int units = 0;
  for (size_t i = 0; i < folder.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(folder[i]);
    if (c == '.') {
      units = 0;
      key.push_back('.');
      continue;
    }
    // A code point's lead byte: one UTF-16 unit, two above the BMP.
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    if (units <= kLevelUnits) key.push_back(static_cast<char>(std::tolower(c)));
  }
  return key;
}

std::string FlagLetters(const ImportItem& item) {
  std::string other = item.other_flags;
  std::sort(other.begin(), other.end());
  return std::string(item.seen ? "S" : "") + (item.draft ? "D" : "") + other;
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
