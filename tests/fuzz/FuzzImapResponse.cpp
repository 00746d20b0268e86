// The IMAP response reader and value parser over anything a server may
// send: whatever the bytes, the reader stops within its bounds (no literal
// beyond the limit, no line beyond the line cap), the parser within its
// depth, and text made printable holds no control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/imap/ImapResponse.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void Walk(const Nauvik::Import::ImapValue& v, int depth) {
  Check(depth <= Nauvik::Import::ImapValueParser::kMaxDepth);
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
    Check(r.text.size() <= ImapConnection::kMaxLine);
    for (const std::string& literal : r.literals) Check(literal.size() <= kMaxLiteral);
    ImapValueParser parser(r.text, &r.literals);
    ImapValue v;
    while (parser.Next(&v)) Walk(v, 0);
    std::string args;
    ImapResponseCode(r.text, &args);
    for (char c : ImapPrintable(r.text)) {
      Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    uint64_t n;
    ParseImapNumber(r.text, &n);
  }
  return 0;
}
