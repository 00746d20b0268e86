#include "content/HeaderSummary.h"

#include <cstring>

#include "content/Charsets.h"
#include "foundation/ResultCodes.h"
#include "log/Log.h"
#include "mime/Ascii.h"
#include "mime/Codecs.h"

namespace Nauvik {

using MimeParse::EqualsIgnoreCase;

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are not).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  const size_t left = s.size() - i;
  const auto cont = [&](size_t k) { return (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !cont(i + 1) || !cont(i + 2)) return 0;
    if (c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
    if (c == 0xF0 && b(i + 1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(i + 1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

const std::string kLatin1 = "iso-8859-1";

// A header text as the store keeps it: up to its first NUL. The columns are
// zero-terminated texts, and a NUL inside SQL text would cut the statement
// short and lose the mail.
std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

const std::string kUtf8Name = "UTF-8";

}  // namespace

void AppendAsUtf8(const std::string& charset, std::string_view bytes, std::string* out) {
  if (charset == kLatin1) {
    // ICU's ISO-8859-1 maps every byte to the code point of the same value.
    for (char ch : bytes) {
      const unsigned char c = static_cast<unsigned char>(ch);
      if (c < 0x80) {
        out->push_back(ch);
      } else {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
    return;
  }
  if ((EqualsIgnoreCase(charset, "utf-8") && IsValidUtf8(bytes)) ||
      (EqualsIgnoreCase(charset, "us-ascii") && IsAscii(bytes))) {
    out->append(bytes);
    return;
  }
  std::string converted;
  std::string error_name;
  if (ConvertToUtf8(charset, bytes, &converted, &error_name)) {
    out->append(converted);
  } else {
    out->append(bytes);  // an unknown charset: the bytes stay as they are
  }
}

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out, std::string* error_name) {
  if (!IsValidUtf8(utf8)) return ConvertToUtf16(kUtf8Name, utf8, out, error_name);
  std::u16string result;
  result.reserve(utf8.size());
  const auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(utf8[k])); };
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = Utf8SequenceLength(utf8, i);
    char32_t cp;
    if (n == 1) {
      cp = b(i);
    } else if (n == 2) {
      cp = ((b(i) & 0x1F) << 6) | (b(i + 1) & 0x3F);
    } else if (n == 3) {
      cp = ((b(i) & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    } else {
      cp = ((b(i) & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
           (b(i + 3) & 0x3F);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  *out = std::move(result);
  return true;
}

namespace ByteStream {

int32_t ParseMail(const char* bytes, size_t length, Mime::MimeMessage& message) {
  if (LogLevelAtLeast(kLogDebug4)) Log(kLogDebug4, false, "ByteStream::ParseMail() start.");
  if (length == 0) return IMAP::kImapInvalidMailContent;
  const std::string_view mail(bytes, length);
  const size_t h = mail.find("\r\n\r\n");
  std::string block;
  const std::string_view head = h == std::string_view::npos ? mail : mail.substr(0, h);
  block.reserve(head.size() + 4);
  block.append(head);
  block.append("\r\n\r\n");
  message.ParseHeaders(std::move(block));
  return IMAP::kImapOk;
}

}  // namespace ByteStream

std::vector<HeaderSegment> SplitHeaderLine(std::string_view line) {
  std::vector<HeaderSegment> segments;
  size_t p = 0;
  while (p < line.size()) {
    const size_t start = line.find("=?", p);
    if (start == std::string_view::npos) {
      segments.push_back(HeaderSegment{{}, std::string(line.substr(p)), {}});
      break;
    }
    if (start != 0) segments.push_back(HeaderSegment{{}, std::string(line.substr(p, start - p)), {}});
    const size_t q1 = line.find('?', start + 2);
    const size_t q2 = q1 == std::string_view::npos ? q1 : line.find('?', q1 + 1);
    const size_t end = q2 == std::string_view::npos ? q2 : line.find("?=", q2 + 1);
    if (end == std::string_view::npos) break;  // the broken word and the rest are dropped

    const std::string_view inner = line.substr(start + 2, end - start - 2);
    HeaderSegment segment;
    // Exactly three parts: charset ? encoding ? text.
    const size_t a = inner.find('?');
    const size_t b = inner.find('?', a + 1);
    if (inner.find('?', b + 1) == std::string_view::npos) {
      segment.charset.assign(inner.substr(0, a));
      segment.text.assign(inner.substr(b + 1));
      const std::string_view encoding = inner.substr(a + 1, b - a - 1);
      bool ok = false;
      if (encoding.size() == 1 && MimeParse::ToUpperAscii(encoding[0]) == 'B') {
        ok = MimeParse::Base64Decode(segment.text, &segment.decoded).ok();
      } else if (encoding.size() == 1 && MimeParse::ToUpperAscii(encoding[0]) == 'Q') {
        ok = MimeParse::QuotedPrintableDecode(segment.text, MimeParse::QpMode::kHeader,
                                              &segment.decoded)
                 .ok();
      }
      if (!ok) segment.decoded.clear();
    }
    segments.push_back(std::move(segment));
    p = end + 2;
  }
  return segments;
}

std::string DecodeHeaderValue(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  size_t pos = 0;
  while (pos <= raw.size()) {
    size_t eol = raw.find("\r\n", pos);
    if (eol == std::string_view::npos) eol = raw.size();
    const std::string_view line = raw.substr(pos, eol - pos);
    if (line.find("=?") == std::string_view::npos) {
      AppendAsUtf8(kLatin1, line, &out);  // the common case: one plain segment
    } else {
      for (const HeaderSegment& s : SplitHeaderLine(line)) {
        if (!s.charset.empty() && !s.decoded.empty()) {
          AppendAsUtf8(s.charset, s.decoded, &out);
        } else {
          AppendAsUtf8(kLatin1, s.text, &out);
        }
      }
    }
    if (eol == raw.size()) break;
    pos = eol + 2;
  }
  return out;
}

std::u16string GetHeaderContent(const std::string& field, const Mime::MimeMessage& message,
                                size_t limit) {
  std::string value = DecodeHeaderValue(message.FieldBodyView(field));
  value.resize(UpToNul(value).size());  // a NUL may come from an encoded word too
  if (limit != 0 && value.size() > limit) value.resize(limit);
  std::u16string result;
  std::string error_name;
  if (!Utf8ToUtf16(value, &result, &error_name)) {
    if (LogLevelAtLeast(kLogWarning)) {
      Log(kLogWarning, false,
          "GetHeaderContent(): Unable to get header content for " + field + ". Error: " +
              error_name);
    }
    return std::u16string();
  }
  return result;
}

namespace {

// Literal match at `pos`; the text is lower-cased already.
bool MatchAt(std::string_view text, size_t pos, std::string_view literal) {
  return pos <= text.size() && text.size() - pos >= literal.size() &&
         text.compare(pos, literal.size(), literal) == 0;
}

// A blob at `pos`: "[", everything up to the first "]", the "]" and the
// spaces after it. Returns the offset after it, or npos.
size_t BlobEnd(std::string_view text, size_t pos) {
  if (pos >= text.size() || text[pos] != '[') return std::string_view::npos;
  const size_t close = text.find(']', pos + 1);
  if (close == std::string_view::npos) return std::string_view::npos;
  size_t end = close + 1;
  while (end < text.size() && text[end] == ' ') ++end;
  return end;
}

// A reply/forward marker at `pos`: "re", "fwd" or "fw", spaces, at most one
// blob, ":". Returns the offset after it, or npos.
size_t MarkerEnd(std::string_view text, size_t pos) {
  for (std::string_view word : {"re", "fwd", "fw"}) {
    if (!MatchAt(text, pos, word)) continue;
    size_t i = pos + word.size();
    while (i < text.size() && text[i] == ' ') ++i;
    const size_t blob = BlobEnd(text, i);
    if (blob != std::string_view::npos) i = blob;
    if (i < text.size() && text[i] == ':') return i + 1;
  }
  return std::string_view::npos;
}

// A leader at the start: one space, or blobs followed by a marker.
size_t LeaderEnd(std::string_view text) {
  if (!text.empty() && text[0] == ' ') return 1;
  size_t i = 0;
  for (;;) {
    const size_t marker = MarkerEnd(text, i);
    if (marker != std::string_view::npos) return marker;
    const size_t blob = BlobEnd(text, i);
    if (blob == std::string_view::npos) return std::string_view::npos;
    i = blob;
  }
}

}  // namespace

std::string MakeSortSubject(const std::string& subject) {
  // 1. Tabs become spaces, runs of spaces one space. 2. Lower case: ASCII,
  // and the Norwegian capitals in their UTF-8 form (C3 85, C3 86, C3 98).
  std::string text;
  text.reserve(subject.size());
  for (size_t i = 0; i < subject.size(); ++i) {
    char c = subject[i] == '\t' ? ' ' : subject[i];
    if (c == ' ' && !text.empty() && text.back() == ' ') continue;
    if (c == '\xC3' && i + 1 < subject.size()) {
      const char next = subject[i + 1];
      if (next == '\x85' || next == '\x86' || next == '\x98') {
        text.push_back(c);
        text.push_back(static_cast<char>(next + 0x20));
        ++i;
        continue;
      }
    }
    text.push_back(MimeParse::ToLowerAscii(c));
  }

  for (;;) {
    // 3. Trailers.
    for (;;) {
      if (text.size() >= 5 && text.compare(text.size() - 5, 5, "(fwd)") == 0) {
        text.resize(text.size() - 5);
      } else if (!text.empty() && text.back() == ' ') {
        text.pop_back();
      } else {
        break;
      }
    }
    // 4. Leaders and blobs until a pass changes nothing.
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t end; (end = LeaderEnd(text)) != std::string::npos;) {
        text.erase(0, end);
        changed = true;
      }
      for (size_t end; (end = BlobEnd(text, 0)) != std::string::npos && end < text.size();) {
        text.erase(0, end);
        changed = true;
      }
    }
    // 5. A "[fwd: ...]" wrapper.
    if (MatchAt(text, 0, "[fwd:") && text.back() == ']') {
      text = text.substr(5, text.size() - 6);
      continue;
    }
    return text;
  }
}

HeaderSummary MakeHeaderSummary(const Mime::MimeMessage& message) {
  HeaderSummary s;
  s.sent.SetNow(true);
  (void)s.sent.ParseMailDate(std::string(UpToNul(message.FieldBodyView("Date"))));
  if (message.HasField("To")) s.to = GetHeaderContent("To", message, kToLimit);
  if (message.HasField("Cc")) s.cc = GetHeaderContent("Cc", message, kCcLimit);
  if (message.HasField("Bcc")) s.bcc = GetHeaderContent("Bcc", message, kBccLimit);
  if (message.HasField("From")) s.from = GetHeaderContent("From", message, kFromLimit);
  if (message.HasField("Message-ID")) {
    const std::string_view id = UpToNul(message.FieldBodyView("Message-ID"));
    s.message_id = std::string(id.substr(0, kMessageIdLimit));
  }
  if (message.HasField("Subject")) {
    s.subject = GetHeaderContent("Subject", message, kSubjectLimit);
    // The full subject to UTF-8 and back; the two conversions' verdicts are
    // not checked, so a failure gives an empty sort subject.
    const std::u16string full = GetHeaderContent("Subject", message, 0);
    std::string utf8;
    std::string error_name;
    (void)ConvertFromUtf16(kUtf8Name, full, &utf8, &error_name);
    std::u16string sort;
    (void)Utf8ToUtf16(MakeSortSubject(utf8), &sort, &error_name);
    if (sort.size() > kSortSubjectLimit) sort.resize(kSortSubjectLimit);
    s.sort_subject = std::move(sort);
  }
  return s;
}

}  // namespace Nauvik
