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
#include <limits>
#include <map>
#include <optional>
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

// One file of a Maildir folder's cur/ or new/ (`dir` holds these). Each
// file is one mail, also when it starts with an mbox envelope line.
void AddMaildirFile(const fs::path& dir, const fs::directory_entry& entry, bool in_cur,
                    const std::string& folder, std::vector<ImportItem>* items) {
  const std::string name = entry.path().filename().string();
  std::error_code ec;
  if (entry.is_directory(ec)) {
    items->push_back(SkippedItem(entry.path(), folder, "directory in cur/ or new/"));
    return;
  }
  if (SkipUnusable(entry.path(), folder, items)) return;
  const uint64_t size = entry.file_size(ec);
  if (name.starts_with(".") || IsServerFile(name)) {
    items->push_back(SkippedItem(entry.path(), folder, "not mail"));
    return;
  }
  if (size == 0) {
    items->push_back(SkippedItem(entry.path(), folder, "empty file"));
    return;
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

bool MboxScanner::Open(const std::string& path, const std::string& folder, std::string* error) {
  in_.open(path, std::ios::binary);
  if (!in_) {
    *error = path + ": cannot be read";
    return false;
  }
  path_ = path;
  folder_ = folder;
  return true;
}

bool MboxScanner::Close(int64_t end, ImportItem* item) {
  if (!open_) return false;
  current_.length = static_cast<uint64_t>(end - current_.offset);
  current_.source.occurrence = seen_[{current_.source.size, current_.source.hash}]++;
  *item = std::move(current_);
  open_ = false;
  return true;
}

void MboxScanner::HashLine(const std::string& raw, bool has_end) {
  if (raw.empty() || raw == "\r") {
    blank_lines_ += raw + (has_end ? "\n" : "");
    return;
  }
  std::string text = std::move(blank_lines_) + raw + (has_end ? "\n" : "");
  blank_lines_.clear();
  current_.source.size += text.size();
  current_.source.hash = ContentHash(text, current_.source.hash);
}

bool MboxScanner::Next(ImportItem* item, std::string* error) {
  std::string line;
  // A message starts at an envelope line that begins the file or follows an
  // empty line. An empty line that ends the header block of a MIME body part
  // ("--boundary", then header fields) does not count: what follows it is the
  // part's content, such as a patch that begins "From <commit> Mon Sep 17 ...".
  while (std::getline(in_, line)) {
    const int64_t line_start = pos_;
    const bool has_end = !in_.eof();
    pos_ += static_cast<int64_t>(line.size()) + (has_end ? 1 : 0);
    const std::string raw = line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line_start == 0 || (after_empty_ && !after_part_headers_ && IsEnvelopeLine(line))) {
      const bool closed = Close(line_start, item);
      current_ = ImportItem();
      current_.path = path_;
      current_.offset = line_start;
      current_.folder = folder_;
      current_.mbox = true;
      current_.date = DateFromMboxFromLine(line);
      current_.source.kind = ItemSource::Kind::kMbox;
      current_.source.hash = kContentHashStart;
      blank_lines_.clear();
      HashLine(raw, has_end);
      open_ = true;
      after_empty_ = false;
      part_header_lines_ = -1;
      if (closed) return true;
      continue;
    }
    HashLine(raw, has_end);
    after_part_headers_ = line.empty() && part_header_lines_ > 0;
    after_empty_ = line.empty();
    if (line.starts_with("--") && line.size() > 2) {
      part_header_lines_ = 0;
    } else if (part_header_lines_ >= 0 &&
               (IsHeaderFieldLine(line) ||
                (part_header_lines_ > 0 && (line[0] == ' ' || line[0] == '\t')))) {
      ++part_header_lines_;
    } else {
      part_header_lines_ = -1;
    }
  }
  if (in_.bad()) {
    *error = path_ + ": read error";
    open_ = false;
    return false;
  }
  return Close(pos_, item);
}

bool ScanMbox(const std::string& path, const std::string& folder, std::vector<ImportItem>* items,
              std::string* error) {
  MboxScanner scanner;
  if (!scanner.Open(path, folder, error)) return false;
  ImportItem item;
  while (scanner.Next(&item, error)) items->push_back(std::move(item));
  return error->empty();
}

// A directory being walked. Its entries are listed when the walk reaches
// it, so that the skipped item of a directory that cannot be read takes its
// place in the order.
struct ItemLister::Frame {
  enum class Kind {
    kTree,           // a directory of mail files, mbox files and subdirectories
    kMaildir,        // the top of a Maildir: its Maildir++ folders and what else lies there
    kMaildirFolder,  // the mails of cur/ and new/
    kMaildirTmp,     // then tmp/: deliveries in progress, which are not mail yet
  };
  Frame(Kind k, fs::path d, std::string f) : kind(k), dir(std::move(d)), folder(std::move(f)) {}
  Kind kind;
  fs::path dir;
  std::string folder;
  bool listed = false;
  std::vector<std::pair<fs::directory_entry, bool>> entries;  // entry, in cur/
  size_t next = 0;
};

// A file that starts with an envelope line: an mbox whose messages go to
// their own folder, or, when it holds one message and its name does not say
// mbox, one mail of `folder` (a tree of single mails that each keep their
// delivery's envelope line must not become a folder per mail). The
// envelope's date is the mail's internal date either way. One message is
// read ahead to tell the two apart.
struct ItemLister::MboxWalk {
  MboxScanner scanner;
  fs::path path;
  uint64_t size = 0;
  std::string folder;
  std::optional<ImportItem> ahead;
  bool listed_one = false;
};

ItemLister::ItemLister(std::vector<std::string> inputs, std::string folder,
                       std::function<bool(const std::string&)> is_remote, RemoteOpener remote)
    : inputs_(std::move(inputs)),
      folder_(std::move(folder)),
      is_remote_(std::move(is_remote)),
      remote_(std::move(remote)) {}

ItemLister::~ItemLister() = default;

bool ItemLister::Next(size_t max, std::vector<ImportItem>* items, std::string* error) {
  items->clear();
  error->clear();
  if (!checked_) {
    // A path given wrong ends the run before anything is imported.
    for (const auto& input : inputs_) {
      if (is_remote_ && is_remote_(input)) continue;
      struct stat st;
      if (lstat(input.c_str(), &st) != 0 && errno == ENOENT) {
        *error = input + ": no such file or directory";
        return false;
      }
    }
    checked_ = true;
  }
  while (ready_.size() < max &&
         (mbox_ || remote_input_ || !stack_.empty() || input_ < inputs_.size())) {
    if (!Step(error)) return false;
    peak_ = std::max(peak_, ready_.size());
  }
  const size_t n = std::min(max, ready_.size());
  if (n == ready_.size()) {
    items->swap(ready_);
  } else {
    items->assign(std::make_move_iterator(ready_.begin()),
                  std::make_move_iterator(ready_.begin() + static_cast<std::ptrdiff_t>(n)));
    ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return !items->empty();
}

bool ItemLister::Step(std::string* error) {
  if (mbox_) return StepMbox(error);
  if (remote_input_) {
    if (remote_input_->Next(&ready_, error)) return true;
    remote_input_.reset();
    return error->empty();
  }
  if (stack_.empty()) return StartInput(inputs_[input_++], error);
  Frame& f = stack_.back();
  if (!f.listed) {
    ListFrame();
  } else if (f.next < f.entries.size()) {
    return StepEntry(error);
  } else if (f.kind == Frame::Kind::kMaildirFolder) {
    f.kind = Frame::Kind::kMaildirTmp;
    f.listed = false;
  } else {
    stack_.pop_back();
  }
  return true;
}

bool ItemLister::StartInput(const std::string& input, std::string* error) {
  if (is_remote_ && is_remote_(input)) {
    remote_input_ = remote_(input, error);
    return remote_input_ != nullptr;
  }
  std::error_code ec;
  fs::path full = fs::absolute(fs::path(input), ec).lexically_normal();
  if (full.has_filename() == false && full.has_parent_path()) full = full.parent_path();
  struct stat st;
  if (lstat(full.c_str(), &st) != 0 && errno == ENOENT) {
    *error = input + ": no such file or directory";
    return false;
  }
  if (fs::is_directory(full, ec)) {
    stack_.push_back(Frame{Frame::Kind::kTree, full, folder_});
    return true;
  }
  if (SkipUnusable(full, folder_, &ready_)) return true;
  const uint64_t size = fs::file_size(full, ec);
  if (size == 0) {
    ready_.push_back(SkippedItem(full, folder_, "empty file"));
    return true;
  }
  if (!IsSingleMailName(full) && LooksLikeMbox(full.string())) {
    return OpenMbox(full, size, folder_, folder_, error);
  }
  AddMailFile(full, size, folder_, &ready_);
  return true;
}

void ItemLister::ListFrame() {
  Frame& f = stack_.back();
  f.listed = true;
  std::vector<fs::directory_entry> entries;
  switch (f.kind) {
    case Frame::Kind::kTree:
      if (IsMaildir(f.dir)) {
        // Its own mails first, then its Maildir++ folders.
        f.kind = Frame::Kind::kMaildir;
        f.listed = false;
        Frame inbox{Frame::Kind::kMaildirFolder, f.dir, f.folder};
        stack_.push_back(std::move(inbox));
        return;
      }
      [[fallthrough]];
    case Frame::Kind::kMaildir:
      if (!ListDirectory(f.dir, f.folder, &ready_, &entries)) {
        stack_.pop_back();
        return;
      }
      for (auto& entry : entries) f.entries.emplace_back(std::move(entry), false);
      return;
    case Frame::Kind::kMaildirFolder:
      // cur/ and new/ merged and sorted by file name, whose leading delivery
      // time then gives the delivery order.
      for (const char* sub : {"cur", "new"}) {
        std::error_code ec;
        if (!fs::is_directory(f.dir / sub, ec) ||
            !ListDirectory(f.dir / sub, f.folder, &ready_, &entries)) {
          continue;
        }
        for (auto& entry : entries) f.entries.emplace_back(std::move(entry), sub[0] == 'c');
      }
      std::stable_sort(f.entries.begin(), f.entries.end(), [](const auto& a, const auto& b) {
        return a.first.path().filename().string() < b.first.path().filename().string();
      });
      return;
    case Frame::Kind::kMaildirTmp: {
      f.entries.clear();
      f.next = 0;
      std::error_code ec;
      if (!fs::is_directory(f.dir / "tmp", ec) ||
          !ListDirectory(f.dir / "tmp", f.folder, &ready_, &entries)) {
        stack_.pop_back();
        return;
      }
      for (auto& entry : entries) f.entries.emplace_back(std::move(entry), false);
      return;
    }
  }
}

bool ItemLister::StepEntry(std::string* error) {
  Frame& f = stack_.back();
  const auto [entry, in_cur] = f.entries[f.next++];
  const std::string name = entry.path().filename().string();
  const std::string folder = f.folder;  // f is gone once a frame is pushed
  std::error_code ec;
  switch (f.kind) {
    case Frame::Kind::kTree:
      if (entry.is_directory(ec)) {
        // A link to a directory could lead back up the tree: only real directories.
        if (entry.is_symlink(ec)) {
          ready_.push_back(SkippedItem(entry.path(), folder, "link to a directory (not followed)"));
        } else if (name.starts_with(".")) {
          ready_.push_back(SkippedItem(entry.path(), folder, "hidden directory"));
        } else {
          stack_.push_back(Frame{Frame::Kind::kTree, entry.path(), JoinFolder(folder, name)});
        }
        return true;
      }
      if (SkipUnusable(entry.path(), folder, &ready_)) return true;
      if (const uint64_t size = entry.file_size(ec); name.starts_with(".") || IsServerFile(name)) {
        ready_.push_back(SkippedItem(entry.path(), folder, "not mail"));
      } else if (size == 0) {
        ready_.push_back(SkippedItem(entry.path(), folder, "empty file"));
      } else if (!IsSingleMailName(entry.path()) && LooksLikeMbox(entry.path().string())) {
        // An mbox inside a tree is a folder of its own, named after the file.
        return OpenMbox(entry.path(), size, JoinFolder(folder, MboxFolderName(entry.path())),
                        folder, error);
      } else {
        AddMailFile(entry.path(), size, folder, &ready_);
      }
      return true;
    case Frame::Kind::kMaildir:
      if (entry.is_directory(ec)) {
        if (name == "cur" || name == "new" || name == "tmp") return true;
        // Maildir++: ".A.B" is the folder "A.B"; names are modified UTF-7.
        if (name.size() > 1 && name[0] == '.' && IsMaildir(entry.path())) {
          std::string sub = name.substr(1);
          auto decoded = DecodeModifiedUtf7(sub);
          stack_.push_back(Frame{Frame::Kind::kMaildirFolder, entry.path(),
                                 JoinFolder(folder, decoded ? *decoded : sub)});
        } else {
          ready_.push_back(SkippedItem(entry.path(), folder, "directory that is no Maildir folder"));
        }
        return true;
      }
      if (!SkipUnusable(entry.path(), folder, &ready_)) {
        ready_.push_back(SkippedItem(entry.path(), folder, "not mail"));
      }
      return true;
    case Frame::Kind::kMaildirFolder:
      AddMaildirFile(f.dir, entry, in_cur, folder, &ready_);
      return true;
    case Frame::Kind::kMaildirTmp:
      ready_.push_back(SkippedItem(entry.path(), folder, "Maildir tmp/"));
      return true;
  }
  return true;
}

bool ItemLister::OpenMbox(const fs::path& path, uint64_t size, const std::string& mbox_folder,
                          const std::string& folder, std::string* error) {
  auto walk = std::make_unique<MboxWalk>();
  if (!walk->scanner.Open(path.string(), mbox_folder, error)) return false;
  walk->path = path;
  walk->size = size;
  walk->folder = folder;
  mbox_ = std::move(walk);
  return true;
}

bool ItemLister::StepMbox(std::string* error) {
  MboxWalk& w = *mbox_;
  if (!w.ahead) {
    ImportItem first;
    if (!w.scanner.Next(&first, error)) {
      mbox_.reset();
      return error->empty();
    }
    w.ahead = std::move(first);
  }
  ImportItem next;
  const bool more = w.scanner.Next(&next, error);
  if (!more && !error->empty()) return false;
  if (!more && !w.listed_one && !HasMboxName(w.path)) {
    AddMailFile(w.path, w.size, w.folder, &ready_);
    if (!w.ahead->date.empty()) ready_.back().date = w.ahead->date;
    mbox_.reset();
    return true;
  }
  ready_.push_back(std::move(*w.ahead));
  w.listed_one = true;
  if (more) {
    w.ahead = std::move(next);
  } else {
    mbox_.reset();
  }
  return true;
}

bool CollectItems(const std::string& path, const std::string& folder,
                  std::vector<ImportItem>* items, std::string* error) {
  ItemLister lister({path}, folder);
  std::vector<ImportItem> window;
  while (lister.Next(std::numeric_limits<size_t>::max(), &window, error)) {
    items->insert(items->end(), std::make_move_iterator(window.begin()),
                  std::make_move_iterator(window.end()));
  }
  return error->empty();
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

std::vector<ImportItem> ShardSelector::Select(std::vector<ImportItem> items) {
  std::vector<ImportItem> firsts, rest;
  for (auto& item : items) {
    if (item.skip_reason.empty() && folders_.insert(FolderKeyOf(item.folder)).second) {
      if (index_ == 1) firsts.push_back(std::move(item));
      continue;
    }
    if (static_cast<int>(position_++ % static_cast<size_t>(count_)) == index_ - 1) {
      rest.push_back(std::move(item));
    }
  }
  firsts.insert(firsts.end(), std::make_move_iterator(rest.begin()),
                std::make_move_iterator(rest.end()));
  return firsts;
}

std::vector<ImportItem> SelectShard(std::vector<ImportItem> items, int index, int count) {
  return ShardSelector(index, count).Select(std::move(items));
}

}  // namespace Nauvik::Import
