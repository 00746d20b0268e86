#include "mime/Codecs.h"

#include <array>
#include <cstdint>

#include "mime/Ascii.h"

namespace Nauvik::MimeParse {

namespace {

constexpr int8_t kWhite = -2;
constexpr int8_t kPad = -3;
constexpr int8_t kBad = -1;

constexpr std::array<int8_t, 256> MakeBase64Table() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = kBad;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  t[' '] = t['\t'] = t['\r'] = t['\n'] = kWhite;
  t['='] = kPad;
  return t;
}

constexpr std::array<int8_t, 256> kBase64 = MakeBase64Table();

}  // namespace

Status Base64Decode(std::string_view in, std::string* out) {
  out->reserve(out->size() + in.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int count = 0;  // sextets in acc
  size_t i = 0;
  for (; i < in.size(); ++i) {
    const int8_t v = kBase64[static_cast<unsigned char>(in[i])];
    if (v >= 0) {
      acc = (acc << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        out->push_back(static_cast<char>(acc >> 16));
        out->push_back(static_cast<char>(acc >> 8));
        out->push_back(static_cast<char>(acc));
        acc = 0;
        count = 0;
      }
    } else if (v == kPad) {
      break;
    } else if (v == kBad) {
      return Status::Error("invalid base64 character");
    }
  }
  if (i < in.size()) {
    // Padding: only "=" and white space may follow, and it must complete a
    // group of two or three characters.
    for (size_t j = i; j < in.size(); ++j) {
      const int8_t v = kBase64[static_cast<unsigned char>(in[j])];
      if (v != kPad && v != kWhite) return Status::Error("data after base64 padding");
    }
    if (count < 2) return Status::Error("misplaced base64 padding");
  }
  if (count == 1) return Status::Error("truncated base64 group");
  if (count == 2) {
    out->push_back(static_cast<char>(acc >> 4));
  } else if (count == 3) {
    out->push_back(static_cast<char>(acc >> 10));
    out->push_back(static_cast<char>(acc >> 2));
  }
  return Status::Ok();
}

Status QuotedPrintableDecode(std::string_view in, QpMode mode, std::string* out) {
  out->reserve(out->size() + in.size());
  const bool body = mode == QpMode::kBody;
  size_t i = 0;
  while (i < in.size()) {
    const char c = in[i];
    if (c == '=') {
      if (i + 2 < in.size() && HexValue(in[i + 1]) >= 0 && HexValue(in[i + 2]) >= 0) {
        out->push_back(static_cast<char>(HexValue(in[i + 1]) * 16 + HexValue(in[i + 2])));
        i += 3;
        continue;
      }
      if (body) {
        // Soft line break, possibly after transport padding: "=  \r\n".
        size_t j = i + 1;
        while (j < in.size() && IsWsp(in[j])) ++j;
        if (j < in.size() && in[j] == '\n') {
          i = j + 1;
          continue;
        }
        if (j + 1 < in.size() && in[j] == '\r' && in[j + 1] == '\n') {
          i = j + 2;
          continue;
        }
        if (j == in.size()) return Status::Ok();  // a soft break at the very end
      }
      return Status::Error("invalid quoted-printable escape");
    }
    if (body && IsWsp(c)) {
      // Trailing white space of a line is dropped; inside a line it stays.
      size_t j = i;
      while (j < in.size() && IsWsp(in[j])) ++j;
      const bool at_line_end = j == in.size() || in[j] == '\n' ||
                               (in[j] == '\r' && j + 1 < in.size() && in[j + 1] == '\n');
      if (!at_line_end) out->append(in.substr(i, j - i));
      i = j;
      continue;
    }
    out->push_back(!body && c == '_' ? ' ' : c);
    ++i;
  }
  return Status::Ok();
}

}  // namespace Nauvik::MimeParse
