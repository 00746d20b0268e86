#include "mime/Codecs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/mime/ExactBuffer.h"

namespace Nauvik::MimeParse {
namespace {

struct CodecCase {
  const char* in;
  bool ok;
  const char* out;  // expected output (what was decoded before a fault, too)
};

TEST(Base64Decode, AcceptsWellFormedAndReportsFaults) {
  const std::vector<CodecCase> cases = {
      {"SGVsbG8=", true, "Hello"},
      {"SGVs\r\nbG8=", true, "Hello"},
      {" S G V s b G 8 = ", true, "Hello"},
      {"SGVsbG8", true, "Hello"},
      {"SGVsbA==", true, "Hell"},
      {"SGVsbA", true, "Hell"},
      {"", true, ""},
      {"S", false, ""},
      {"SGV$", false, ""},
      {"SG=x", false, ""},
      {"SGVsbG8=SGVs", false, ""},
      {"=", false, ""},
      {"S===", false, ""},
      {"SGVsbG8= \r\n", true, "Hello"},
  };
  for (const CodecCase& c : cases) {
    std::string out;
    const bool ok = Base64Decode(c.in, &out).ok();
    EXPECT_EQ(ok, c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(Base64Decode, DecodesEveryByteValue) {
  // All 256 byte values, encoded by hand-checked rule: 3 bytes -> 4 sextets.
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    encoded.push_back(alphabet[(v >> 18) & 63]);
    encoded.push_back(alphabet[(v >> 12) & 63]);
    encoded.push_back(i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=');
    encoded.push_back(i + 2 < bytes.size() ? alphabet[v & 63] : '=');
  }
  std::string out;
  ASSERT_TRUE(Base64Decode(encoded, &out).ok());
  EXPECT_EQ(out, bytes);
}

TEST(QuotedPrintableDecode, BodyRules) {
  const std::vector<CodecCase> cases = {
      {"a=3Db", true, "a=b"},
      {"soft=\r\nbreak", true, "softbreak"},
      {"soft=  \r\nbreak", true, "softbreak"},
      {"soft=\nbreak", true, "softbreak"},
      {"trail  \r\nx", true, "trail\r\nx"},
      {"in side", true, "in side"},
      {"=e6=F8", true, "\xE6\xF8"},
      {"end=", true, "end"},
      {"under_score", true, "under_score"},
      {"=4", false, ""},
      {"=ZZ", false, ""},
      {"a = b", false, ""},
  };
  for (const CodecCase& c : cases) {
    std::string out;
    const bool ok = QuotedPrintableDecode(c.in, QpMode::kBody, &out).ok();
    EXPECT_EQ(ok, c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
}

TEST(QuotedPrintableDecode, HeaderUnderscoreIsSpaceButEscapedUnderscoreIsNot) {
  std::string out;
  ASSERT_TRUE(QuotedPrintableDecode("a_b=5F=20c", QpMode::kHeader, &out).ok());
  EXPECT_EQ(out, "a b_ c");
  out.clear();
  EXPECT_FALSE(QuotedPrintableDecode("abc=", QpMode::kHeader, &out).ok());
}

TEST(Codecs, EveryCutStaysInsideItsInput) {
  const std::string b64 = "SGVs bG8g\r\nd29y bGQ=";
  const std::string qp = "caf=C3=A9 =\r\nline  \r\n=4";
  for (const std::string* s : {&b64, &qp}) {
    for (size_t n = 0; n <= s->size(); ++n) {
      Testing::ExactBuffer buffer(std::string_view(*s).substr(0, n));
      std::string out;
      (void)Base64Decode(buffer.view(), &out);
      EXPECT_LE(out.size(), n);
      out.clear();
      (void)QuotedPrintableDecode(buffer.view(), QpMode::kBody, &out);
      EXPECT_LE(out.size(), n);
      out.clear();
      (void)QuotedPrintableDecode(buffer.view(), QpMode::kHeader, &out);
    }
  }
}

}  // namespace
}  // namespace Nauvik::MimeParse
