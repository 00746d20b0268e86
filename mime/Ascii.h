#pragma once

// Byte helpers shared by the parser. Mail headers are bytes, not text in any
// locale: case folding here touches ASCII letters only, so that 8-bit bytes
// of a header never compare equal to letters by accident.

#include <cstddef>
#include <string>
#include <string_view>

namespace Nauvik::MimeParse {

constexpr bool IsWsp(char c) { return c == ' ' || c == '\t'; }
constexpr bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
constexpr char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

constexpr bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

inline std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ToLowerAscii(c);
  return out;
}

// Removes white space (space, tab, CR, LF) from both ends.
constexpr std::string_view TrimWhite(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && IsWhite(s[b])) ++b;
  while (e > b && IsWhite(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Value of a hexadecimal digit of either case, or -1.
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace Nauvik::MimeParse
