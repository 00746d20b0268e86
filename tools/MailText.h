#pragma once

// Byte-level helpers of the importer: line ends, mbox quoting, header lookup,
// internal dates and Maildir folder names. All functions are pure and
// thread-safe; none of them throws on malformed input.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Nauvik::Import {

// ASCII letters compared without regard to case; other bytes as they are.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix);

// What happens to the lines of a mail on their way to the library.
struct LineRewrite {
  bool unquote_from = false;  // mboxrd: a line ">...>From " loses one '>'
  bool crlf = false;          // a bare LF becomes CRLF; CRLF pairs and lone CRs stay
};

// Streams the rewritten text of `in` to `sink` in order, in pieces that
// point into `in` (or at a static "\r\n"), so that a large mail is never
// copied into memory. Lines end after each LF; the text need not end in one.
void RewriteLines(std::string_view in, LineRewrite how,
                  const std::function<void(std::string_view)>& sink);

// True when `in` holds an LF that no CR precedes.
bool HasBareLineFeed(std::string_view in);

// Turns every bare LF into CRLF; CRLF pairs and lone CRs stay. Returns true
// when anything was added.
bool ConvertToCrlf(std::string_view in, std::string* out);

// Undoes mboxrd quoting: a line that starts with one or more '>' followed by
// "From " loses one '>'. Works on LF and CRLF text alike.
std::string UnquoteMboxFrom(std::string_view in);

// True for the envelope line that starts an mbox message: "From ", a sender,
// then an asctime date ("From a@b Thu Mar  5 10:00:00 2026", a zone may
// follow the time or the year). A header line such as "From  :<x@y>" or a
// body line "From here on" is not one. `line` may end in CR or CRLF/LF.
bool IsEnvelopeLine(std::string_view line);

// The unfolded body of the first header field `name` (ASCII case ignored),
// with surrounding white space removed; nullopt when the header block has no
// such field. Only the header block (up to the first empty line) is read.
std::optional<std::string> HeaderField(std::string_view mail, std::string_view name);

// An IMAP INTERNALDATE ("17-Jul-1996 02:44:25 -0700") as seconds since
// 1970; false when unreadable.
bool ParseImapInternalDate(const std::string& text, int64_t* seconds);

// RFC 822 date text in UTC ("Thu, 5 Mar 2026 10:00:00 +0000") for seconds
// since 1970-01-01.
std::string Rfc822DateFromEpoch(int64_t seconds);

// The date of an mbox "From " line ("From sender Thu Mar  5 10:00:00 2026",
// optionally with a zone after the year) as RFC 822 text; "" when the line
// carries no readable date.
std::string DateFromMboxFromLine(std::string_view line);

// Seconds since 1970 that a Maildir file name starts with ("1700000000.M1P2.host");
// nullopt when the name does not start with digits followed by '.'.
std::optional<int64_t> MaildirDeliveryTime(std::string_view file_name);

// Flags of a Maildir file name: the letters after ":2,". Seen (S) and draft
// (D) are what the store takes; every other letter (R, F, T, P and the
// keyword letters a-z) is returned in `other`, one character each.
struct MaildirFlags {
  bool seen = false;
  bool draft = false;
  std::string other;
};
MaildirFlags ParseMaildirFlags(std::string_view file_name);

// Decodes an IMAP modified UTF-7 name (RFC 3501: "&" base64 with "," for "/"
// up to "-", "&-" for "&") to UTF-8. nullopt when the name is not valid
// modified UTF-7; the caller then keeps the name as it is.
std::optional<std::string> DecodeModifiedUtf7(std::string_view name);

// FNV-1a 64-bit hash, used to recognise identical mail bytes in the journal.
// A hash of consecutive pieces passes each result on as `hash`.
constexpr uint64_t kContentHashStart = 1469598103934665603ULL;
uint64_t ContentHash(std::string_view bytes, uint64_t hash = kContentHashStart);

// Appends the UTF-8 form of one Unicode code point.
void AppendUtf8(uint32_t cp, std::string* out);

}  // namespace Nauvik::Import
