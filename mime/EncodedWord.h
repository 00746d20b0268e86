#pragma once

// RFC 2047 encoded words: "=?charset?B?text?=" and "=?charset?Q?text?=",
// with the RFC 2231 language suffix ("=?utf-8*en?Q?...?=").

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "mime/Status.h"

namespace Nauvik::MimeParse {

struct EncodedWord {
  std::string_view charset;   // without any "*language"
  std::string_view language;  // "" when none
  char encoding = 0;          // 'B' or 'Q', upper-cased
  std::string_view text;      // still encoded
  size_t begin = 0;           // offset of "=?" in the searched text
  size_t end = 0;             // offset just past "?="
};

// The first well-formed encoded word at or after `from`: charset and text
// without white space or "?", encoding B or Q of either case. Views point
// into `text`.
std::optional<EncodedWord> FindEncodedWord(std::string_view text, size_t from = 0);

// Appends the word's decoded bytes (in its charset) to *out.
Status DecodeEncodedWord(const EncodedWord& word, std::string* out);

}  // namespace Nauvik::MimeParse
