#pragma once

// The header summary of a stored message: the mail's header block cut out
// and parsed (ByteStream::ParseMail), header bodies decoded to UTF-8
// (DecodeHeaderValue) and to UTF-16 within a column's limit
// (GetHeaderContent), and the base subject the IMAP server sorts by
// (MakeSortSubject). MakeHeaderSummary gathers the columns of the message
// record in one place. All functions are thread-safe; none keeps state.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "content/MimeMessage.h"
#include "foundation/NTime.h"

namespace Nauvik {

namespace ByteStream {

// Cuts the header block (everything before the first "\r\n\r\n", or all of
// the bytes) out of a mail held in memory and parses it into `message`.
// Returns 0, or kImapInvalidMailContent (1004) when the length is 0, in
// which case nothing is parsed.
[[nodiscard]] int32_t ParseMail(const char* bytes, size_t length, Mime::MimeMessage& message);

}  // namespace ByteStream

// One piece of a header line: plain text (charset empty, decoded empty) or
// an encoded word (text still encoded; decoded empty when its encoding is
// unknown or its decoding failed).
struct HeaderSegment {
  std::string charset;
  std::string text;
  std::string decoded;
};

// Cuts one header line (no "\r\n" inside) into segments. A "=?" that is not
// followed by "?", "?" and "?=" ends the line: it and the rest are dropped.
std::vector<HeaderSegment> SplitHeaderLine(std::string_view line);

// A raw field body (folded lines, encoded words, 8-bit bytes) as one UTF-8
// line. Unencoded 8-bit text is read as ISO-8859-1; an encoded word is
// converted from its charset, and one that cannot be decoded keeps its
// encoded text. Never fails.
std::string DecodeHeaderValue(std::string_view raw);

// The decoded body of the first field `field` as UTF-16, ending at its first
// NUL and cut to `limit` bytes of its UTF-8 form (0: no limit). "" when the field is absent.
// When the conversion fails the result is "" and a WARNING is logged.
std::u16string GetHeaderContent(const std::string& field, const Mime::MimeMessage& message,
                                size_t limit);

// The base subject of a UTF-8 subject: lower-cased, without "Re:", "Fwd:",
// "Fw:" leaders, "[list]" blobs, "(fwd)" trailers or a "[fwd: ...]" wrapper.
std::string MakeSortSubject(const std::string& subject);

// Column limits of the message record, in bytes of decoded UTF-8 text
// (kSortSubjectLimit counts UTF-16 code units).
inline constexpr size_t kToLimit = 475;
inline constexpr size_t kCcLimit = 950;
inline constexpr size_t kBccLimit = 475;
inline constexpr size_t kFromLimit = 475;
inline constexpr size_t kMessageIdLimit = 95;
inline constexpr size_t kSubjectLimit = 190;
inline constexpr size_t kSortSubjectLimit = 35;

// The header summary columns of a message record. A field that is absent
// leaves its column unset (nullopt). Every column's text ends at its first
// NUL, raw or decoded, so that the row can be written as SQL text.
struct HeaderSummary {
  // The current UTC time, replaced by the Date field when that reads.
  KAVRO::NTime sent;
  std::optional<std::u16string> to;
  std::optional<std::u16string> cc;
  std::optional<std::u16string> bcc;
  std::optional<std::u16string> from;
  std::optional<std::string> message_id;  // raw, undecoded, first 95 bytes
  std::optional<std::u16string> subject;
  std::optional<std::u16string> sort_subject;
};

HeaderSummary MakeHeaderSummary(const Mime::MimeMessage& message);

// Conversions used above, exposed for their tests: the same results as the
// ICU conversions of content/Charsets.h, computed directly where the input
// allows it (ISO-8859-1, and UTF-8 or ASCII that is well formed).
void AppendAsUtf8(const std::string& charset, std::string_view bytes, std::string* out);
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out, std::string* error_name);

}  // namespace Nauvik
