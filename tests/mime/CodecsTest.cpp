#include "mime/Codecs.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace Nauvik::MimeParse {
namespace {

// Decodes by base64 ('b'), quoted-printable body ('q') or header ('h') rules;
// "!" when the codec reports a fault.
std::string Decode(char codec, std::string_view in) {
  std::string out;
  const QpMode mode = codec == 'q' ? QpMode::kBody : QpMode::kHeader;
  const Status s = codec == 'b' ? Base64Decode(in, &out) : QuotedPrintableDecode(in, mode, &out);
  return s.ok() ? out : "!";
}

// Every cut of such inputs runs under the sanitizers in the fuzz replay.
TEST(Codecs, DecodeWellFormedInputAndReportFaults) {
  const std::vector<std::tuple<char, const char*, const char*>> cases = {
      {'b', "SGVsbG8=", "Hello"},        {'b', "SGVs\r\nbG8=", "Hello"}, {'b', "SGVsbG8", "Hello"},
      {'b', " S G V s b G 8 = ", "Hello"}, {'b', "SGVsbA==", "Hell"}, {'b', "SGVsbA", "Hell"},
      {'b', "", ""}, {'b', "+/+/", "\xFB\xFF\xBF"}, {'b', "SGVsbG8= \r\n", "Hello"},
      {'b', "S", "!"}, {'b', "SGV$", "!"}, {'b', "SG=x", "!"}, {'b', "SGVsbG8=SGVs", "!"},
      {'b', "=", "!"}, {'b', "S===", "!"},
      {'q', "a=3Db", "a=b"}, {'q', "soft=\r\nbreak", "softbreak"}, {'q', "in side", "in side"},
      {'q', "soft=  \r\nbreak", "softbreak"}, {'q', "soft=\nbreak", "softbreak"},
      {'q', "trail  \r\nx", "trail\r\nx"}, {'q', "=e6=F8", "\xE6\xF8"}, {'q', "end=", "end"},
      {'q', "under_score", "under_score"}, {'q', "=4", "!"}, {'q', "=ZZ", "!"},
      {'q', "a = b", "!"}, {'h', "a_b=5F=20c", "a b_ c"}, {'h', "abc=", "!"},
  };
  for (const auto& [codec, in, out] : cases) EXPECT_EQ(Decode(codec, in), out) << codec << in;
}

}  // namespace
}  // namespace Nauvik::MimeParse
