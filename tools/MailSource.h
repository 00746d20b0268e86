#pragma once

// Reads the bytes that the library is given for one import item: the file,
// or one mbox message with its "From " line removed and its quoting undone,
// with LF line ends turned into CRLF unless the caller keeps them; or an
// IMAP message exactly as the server sent it.
//
// Nothing is read into the heap: the source is mapped, and bytes that differ
// from the file are written once, as they are converted, into an in-memory
// file that the library opens by a /proc/self/fd path. Pages already read are
// dropped from resident memory as the work goes on, so a mail costs about its
// own size once, in the library's mapping.

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/Inputs.h"

namespace Nauvik::Import {

class MailBytes {
 public:
  MailBytes() = default;
  ~MailBytes();
  MailBytes(const MailBytes&) = delete;
  MailBytes& operator=(const MailBytes&) = delete;

  std::string_view bytes;  // what the library reads; valid while this object lives
  std::string path;        // where the library reads it: the file itself or /proc/self/fd/N
  bool changed = false;    // differs from the file on disk
  uint64_t hash = 0;       // ContentHash(bytes)

 private:
  friend bool LoadMail(const ImportItem&, bool, MailBytes*, std::string*);
  void Reset();
  // Owns `fd`, an in-memory file of `size` bytes, from now on and maps it.
  bool TakeMemoryFile(int fd, uint64_t size, uint64_t content_hash, std::string* error);
  void* map_ = nullptr;  // read-only mapping that `bytes` points into
  size_t map_size_ = 0;
  int memory_fd_ = -1;  // the in-memory file behind `path` when changed
};

// Fills `out` for `item`. Returns false with `error` set when the source
// cannot be read. Never throws for malformed mail. A single mail file that
// starts with an mbox envelope line loses that line and the empty line that
// ends an mbox message, and nothing else.
bool LoadMail(const ImportItem& item, bool keep_line_ends, MailBytes* out, std::string* error);

}  // namespace Nauvik::Import
