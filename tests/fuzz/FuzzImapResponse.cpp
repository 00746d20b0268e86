// The IMAP response reader and value parser over anything a server may send: both stay
// within their bounds, and text made printable holds no control character.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/imap/ImapResponse.h"

namespace {

void Walk(const Nauvik::Import::ImapValue& v, int depth) {
  if (depth > Nauvik::Import::ImapValueParser::kMaxDepth) __builtin_trap();
  for (const auto& item : v.list) Walk(item, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Nauvik::Import;
  constexpr uint64_t kMaxLiteral = 4096;
  ImapConnection connection;
  connection.Feed(std::string(reinterpret_cast<const char*>(data), size));
  ImapResponse r;
  std::string error;
  while (ReadImapResponse(&connection, kMaxLiteral, &r, &error)) {
    if (r.text.size() > ImapConnection::kMaxLine) __builtin_trap();
    for (const std::string& literal : r.literals) {
      if (literal.size() > kMaxLiteral) __builtin_trap();
    }
    ImapValueParser parser(r.text, &r.literals);
    ImapValue v;
    while (parser.Next(&v)) Walk(v, 0);
    std::string args;
    ImapResponseCode(r.text, &args);
    for (char c : ImapPrintable(r.text)) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) __builtin_trap();
    }
    uint64_t n;
    ParseImapNumber(r.text, &n);
  }
  return 0;
}
