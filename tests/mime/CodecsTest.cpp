#include "mime/Codecs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Nauvik::MimeParse {
namespace {

struct CodecCase {
  const char* in;
  bool ok;
  const char* out;
};

// Every cut of these inputs runs under the sanitizers in the fuzz replay.
TEST(Codecs, DecodeWellFormedInputAndReportFaults) {
  const std::vector<CodecCase> base64 = {
      {"SGVsbG8=", true, "Hello"}, {"SGVs\r\nbG8=", true, "Hello"}, {"SGVsbG8", true, "Hello"},
      {" S G V s b G 8 = ", true, "Hello"}, {"SGVsbA==", true, "Hell"}, {"SGVsbA", true, "Hell"},
      {"", true, ""}, {"+/+/", true, "\xFB\xFF\xBF"}, {"SGVsbG8= \r\n", true, "Hello"},
      {"S", false, ""}, {"SGV$", false, ""}, {"SG=x", false, ""}, {"SGVsbG8=SGVs", false, ""},
      {"=", false, ""}, {"S===", false, ""},
  };
  const std::vector<CodecCase> qp_body = {
      {"a=3Db", true, "a=b"}, {"soft=\r\nbreak", true, "softbreak"}, {"in side", true, "in side"},
      {"soft=  \r\nbreak", true, "softbreak"}, {"soft=\nbreak", true, "softbreak"},
      {"trail  \r\nx", true, "trail\r\nx"}, {"=e6=F8", true, "\xE6\xF8"}, {"end=", true, "end"},
      {"under_score", true, "under_score"}, {"=4", false, ""}, {"=ZZ", false, ""},
      {"a = b", false, ""},
  };
  const std::vector<CodecCase> qp_header = {{"a_b=5F=20c", true, "a b_ c"}, {"abc=", false, ""}};
  const auto check = [](const std::vector<CodecCase>& cases, auto decode) {
    for (const CodecCase& c : cases) {
      std::string out;
      EXPECT_EQ(decode(c.in, &out).ok(), c.ok) << c.in;
      if (c.ok) {
        EXPECT_EQ(out, c.out) << c.in;
      }
    }
  };
  check(base64, [](std::string_view in, std::string* out) { return Base64Decode(in, out); });
  check(qp_body, [](std::string_view in, std::string* out) {
    return QuotedPrintableDecode(in, QpMode::kBody, out);
  });
  check(qp_header, [](std::string_view in, std::string* out) {
    return QuotedPrintableDecode(in, QpMode::kHeader, out);
  });
}

}  // namespace
}  // namespace Nauvik::MimeParse
