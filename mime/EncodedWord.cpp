#include "mime/EncodedWord.h"

#include "mime/Ascii.h"
#include "mime/Codecs.h"

namespace Nauvik::MimeParse {

namespace {

bool IsTokenByte(char c) {
  return !(IsWhite(c) || c == '?' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
}

}  // namespace

std::optional<EncodedWord> FindEncodedWord(std::string_view text, size_t from) {
  while (from < text.size()) {
    const size_t begin = text.find("=?", from);
    if (begin == std::string_view::npos) return std::nullopt;
    from = begin + 2;
    // charset
    size_t i = begin + 2;
    while (i < text.size() && IsTokenByte(text[i])) ++i;
    if (i == begin + 2 || i + 3 >= text.size() || text[i] != '?') continue;
    const std::string_view charset_part = text.substr(begin + 2, i - begin - 2);
    const char enc = ToUpperAscii(text[i + 1]);
    if ((enc != 'B' && enc != 'Q') || text[i + 2] != '?') continue;
    const size_t text_begin = i + 3;
    size_t j = text_begin;
    while (j < text.size() && text[j] != '?' && !IsWhite(text[j])) ++j;
    if (j + 1 >= text.size() || text[j] != '?' || text[j + 1] != '=') continue;
    EncodedWord w;
    const size_t star = charset_part.find('*');
    w.charset = charset_part.substr(0, star);
    if (star != std::string_view::npos) w.language = charset_part.substr(star + 1);
    if (w.charset.empty()) continue;
    w.encoding = enc;
    w.text = text.substr(text_begin, j - text_begin);
    w.begin = begin;
    w.end = j + 2;
    return w;
  }
  return std::nullopt;
}

Status DecodeEncodedWord(const EncodedWord& word, std::string* out) {
  if (word.encoding == 'B') return Base64Decode(word.text, out);
  if (word.encoding == 'Q') return QuotedPrintableDecode(word.text, QpMode::kHeader, out);
  return Status::Error("unknown encoding");
}

}  // namespace Nauvik::MimeParse
