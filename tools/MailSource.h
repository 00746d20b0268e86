#pragma once

// Reads the bytes that the library is given for one import item: the file,
// or one mbox message with its "From " line removed and its quoting undone,
// with LF line ends turned into CRLF unless the caller keeps them; or an
// IMAP message exactly as the server sent it.
//
// A mail of up to 1 MB is read into the heap. A larger one is mapped, and
// its pages already read are dropped from resident memory as the work goes
// on, so it costs about its own size once, in the library's mapping. Bytes
// that differ from the file are written once, as they are converted, into an
// in-memory file that the library opens by a /proc/self/fd path; a small
// mail keeps the converted bytes it wrote instead of mapping that file back.

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/Inputs.h"

namespace Nauvik::Import {

class ImapSource;

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
  friend bool LoadMail(const ImportItem&, bool, ImapSource*, MailBytes*, std::string*);
  void Reset();
  // Owns `fd`, an in-memory file of `size` bytes, from now on; `whole` is
  // its content when the caller still has all of it, else it is mapped.
  bool TakeMemoryFile(int fd, uint64_t size, uint64_t content_hash, std::string whole,
                      std::string* error);
  std::string held_;     // the bytes `bytes` points into, when read into the heap
  void* map_ = nullptr;  // read-only mapping that `bytes` points into
  size_t map_size_ = 0;
  int memory_fd_ = -1;  // the in-memory file behind `path` when changed
};

// Fills `out` for `item`. Returns false with `error` set when the source
// cannot be read. Never throws for malformed mail. A single mail file that
// starts with an mbox envelope line loses that line and the empty line that
// ends an mbox message, and nothing else.
bool LoadMail(const ImportItem& item, bool keep_line_ends, ImapSource* imap, MailBytes* out,
              std::string* error);

}  // namespace Nauvik::Import
