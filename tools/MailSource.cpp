#include "tools/MailSource.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/Files.h"
#include "tools/MailText.h"
#include "tools/imap/ImapSource.h"

namespace Nauvik::Import {
namespace {

// The source is worked through in steps of about this size; the pages of a
// finished step leave resident memory.
constexpr size_t kStep = size_t{8} << 20;
constexpr size_t kWriteBuffer = size_t{1} << 20;
// A mail up to this size is read into the heap instead of being mapped: a
// read costs less than setting up and tearing down a mapping, whose unmap
// interrupts every other core the process runs on.
constexpr uint64_t kReadWhole = uint64_t{1} << 20;

std::string SystemError() { return std::strerror(errno); }

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A read-only view of a byte range of a file.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  bool Map(int fd, uint64_t offset, uint64_t length) {
    if (length == 0) return true;
    const uint64_t start = offset - offset % PageSize();
    size_ = static_cast<size_t>(offset - start + length);
    void* base = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return false;
    base_ = base;
    dropped_ = static_cast<char*>(base);
    text_ = std::string_view(dropped_ + (offset - start), static_cast<size_t>(length));
    return true;
  }

  std::string_view Text() const { return text_; }

  // The whole pages before `end` leave resident memory; the file keeps
  // them, so a later read faults them in again.
  void DropBefore(const char* end) {
    const auto aligned = reinterpret_cast<uintptr_t>(end) / PageSize() * PageSize();
    char* upto = reinterpret_cast<char*>(aligned);
    if (base_ == nullptr || upto <= dropped_) return;
    madvise(dropped_, static_cast<size_t>(upto - dropped_), MADV_DONTNEED);
    dropped_ = upto;
  }

  void HandOver(void** base, size_t* size) {
    *base = std::exchange(base_, nullptr);
    *size = size_;
  }

 private:
  void* base_ = nullptr;
  size_t size_ = 0;
  char* dropped_ = nullptr;
  std::string_view text_;
};

// Calls `step` on consecutive pieces of `text`, each ending at a line end
// (or the end of the text), and drops each piece's pages once it is done.
// Stops early, returning false, when `step` returns false.
template <typename Step>
bool ForEachStep(Mapping* source, std::string_view text, Step&& step) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = std::min(text.size(), pos + kStep);
    if (end < text.size()) {
      const size_t lf = text.find('\n', end - 1);
      end = lf == std::string_view::npos ? text.size() : lf + 1;
    }
    if (!step(text.substr(pos, end - pos))) return false;
    source->DropBefore(text.data() + end);
    pos = end;
  }
  return true;
}

// An anonymous in-memory file filled once through a small buffer, then
// sealed against any change, so that what the library maps is exactly what
// was hashed.
class MemoryFileWriter {
 public:
  // `expected`: about how many bytes will come, so that a small mail does
  // not hold a buffer of the largest size.
  bool Open(size_t expected, std::string* error) {
    fd_ = memfd_create("mailstorage-import", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd_ < 0) {
      *error = "cannot create an in-memory file (" + SystemError() + ")";
      return false;
    }
    buffer_.reserve(std::min(kWriteBuffer, expected));
    return true;
  }
  ~MemoryFileWriter() {
    if (fd_ >= 0) close(fd_);
  }

  void Append(std::string_view piece) {
    hash_ = ContentHash(piece, hash_);
    size_ += piece.size();
    if (buffer_.size() + piece.size() > kWriteBuffer) Flush();
    if (piece.size() >= kWriteBuffer) {
      WriteAll(piece);
    } else {
      buffer_.append(piece);
    }
  }

  // False with `error` when a write failed (memory exhausted). When the
  // whole mail fitted in the buffer, `whole` receives it: the caller needs
  // no mapping to read it back.
  bool Finish(std::string* error, std::string* whole) {
    const bool fits = size_ == buffer_.size();
    Flush(fits ? whole : nullptr);
    if (write_errno_ != 0) {
      errno = write_errno_;
      *error = "cannot write the converted mail to memory (" + SystemError() + ")";
      return false;
    }
    fcntl(fd_, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
    return true;
  }

  int ReleaseFd() { return std::exchange(fd_, -1); }
  uint64_t Size() const { return size_; }
  uint64_t Hash() const { return hash_; }

 private:
  void Flush(std::string* keep = nullptr) {
    WriteAll(buffer_);
    if (keep != nullptr) {
      *keep = std::move(buffer_);
      buffer_ = std::string();
    }
    buffer_.clear();
  }
  void WriteAll(std::string_view data) {
    while (!data.empty() && write_errno_ == 0) {
      const ssize_t n = write(fd_, data.data(), data.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        write_errno_ = n < 0 ? errno : ENOSPC;
        return;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
  }

  int fd_ = -1;
  std::string buffer_;
  uint64_t size_ = 0;
  uint64_t hash_ = kContentHashStart;
  int write_errno_ = 0;
};

// The mail of an mbox message or of a file that starts with an envelope
// line: without that line and without the empty line that ends a message in
// an mbox.
std::string_view WithoutEnvelope(std::string_view text) {
  const size_t lf = text.find('\n');
  text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  if (text.ends_with("\r\n\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with("\n\n")) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

MailBytes::~MailBytes() { Reset(); }

bool MailBytes::TakeMemoryFile(int fd, uint64_t size, uint64_t content_hash, std::string whole,
                               std::string* error) {
  if (whole.size() == size) {
    held_ = std::move(whole);
    bytes = held_;
    hash = content_hash;
    changed = true;
    memory_fd_ = fd;
    path = "/proc/self/fd/" + std::to_string(fd);
    return true;
  }
  Mapping copy;
  if (!copy.Map(fd, 0, size)) {
    *error = "cannot map the converted mail (" + SystemError() + ")";
    close(fd);
    return false;
  }
  bytes = copy.Text();
  hash = content_hash;
  changed = true;
  copy.HandOver(&map_, &map_size_);
  memory_fd_ = fd;
  path = "/proc/self/fd/" + std::to_string(fd);
  return true;
}

void MailBytes::Reset() {
  if (map_ != nullptr) munmap(map_, map_size_);
  if (memory_fd_ >= 0) close(memory_fd_);
  map_ = nullptr;
  map_size_ = 0;
  memory_fd_ = -1;
  held_ = std::string();
  bytes = {};
  path.clear();
  changed = false;
  hash = 0;
}

bool LoadMail(const ImportItem& item, bool keep_line_ends, ImapSource* imap, MailBytes* out,
              std::string* error) {
  out->Reset();
  if (item.source.kind == ItemSource::Kind::kImap) {
    // The server's bytes, exactly as sent; they exist in memory only.
    std::string fetched;
    if (imap == nullptr) *error = item.path + ": no IMAP session in this run";
    if (imap == nullptr || !imap->Load(item, &fetched, error)) return false;
    MemoryFileWriter writer;
    if (!writer.Open(fetched.size(), error)) return false;
    writer.Append(fetched);
    fetched = std::string();
    std::string whole;
    if (!writer.Finish(error, &whole)) return false;
    return out->TakeMemoryFile(writer.ReleaseFd(), writer.Size(), writer.Hash(), std::move(whole),
                               error);
  }
  // Non-blocking: a FIFO put where a mail file was must not hang the worker.
  FileDescriptor file(open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) {
    *error = item.path + ": cannot be opened (" + SystemError() + ")";
    return false;
  }
  struct stat st;
  if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = item.path + ": not a regular file";
    return false;
  }
  const auto file_size = static_cast<uint64_t>(st.st_size);
  uint64_t offset = 0;
  uint64_t length = file_size;
  if (item.mbox) {
    offset = static_cast<uint64_t>(item.offset);
    length = item.length;
  }
  if (offset + length > file_size) {
    *error = item.path + ": cut short since it was scanned";
    return false;
  }
  Mapping source;
  std::string read;
  std::string_view text;
  const bool in_heap = length <= kReadWhole;
  if (in_heap) {
    if (!KAVRO::ReadExactly(file.Get(), offset, length, &read)) {
      *error = item.path + ": cannot be read (" + SystemError() + ")";
      return false;
    }
    text = read;
  } else {
    if (!source.Map(file.Get(), offset, length)) {
      *error = item.path + ": cannot be mapped (" + SystemError() + ")";
      return false;
    }
    text = source.Text();
  }
  if (item.mbox && !text.starts_with("From ")) {
    *error = item.path + ": mbox changed since it was scanned (no message at offset " +
             std::to_string(item.offset) + ")";
    return false;
  }
  // An envelope line is a line, not a whole file: looking a little way in is enough.
  const std::string_view head = text.substr(0, 4096);
  const bool envelope = item.mbox || IsEnvelopeLine(head.substr(0, head.find('\n')));
  if (envelope) text = WithoutEnvelope(text);
  const LineRewrite how{.unquote_from = item.mbox, .crlf = !keep_line_ends};

  if (!envelope) {
    bool bare_line_feed = false;
    uint64_t hash = kContentHashStart;
    ForEachStep(&source, text, [&](std::string_view piece) {
      if (how.crlf && HasBareLineFeed(piece)) {
        bare_line_feed = true;
        return false;
      }
      hash = ContentHash(piece, hash);
      return true;
    });
    if (!bare_line_feed) {
      // The library reads the file itself.
      if (in_heap) {
        const size_t skipped = static_cast<size_t>(text.data() - read.data());
        out->held_ = std::move(read);
        text = std::string_view(out->held_).substr(skipped, text.size());
      }
      out->bytes = text;
      out->path = item.path;
      out->hash = hash;
      source.HandOver(&out->map_, &out->map_size_);
      return true;
    }
  }

  MemoryFileWriter writer;
  // LF line ends become CRLF: a few percent more bytes for most mail.
  if (!writer.Open(text.size() + text.size() / 16 + 64, error)) return false;
  const auto append = [&](std::string_view piece) { writer.Append(piece); };
  ForEachStep(&source, text, [&](std::string_view piece) {
    RewriteLines(piece, how, append);
    return true;
  });
  std::string whole;
  if (!writer.Finish(error, &whole)) return false;
  return out->TakeMemoryFile(writer.ReleaseFd(), writer.Size(), writer.Hash(), std::move(whole),
                             error);
}

}  // namespace Nauvik::Import
