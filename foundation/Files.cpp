#include "foundation/Files.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace KAVRO {
namespace {

std::atomic<WriteFunction> g_write{&::write};
std::atomic<SyncDirectoryFunction> g_sync_directory{&SyncDirectory};
std::atomic<FsyncFunction> g_fsync{&::fsync};
std::atomic<PreadFunction> g_pread{&::pread};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

ssize_t WriteOnce(int fd, const void* data, size_t len) {
  ssize_t n;
  do {
    n = g_write.load(std::memory_order_relaxed)(fd, data, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

// The root that CreateDirectoryPath does not try to create: "C:" for
// "C:\a\b", "\\server" for "\\server\share\a", "\" for "/a/b" (a path from
// the root keeps its root here; on this system such paths are the normal
// absolute ones). Empty for relative paths.
std::string RootPrefix(const std::string& path) {
  if (!IsAbsolutePath(path)) return "";
  for (size_t i = 0; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) continue;
    const bool run_before = i > 0 && IsSeparator(path[i - 1]);
    const bool run_after = i + 1 < path.size() && IsSeparator(path[i + 1]);
    if (!run_before && !run_after) return i == 0 ? std::string("\\") : path.substr(0, i);
    while (i + 1 < path.size() && IsSeparator(path[i + 1])) ++i;
  }
  return "";
}

// Hands a new entry to the group and sets its exact mode (the umask has no
// say); an entry the group cannot be given to keeps only the owner's bits.
// False with errno set when the mode cannot be set.
bool ApplyModes(int fd, mode_t mode, const CreationModes& modes) {
  const gid_t keep = static_cast<gid_t>(-1);
  if (modes.group != keep && fchown(fd, static_cast<uid_t>(-1), modes.group) != 0) mode &= S_IRWXU;
  return fchmod(fd, mode) == 0;
}

// The same for a new directory, by name: opening a directory needs read
// access, which its umask may have left out.
bool ApplyDirectoryModes(const std::string& os_path, const CreationModes& modes) {
  mode_t mode = modes.directory;
  const gid_t keep = static_cast<gid_t>(-1);
  if (modes.group != keep && chown(os_path.c_str(), static_cast<uid_t>(-1), modes.group) != 0) {
    mode &= S_IRWXU;
  }
  return chmod(os_path.c_str(), mode) == 0;
}

}  // namespace

std::string OsPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

uint64_t FileSize(const std::string& path) {
  UniqueFd fd = UniqueFd::Open(path, O_RDONLY);
  if (!fd.Valid()) return 0;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(OsPath(path).c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(OsPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) { return unlink(OsPath(path).c_str()) == 0; }

bool CopyFile(const std::string& from, const std::string& to) {
  UniqueFd in = UniqueFd::Open(from, O_RDONLY);
  if (!in.Valid()) return false;
  struct stat st;
  if (fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  UniqueFd out = UniqueFd::Open(to, O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 0777);
  if (!out.Valid()) return false;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = read(in.Get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0 || !WriteAll(out.Get(), buffer.data(), static_cast<size_t>(n))) {
      const int err = errno;
      out.Reset();
      unlink(OsPath(to).c_str());
      errno = err;
      return false;
    }
  }
  return out.Close();
}

namespace {

// With durable set, the parent of every level that was missing is synced
// once the level exists (also when a concurrent caller made it first, since
// that caller may not have synced yet).
bool CreateLevels(const std::string& path, bool durable, const CreationModes& modes) {
  if (IsDirectory(path)) return true;
  const std::string prefix = RootPrefix(path);
  const std::vector<std::string> pieces = Split(path, "\\/", false);
  std::string current = prefix;
  if (!current.empty() && !IsSeparator(current.back())) current += '\\';
  size_t first = 0;
  // The root's own name ("C:", "\\server") is the first piece; a plain root
  // ("\") has none.
  if (!prefix.empty() && prefix != "\\") first = 1;
  for (size_t i = first; i < pieces.size(); ++i) {
    const std::string parent = current.empty() ? std::string(".") : current;
    current += pieces[i];
    if (!IsDirectory(current)) {
      // Made for the owner alone, so nobody gets in before the modes are
      // set; a level a concurrent caller made first is left to it.
      const std::string os_path = OsPath(current);
      if (mkdir(os_path.c_str(), S_IRWXU) == 0 && !ApplyDirectoryModes(os_path, modes)) {
        return false;
      }
      if (!IsDirectory(current)) return false;
      if (durable && !g_sync_directory.load()(parent)) return false;
    }
    if (!IsSeparator(current.back())) current += '\\';
  }
  return IsDirectory(path);
}

}  // namespace

bool CreateDirectoryPath(const std::string& path, const CreationModes& modes) {
  return CreateLevels(path, false, modes);
}

bool CreateDirectoryPathDurably(const std::string& path, const CreationModes& modes) {
  return CreateLevels(path, true, modes);
}

CreationModes CreationModesBelow(const std::string& directory) {
  CreationModes modes;
  struct stat st;
  if (stat(OsPath(directory).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return modes;
  const mode_t group_bits = st.st_mode & S_IRWXG;
  const bool shared =
      group_bits != 0 && ((st.st_mode & S_ISGID) != 0 || (st.st_mode & S_IRWXO) == 0);
  if (!shared) return modes;
  modes.file = S_IRUSR | S_IWUSR | (group_bits & (S_IRGRP | S_IWGRP));
  modes.directory = S_IRWXU | group_bits | (st.st_mode & S_ISGID);
  modes.group = st.st_gid;
  return modes;
}

bool ReadableByOthers(const std::string& path) {
  struct stat st;
  return stat(OsPath(path).c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool CreateFileIfMissing(const std::string& path, const CreationModes& modes) {
  UniqueFd fd = UniqueFd::Open(path, O_WRONLY | O_CREAT | O_EXCL, 0);
  if (!fd.Valid()) return errno == EEXIST;
  return ApplyModes(fd.Get(), modes.file, modes) && fd.Close();
}

bool SyncDirectory(const std::string& path) {
  UniqueFd fd = UniqueFd::Open(path, O_RDONLY | O_DIRECTORY);
  if (!fd.Valid()) return false;
  if (fsync(fd.Get()) != 0 && errno != EINVAL) return false;
  return true;
}

SyncDirectoryFunction SetSyncDirectoryFunctionForTesting(SyncDirectoryFunction fn) {
  return g_sync_directory.exchange(fn == nullptr ? &SyncDirectory : fn);
}

FsyncFunction SetFsyncFunctionForTesting(FsyncFunction fn) {
  return g_fsync.exchange(fn == nullptr ? &::fsync : fn);
}

bool IsDirectoryWritable(const std::string& path) {
  return IsDirectory(path) && access(OsPath(path).c_str(), W_OK) == 0;
}

std::string DirectoryOf(const std::string& path, bool with_trailing_separator) {
  const size_t last = path.find_last_of("/\\");
  if (last == std::string::npos) return "";
  std::string dir = path.substr(0, last);
  if (with_trailing_separator) EnsureTrailingSeparator(&dir);
  return dir;
}

void EnsureTrailingSeparator(std::string* text) {
  if (!text->empty() && !IsSeparator(text->back())) text->push_back('\\');
}

bool IsAbsolutePath(const std::string& path) {
  if (!path.empty() && IsSeparator(path[0])) return true;
  return path.find(':') != std::string::npos && path.find_first_of("/\\") != std::string::npos;
}

std::vector<std::string> Split(std::string_view text, std::string_view delimiters,
                               bool keep_empty) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of(delimiters, start);
    const std::string_view piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (keep_empty || !piece.empty()) pieces.emplace_back(piece);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return pieces;
}

std::string SystemErrorText(int err) {
  if (err == 0) err = errno;
  char buffer[2048];
  // GNU strerror_r: returns the text, which may or may not be in buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string();
}

std::string LastErrorText() { return SystemErrorText(errno); }

std::string ExecutablePath() {
  char buffer[1024];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return "";
  return std::string(buffer, static_cast<size_t>(n));
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

UniqueFd UniqueFd::Open(const std::string& path, int flags, mode_t mode) {
  const std::string os_path = OsPath(path);
  int fd;
  do {
    fd = ::open(os_path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) {
    const int err = errno;
    ::close(fd_);  // Linux frees the descriptor even when close reports EINTR
    errno = err;
  }
  fd_ = fd;
}

bool UniqueFd::Close() {
  if (fd_ < 0) return true;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

bool WriteAll(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = WriteOnce(fd, p, len);
    if (n < 0) return false;
    if (n == 0 || static_cast<size_t>(n) > len) {
      errno = EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool AppendToFile(int fd, uint64_t length, const void* bytes) {
  if (length == 0) return false;
  if (lseek(fd, 0, SEEK_END) < 0) return false;
  const auto* p = static_cast<const char*>(bytes);
  uint64_t left = length;
  while (left > 0) {
    const size_t piece = left < kAppendPieceBytes ? static_cast<size_t>(left) : kAppendPieceBytes;
    const ssize_t n = WriteOnce(fd, p, piece);
    if (n <= 0 || static_cast<uint64_t>(n) > left) {
      if (n >= 0) errno = EIO;
      return false;
    }
    p += n;
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

UniqueFd OpenForAppend(const std::string& path, const CreationModes& modes) {
  for (;;) {
    UniqueFd fd = UniqueFd::Open(path, O_WRONLY | O_APPEND);
    if (fd.Valid() || errno != ENOENT) return fd;
    // Made with no access at all, so nobody opens it before its modes are set.
    fd = UniqueFd::Open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0);
    if (fd.Valid()) {
      if (!ApplyModes(fd.Get(), modes.file, modes)) return UniqueFd();
      return fd;
    }
    if (errno != EEXIST) return fd;  // else another appender made it: open that
  }
}

DurableWrite WriteFileDurably(const std::string& path, const void* data, size_t len,
                              const CreationModes& modes) {
  UniqueFd fd = UniqueFd::Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0);
  if (!fd.Valid() || !ApplyModes(fd.Get(), modes.file, modes)) return DurableWrite::kNotWritten;
  if (len > 0 && !AppendToFile(fd.Get(), len, data)) return DurableWrite::kNotWritten;
  if (g_fsync.load(std::memory_order_relaxed)(fd.Get()) != 0) return DurableWrite::kNotSynced;
  if (!fd.Close()) return DurableWrite::kNotClosed;
  // The new directory entry must survive a crash as well as the bytes.
  const std::string dir = DirectoryOf(path, false);
  const bool at_root = !path.empty() && IsSeparator(path[0]);
  if (!g_sync_directory.load()(!dir.empty() ? dir : std::string(at_root ? "/" : "."))) {
    return DurableWrite::kNotSynced;
  }
  return DurableWrite::kDone;
}

WriteFunction SetWriteFunctionForTesting(WriteFunction fn) {
  return g_write.exchange(fn == nullptr ? &::write : fn);
}

const unsigned char* MapFileForReading(const std::string& path, uint32_t* size) {
  if (!FileExists(path)) return nullptr;
  UniqueFd fd = UniqueFd::Open(path, O_RDONLY);
  if (!fd.Valid()) return nullptr;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const auto file_size = static_cast<uint64_t>(st.st_size);
  if (file_size == 0 || file_size > UINT32_MAX) return nullptr;
  if (*size == 0 || *size > file_size) *size = static_cast<uint32_t>(file_size);
  void* view = mmap(nullptr, *size, PROT_READ, MAP_SHARED, fd.Get(), 0);
  if (view == MAP_FAILED) return nullptr;
  return static_cast<const unsigned char*>(view);
}

MMFile::~MMFile() { MMFile::Close(); }

MMFile::MMFile(MMFile&& other) noexcept : size_(other.size_), view_(other.view_) {
  other.size_ = 0;
  other.view_ = nullptr;
}

MMFile& MMFile::operator=(MMFile&& other) noexcept {
  if (this != &other) {
    Close();
    size_ = other.size_;
    view_ = other.view_;
    other.size_ = 0;
    other.view_ = nullptr;
  }
  return *this;
}

bool MMFile::Open(const std::string& path) {
  Close();
  uint32_t size = 0;
  const unsigned char* view = MapFileForReading(path, &size);
  if (view == nullptr) return false;
  view_ = view;
  size_ = size;
  return true;
}

void MMFile::Close() {
  if (view_ != nullptr) munmap(const_cast<unsigned char*>(view_), size_);
  view_ = nullptr;
  size_ = 0;
}

bool ReadExactly(int fd, uint64_t offset, uint64_t length, std::string* out) {
  out->resize(static_cast<size_t>(length));
  size_t done = 0;
  while (done < out->size()) {
    const ssize_t n = g_pread.load(std::memory_order_relaxed)(
        fd, out->data() + done, out->size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      const int err = errno;
      out->clear();
      errno = err;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

WholeRead ReadWholeFile(const std::string& path, uint64_t up_to, std::string* out) {
  out->clear();
  // A missing file fails the open; the fstat turns away directories.
  UniqueFd fd = UniqueFd::Open(path, O_RDONLY);
  if (!fd.Valid()) return WholeRead::kFailed;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return WholeRead::kFailed;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size == 0 || size > UINT32_MAX) return WholeRead::kFailed;
  if (size > up_to) return WholeRead::kLarger;
  return ReadExactly(fd.Get(), 0, size, out) ? WholeRead::kRead : WholeRead::kFailed;
}

PreadFunction SetPreadFunctionForTesting(PreadFunction fn) {
  return g_pread.exchange(fn == nullptr ? &::pread : fn);
}

}  // namespace KAVRO
