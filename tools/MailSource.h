#pragma once

// Reads the bytes that the library is given for one import item: the file,
// or one mbox message with its "From " line removed and its quoting undone,
// with LF line ends turned into CRLF unless the caller keeps them.

#include <string>

#include "tools/Inputs.h"

namespace Nauvik::Import {

struct MailBytes {
  std::string bytes;
  bool changed = false;  // differs from the file on disk: it needs a temporary copy
};

// Fills `out` for `item`. Returns false with `error` set when the source
// cannot be read. Never throws for malformed mail.
bool LoadMail(const ImportItem& item, bool keep_line_ends, MailBytes* out, std::string* error);

}  // namespace Nauvik::Import
