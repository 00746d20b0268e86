#include "mime/HeaderBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace Nauvik::MimeParse {
namespace {

TEST(HeaderBlock, SplitsFieldsAsMailWritesThem) {
  using namespace std::string_literals;
  // Fields as "name=body|", then "@" and the offset where the block ends.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Subject: Hello\r\nFrom: a@b\r\n\r\nBody: no\r\n", "Subject=Hello|From=a@b|@29"},
      // Folding keeps line breaks and indentation.
      {"Subject: Hello\r\n World\r\n\tagain\r\nX: y\r\n",
       "Subject=Hello\r\n World\r\n\tagain|X=y|@38"},
      {"Subject: a\n b\nTo: c\n\nX: body\n", "Subject=a\n b|To=c|@21"},  // LF-only line ends
      {"From someone Tue Jan 1\r\nSubject: x\r\n", "Subject=x|@36"},  // no colon: no field
      {" lead\r\nA: b\r\n", "A=b|@13"},  // continuation before any field
      {"A:\r\nB: \r\nC: c\r\n", "A=|B=|C=c|@15"}, {"Subject \t: x\r\n", "Subject=x|@14"},
      {"A: x\0y\xe6\r\n"s, "A=x\0y\xe6|@9"s},  // NUL and 8-bit bytes are ordinary
      {"A: \r\n  b\r\n", "A=\r\n  b|@10"},  // body starting on the next line keeps that break
      {"junk\r\n a: b\r\nC: d\r\n", "C=d|@19"},  // a colon only in a folded line
      {": nothing\r\nA: b\r\n", "A=b|@17"}, {"\r\nA: b\r\n", "@2"}, {"A: b", "A=b|@4"},
      {"A:   b  \t\r\n", "A=b|@11"},  {"A: b\rc\r\n", "A=b\rc|@8"},
      {"Date: Tue, 15 Nov 1994 08:12:31 +0100\r\n", "Date=Tue, 15 Nov 1994 08:12:31 +0100|@39"},
  };
  for (const auto& [input, expected] : cases) {
    HeaderBlock block;
    block.Parse(input);
    std::string text;
    for (size_t i = 0; i < block.size(); ++i) {
      text += std::string(block.field(i).name) + "=" + std::string(block.field(i).body) + "|";
    }
    EXPECT_EQ(text + "@" + std::to_string(block.end_offset()), expected) << input;
  }
}

TEST(HeaderBlock, FindsTheFirstFieldIgnoringAsciiCaseAsAViewIntoTheInput) {
  const std::string input = "Received: a\r\n x\r\nMESSAGE-ID:  <1@x> \r\nreceived: b\r\n\r\n";
  HeaderBlock block;
  block.Parse(input);
  EXPECT_TRUE(block.has_empty_line());
  const std::optional<HeaderField> id = block.Find("Message-Id");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->offset, 17u);
  EXPECT_EQ(id->name.data(), input.data() + 17);
  EXPECT_EQ(id->body.data(), input.data() + 30);
  EXPECT_EQ(id->body, "<1@x>");
  EXPECT_EQ(block.Find("RECEIVED")->body, "a\r\n x");
  EXPECT_EQ(block.Count("received"), 2u);
  EXPECT_FALSE(block.Find("Subject"));
  EXPECT_FALSE(block.Find("Message-\xC9" "D"));  // ASCII folding only
}

}  // namespace
}  // namespace Nauvik::MimeParse
