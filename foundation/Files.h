#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace KAVRO {

// File helpers. Paths arrive in the system's own form, built with "\" as the
// separator (the same text is stored in the database and read on Windows);
// every call into the operating system goes through OsPath, which turns each
// "\" into "/". None of these helpers throws: failure is a false, 0, null or
// empty result, and nothing is left open behind it. Thread-safe.

// The path as the operating system wants it: every "\" becomes "/".
std::string OsPath(std::string_view path);

// Size of an existing regular file; 0 when it is missing or unreadable.
uint64_t FileSize(const std::string& path);
// True when the path names anything (file or directory).
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// True only when the system removed the file.
bool DeleteFile(const std::string& path);
// Copies the bytes of from into to, replacing to if it exists. A failed copy
// removes the partial target.
bool CopyFile(const std::string& from, const std::string& to);

// Who may use the files and directories a call creates. The modes are set
// exactly, whatever the umask; with a group other than -1 the new entries are
// handed to that group, and an entry that cannot be handed over keeps only
// the owner's bits (so group bits never reach a group nobody chose). Entries
// that exist already are left as they are. The default is owner only.
struct CreationModes {
  mode_t file = 0600;
  mode_t directory = 0700;
  gid_t group = static_cast<gid_t>(-1);
};
// The modes for entries below an existing directory: owner only, unless the
// directory gives its group access and either carries the setgid bit or
// gives others nothing (a directory shared with a group, such as 2770).
// Then new files take the group's read and write bits, new directories the
// group's bits and the setgid bit, and both the directory's group. Others
// never get access. A missing directory gives owner only.
CreationModes CreationModesBelow(const std::string& directory);
// True when the file's mode lets accounts other than its owner read it
// (group or others). False for a missing file.
bool ReadableByOthers(const std::string& path);
// Creates an empty file with modes.file when path does not exist; an
// existing file is left alone. False with errno set when it cannot be made.
bool CreateFileIfMissing(const std::string& path, const CreationModes& modes = {});

// Creates every missing level of the path with modes.directory; true when
// the whole path is a directory afterwards. Stops at the first level that
// cannot be created.
bool CreateDirectoryPath(const std::string& path, const CreationModes& modes = {});
// CreateDirectoryPath for paths that a durable record will point into: after
// each level that was missing is made, its parent directory is fsynced, so
// the new entries survive a crash together with a file written into the
// path afterwards (whose own entry WriteFileDurably makes durable). Levels
// that exist already are not synced. False with errno set when a level cannot
// be made or a parent cannot be synced.
bool CreateDirectoryPathDurably(const std::string& path, const CreationModes& modes = {});
// Fsyncs the directory itself, making entries created or removed in it
// durable. False with errno set when it cannot be opened as a directory or
// the sync fails; a file system that cannot sync directories (EINVAL) counts
// as done.
bool SyncDirectory(const std::string& path);
// True when the path is a directory this process may create files in.
bool IsDirectoryWritable(const std::string& path);

// Text before the last "/" or "\"; empty when there is none. With the flag a
// "\" is appended unless the result already ends in a separator (an empty
// result stays empty).
std::string DirectoryOf(const std::string& path, bool with_trailing_separator);
// Appends "\" to a non-empty text that does not end in "\" or "/".
void EnsureTrailingSeparator(std::string* text);
// "/x", "\x", or a text with ":" and any separator ("C:\x").
bool IsAbsolutePath(const std::string& path);
// Cuts text at every delimiter character; empty pieces only with keep_empty.
std::vector<std::string> Split(std::string_view text, std::string_view delimiters, bool keep_empty);

// The system's text for an error number (0: the calling thread's errno).
std::string SystemErrorText(int err = 0);
// The system's text for the calling thread's errno.
std::string LastErrorText();

// Full path of the running executable from /proc/self/exe; "" on failure or
// when the path has 1024 characters or more.
std::string ExecutablePath();

// Owns one file descriptor; closes it on destruction. Move-only.
class UniqueFd final {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // open(2) of OsPath(path) with O_CLOEXEC added, retried on EINTR. An invalid
  // result leaves errno set. A file created here gets mode less the umask;
  // OpenForAppend and WriteFileDurably set exact modes instead.
  static UniqueFd Open(const std::string& path, int flags, mode_t mode = 0600);

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);
  // Closes now and reports the result; errno is kept on failure.
  bool Close();

 private:
  int fd_ = -1;
};

// Writes all len bytes at the current position, continuing after short
// writes and EINTR. False with errno set on failure.
bool WriteAll(int fd, const void* data, size_t len);

// Appends length bytes at the end of the open file, in pieces of at most
// kAppendPieceBytes. A length of 0 returns false without touching the file.
// False when a write fails, writes nothing or reports more than was left.
inline constexpr size_t kAppendPieceBytes = 16000000;
bool AppendToFile(int fd, uint64_t length, const void* bytes);

// Opens path for appending (every write lands at the end, also beside other
// appenders), creating it with modes when it is missing. An existing file
// keeps its mode. Invalid with errno set on failure.
UniqueFd OpenForAppend(const std::string& path, const CreationModes& modes = {});

// How far WriteFileDurably got.
enum class DurableWrite {
  kDone,
  // The file could not be created or not every byte was written; a partial
  // file stays for the caller to remove.
  kNotWritten,
  // Every byte was handed to the system, but the fsync of the file or of its
  // directory failed: the bytes or the entry may be gone after a crash, and
  // after a failed fsync the system may already have dropped the unwritten
  // pages, so the file cannot be trusted. It stays for the caller to remove.
  kNotSynced,
  // Synced, but the close failed.
  kNotClosed,
};
// Creates or truncates path with modes.file (the group as CreationModes
// says), writes all bytes in pieces of at most kAppendPieceBytes, fsyncs the
// file, closes it and fsyncs its directory. errno is set unless kDone.
[[nodiscard]] DurableWrite WriteFileDurably(const std::string& path, const void* data, size_t len,
                                            const CreationModes& modes = {});

// The write(2) that AppendToFile and WriteAll use. Tests replace it to see
// the pieces and to inject failures; returns the previous function.
using WriteFunction = ssize_t (*)(int fd, const void* data, size_t len);
WriteFunction SetWriteFunctionForTesting(WriteFunction fn);
// The directory sync CreateDirectoryPathDurably and WriteFileDurably use
// (SyncDirectory unless replaced); tests see which directories are synced and
// inject failures. Null restores SyncDirectory; returns the previous function.
using SyncDirectoryFunction = bool (*)(const std::string& path);
SyncDirectoryFunction SetSyncDirectoryFunctionForTesting(SyncDirectoryFunction fn);
// The fsync(2) WriteFileDurably uses on the file itself; tests inject
// failures. Null restores fsync; returns the previous function.
using FsyncFunction = int (*)(int fd);
FsyncFunction SetFsyncFunctionForTesting(FsyncFunction fn);

// Maps size bytes of a file read-only (size 0 or beyond the end: the whole
// file) and sets *size to the mapped length. Null for a missing, empty or
// unreadable file, or one of 4 GiB or more. The caller unmaps with munmap
// through MMFile; the file descriptor is closed before returning, the
// mapping keeps the file open.
const unsigned char* MapFileForReading(const std::string& path, uint32_t* size);

// A read-only mapping of a whole file, unmapped by Close and the destructor.
// Move-only; not thread-safe for Open/Close, the view may be read from any
// thread while it is open.
class MMFile {
 public:
  MMFile() = default;
  virtual ~MMFile();
  MMFile(MMFile&& other) noexcept;
  MMFile& operator=(MMFile&& other) noexcept;
  MMFile(const MMFile&) = delete;
  MMFile& operator=(const MMFile&) = delete;

  // Closes any old mapping first. False for a missing or empty file, which
  // leaves the object closed.
  bool Open(const std::string& path);
  virtual void Close();

  const unsigned char* View() const { return view_; }
  uint32_t Size() const { return size_; }
  bool IsOpen() const { return view_ != nullptr; }
  std::string_view Bytes() const { return {reinterpret_cast<const char*>(view_), size_}; }

 private:
  uint32_t size_ = 0;
  const unsigned char* view_ = nullptr;
};

// Reads exactly length bytes of the open file from offset into *out,
// continuing after short reads and EINTR. A read that fails, or a file that
// ends before length bytes (cut short while it is read: errno EIO), gives
// false with *out empty: never a prefix of the bytes.
bool ReadExactly(int fd, uint64_t offset, uint64_t length, std::string* out);

// How ReadWholeFile ended.
enum class WholeRead { kRead, kLarger, kFailed };
// Reads a whole regular file of at most up_to bytes into *out. As with a
// mapping, a missing, empty or unreadable file, one of 4 GiB or more and one
// that fails or is cut short while it is read give nothing (kFailed, *out
// empty). A file larger than up_to is not read (kLarger): the caller maps it.
WholeRead ReadWholeFile(const std::string& path, uint64_t up_to, std::string* out);

// The pread(2) ReadExactly uses; tests replace it to cut a file short or
// fail a read midway. Null restores pread; returns the previous function.
using PreadFunction = ssize_t (*)(int fd, void* data, size_t len, off_t offset);
PreadFunction SetPreadFunctionForTesting(PreadFunction fn);

}  // namespace KAVRO
