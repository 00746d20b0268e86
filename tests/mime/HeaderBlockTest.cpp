#include "mime/HeaderBlock.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace Nauvik::MimeParse {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields FieldsOf(const HeaderBlock& block) {
  Fields out;
  for (const HeaderField& f : block.fields()) out.emplace_back(f.name, f.body);
  return out;
}

struct BlockCase {
  const char* what;
  std::string input;
  Fields fields;
  size_t end_offset;
};

TEST(HeaderBlock, SplitsFieldsAsMailWritesThem) {
  using namespace std::string_literals;
  const std::vector<BlockCase> cases = {
      {"two fields, empty line, body", "Subject: Hello\r\nFrom: a@b\r\n\r\nBody: no\r\n",
       {{"Subject", "Hello"}, {"From", "a@b"}}, 29},
      {"folding keeps line breaks and indentation",
       "Subject: Hello\r\n World\r\n\tagain\r\nX: y\r\n",
       {{"Subject", "Hello\r\n World\r\n\tagain"}, {"X", "y"}}, 38},
      {"LF-only line ends, empty line ends the block", "Subject: a\n b\nTo: c\n\nX: body\n",
       {{"Subject", "a\n b"}, {"To", "c"}}, 21},
      {"white space before the colon belongs to no one", "Subject \t: x\r\n",
       {{"Subject", "x"}}, 14},
      {"a line without colon is no field", "From someone Tue Jan 1\r\nSubject: x\r\n",
       {{"Subject", "x"}}, 36},
      {"continuation before any field is ignored", " lead\r\nA: b\r\n", {{"A", "b"}}, 13},
      {"trailing white space of the body goes", "A:   b  \t\r\n", {{"A", "b"}}, 11},
      {"empty bodies", "A:\r\nB: \r\nC: c\r\n", {{"A", ""}, {"B", ""}, {"C", "c"}}, 15},
      {"NUL and 8-bit bytes are ordinary", "A: x\0y\xe6\r\n"s, {{"A", "x\0y\xe6"s}}, 9},
      {"no final line end", "A: b", {{"A", "b"}}, 4},
      {"body starting on the next line keeps that line break", "A: \r\n  b\r\n",
       {{"A", "\r\n  b"}}, 10},
      {"bare CR stays inside a body", "A: b\rc\r\n", {{"A", "b\rc"}}, 8},
      {"colon only in a folded line does not make a field", "junk\r\n a: b\r\nC: d\r\n",
       {{"C", "d"}}, 19},
      {"empty name is no field", ": nothing\r\nA: b\r\n", {{"A", "b"}}, 17},
      {"only an empty line", "\r\nA: b\r\n", {}, 2},
      {"a colon inside the body stays", "Date: Tue, 15 Nov 1994 08:12:31 +0100\r\n",
       {{"Date", "Tue, 15 Nov 1994 08:12:31 +0100"}}, 39},
  };
  for (const BlockCase& c : cases) {
    HeaderBlock block;
    block.Parse(c.input);
    EXPECT_EQ(FieldsOf(block), c.fields) << c.what;
    EXPECT_EQ(block.end_offset(), c.end_offset) << c.what;
  }
}

TEST(HeaderBlock, FieldsAreViewsIntoTheInputAtTheirOffsets) {
  const std::string input = "Received: from x\r\n by y\r\nSubject:  Hi there \r\n\r\n";
  HeaderBlock block;
  block.Parse(input);
  ASSERT_EQ(block.fields().size(), 2u);
  const HeaderField& subject = block.fields()[1];
  EXPECT_EQ(subject.offset, 25u);
  EXPECT_EQ(subject.name.data(), input.data() + 25);
  EXPECT_EQ(subject.body.data(), input.data() + 35);
  EXPECT_EQ(subject.body, "Hi there");
  EXPECT_TRUE(block.has_empty_line());
}

TEST(HeaderBlock, FindsFirstFieldIgnoringAsciiCase) {
  HeaderBlock block;
  block.Parse("Received: a\r\nMESSAGE-ID: <1@x>\r\nreceived: b\r\nContent-Type: text/plain\r\n");
  ASSERT_NE(block.Find("message-id"), nullptr);
  EXPECT_EQ(block.Find("Message-Id")->body, "<1@x>");
  EXPECT_EQ(block.Find("RECEIVED")->body, "a");
  EXPECT_EQ(block.Count("received"), 2u);
  EXPECT_EQ(block.Count("content-type"), 1u);
  EXPECT_EQ(block.Find("Subject"), nullptr);
  // ASCII folding only: 0xC9 is no "I" in disguise.
  EXPECT_EQ(block.Find("Message-\xC9" "D"), nullptr);
}

TEST(HeaderBlock, StopsRecordingAtTheFieldCap) {
  std::string input;
  for (size_t i = 0; i < HeaderBlock::kMaxFields + 100; ++i) input += "a:b\n";
  input += "Subject: late\n";
  HeaderBlock block;
  block.Parse(input);
  EXPECT_EQ(block.fields().size(), HeaderBlock::kMaxFields);
  EXPECT_TRUE(block.truncated());
  EXPECT_EQ(block.Find("Subject"), nullptr);
}

}  // namespace
}  // namespace Nauvik::MimeParse
