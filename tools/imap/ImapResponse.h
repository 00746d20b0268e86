#pragma once

// Reading what an IMAP server sends: one whole response (its lines with the
// literals between them), and the values in it. Everything here is bounded,
// since the server is not ours: a line, a literal and the nesting of
// parenthesised lists each have a limit, and crossing one is a protocol
// error, never an allocation failure or a stack overflow.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/imap/ImapConnection.h"

namespace Nauvik::Import {

// One response: its text with "{n}" where each literal was, and the
// literals' bytes in order.
struct ImapResponse {
  std::string text;
  std::vector<std::string> literals;
};

// Reads one response. A literal longer than `max_literal` ends the read with
// an error (the connection is then out of step and must be closed).
bool ReadImapResponse(ImapConnection* connection, uint64_t max_literal, ImapResponse* response,
                      std::string* error);

// One value of a response: atom, string (quoted or literal), NIL or a
// parenthesised list.
struct ImapValue {
  enum class Kind { kAtom, kString, kNil, kList } kind = Kind::kNil;
  std::string text;
  std::vector<ImapValue> list;
};

// Reads values from a response's text; a literal's "{n}" marker takes the
// next of the response's literals (moved out of `literals`), in order.
class ImapValueParser {
 public:
  static constexpr int kMaxDepth = 32;

  ImapValueParser(std::string_view text, std::vector<std::string>* literals)
      : text_(text), literals_(literals) {}

  // False at the end of the text, or when what follows is not a value.
  bool Next(ImapValue* v) { return Parse(v, 0); }
  std::string_view Rest();

 private:
  bool Parse(ImapValue* v, int depth);
  void SkipSpaces();

  std::string_view text_;
  std::vector<std::string>* literals_;
  size_t pos_ = 0;
  size_t next_literal_ = 0;
};

// "[CODE args] text" at the start of a status response's text: CODE in
// upper case, "" when there is none.
std::string ImapResponseCode(std::string_view text, std::string* args);

// A decimal number that fits; false for anything else (sign, spaces, empty).
bool ParseImapNumber(std::string_view text, uint64_t* value);
bool ParseImapNumber(std::string_view text, uint32_t* value);

std::string ImapUpper(std::string_view s);

// Server text made safe for a terminal or a report: control characters
// become '?', and it is cut at `limit` bytes.
std::string ImapPrintable(std::string_view text, size_t limit = 300);

}  // namespace Nauvik::Import
