#include "content/HeaderSummary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/Charsets.h"
#include "tests/mime/ExactBuffer.h"

namespace Nauvik {
namespace {

struct DecodeCase {
  const char* what;
  std::string raw;
  std::string utf8;
};

TEST(DecodeHeaderValue, DecodesRealHeaderBodies) {
  using namespace std::string_literals;
  const std::vector<DecodeCase> cases = {
      {"plain ASCII", "Hello", "Hello"},
      {"Q, lower-case letter, underscore", "=?iso-8859-1?q?Hello_World?=", "Hello World"},
      {"B in UTF-8", "=?UTF-8?B?w6bDuMOl?=", "\xC3\xA6\xC3\xB8\xC3\xA5"},
      {"b lower case", "=?utf-8?b?w6bDuMOl?=", "\xC3\xA6\xC3\xB8\xC3\xA5"},
      {"windows-1252 euro", "=?windows-1252?Q?=80_price?=", "\xE2\x82\xAC price"},
      {"ISO-8859-15 euro", "=?ISO-8859-15?Q?=A4?=", "\xE2\x82\xAC"},
      {"KOI8-R", "=?KOI8-R?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"ISO-2022-JP", "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {"Shift_JIS", "=?Shift_JIS?B?k/qWe4zq?=", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {"GB2312", "=?gb2312?B?1tDOxA==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"Big5", "=?big5?B?pKSk5Q==?=", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"ISO-8859-7 Q", "=?iso-8859-7?q?=C5=EB=EB=DC=E4=E1?=",
       "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1"},
      {"UTF-16BE", "=?UTF-16BE?B?A6kAbQBlAGcAYQ==?=", "\xCE\xA9mega"},
      {"text around a word", "Re: =?utf-8?q?caf=C3=A9?= now", "Re: caf\xC3\xA9 now"},
      {"adjacent words keep the space between them", "=?utf-8?q?a?= =?utf-8?q?b?=", "a b"},
      {"adjacent words without space", "=?utf-8?q?a?==?utf-8?q?b?=", "ab"},
      {"folding disappears, the indentation stays", "Hello\r\n World", "Hello World"},
      {"folded encoded words", "=?utf-8?q?one?=\r\n =?utf-8?q?two?=", "one two"},
      {"8-bit header byte is ISO-8859-1", "Bl\xE6r", "Bl\xC3\xA6r"},
      {"NUL byte passes", "a\0b"s, "a\0b"s},
      {"unknown encoding letter keeps its text", "=?utf-8?x?abc?=", "abc"},
      {"no closing ?= drops the rest of the line", "=?utf-8?q?abc", ""},
      {"text before a broken word stays", "pre =?utf-8?q?abc", "pre "},
      {"broken word ends only its own line", "=?utf-8?q?abc\r\n next", " next"},
      {"failed base64 keeps the encoded text", "=?utf-8?b?!!!?=", "!!!"},
      {"failed Q keeps the encoded text", "=?utf-8?q?a=ZZ?=", "a=ZZ"},
      {"four parts give nothing", "x=?a?q?b?c?=y", "xy"},
      {"unknown charset keeps the decoded bytes", "=?x-no-such-charset?q?abc?=", "abc"},
      {"empty charset reads the text as ISO-8859-1", "=??q?abc?=", "abc"},
      {"malformed UTF-8 in a word is substituted", "=?utf-8?q?a=FFb?=", "a\xEF\xBF\xBD" "b"},
      {"empty", "", ""},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(DecodeHeaderValue(c.raw), c.utf8) << c.what;
  }
}

TEST(DecodeHeaderValue, LongFoldedHeaderDecodesWhole) {
  std::string raw;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    if (i) {
      raw += "\r\n ";
      expected += " ";
    }
    raw += "=?utf-8?q?w=C3=B8rd" + std::to_string(i) + "?=";
    expected += "w\xC3\xB8rd" + std::to_string(i);
  }
  EXPECT_EQ(DecodeHeaderValue(raw), expected);
}

TEST(DecodeHeaderValue, EveryCutStaysInsideItsInput) {
  const std::string raw =
      "Re: =?utf-8?q?caf=C3=A9?= =?ISO-8859-1?B?5vjl?=\r\n =?bad?q?x \xE6=?a?b?c?d?=";
  for (size_t n = 0; n <= raw.size(); ++n) {
    Testing::ExactBuffer buffer(std::string_view(raw).substr(0, n));
    const std::string decoded = DecodeHeaderValue(buffer.view());
    (void)MakeSortSubject(decoded);
  }
}

TEST(SplitHeaderLine, SegmentsOfALine) {
  const auto segments = SplitHeaderLine("a =?UTF-8?Q?x_y?= =?utf-8?z?q?=");
  ASSERT_EQ(segments.size(), 4u);
  EXPECT_EQ(segments[0].text, "a ");
  EXPECT_EQ(segments[1].charset, "UTF-8");
  EXPECT_EQ(segments[1].text, "x_y");
  EXPECT_EQ(segments[1].decoded, "x y");
  EXPECT_EQ(segments[2].text, " ");
  EXPECT_EQ(segments[3].charset, "utf-8");
  EXPECT_EQ(segments[3].decoded, "");
}

// The direct conversions must give what ICU gives.
TEST(AppendAsUtf8, Latin1MatchesTheConverterForEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string direct;
  AppendAsUtf8("iso-8859-1", all, &direct);
  std::string icu;
  std::string error;
  ASSERT_TRUE(ConvertToUtf8("iso-8859-1", all, &icu, &error)) << error;
  EXPECT_EQ(direct, icu);
}

TEST(Utf8ToUtf16, MatchesTheConverterForGoodAndBadInput) {
  const std::vector<std::string> inputs = {
      "plain", "\xC3\xA6\xC3\xB8\xC3\xA5", "\xF0\x9F\x98\x80 emoji", "\xE2\x82\xAC",
      "cut \xC3", "bad \xFF\xFE", "overlong \xC0\xAF", "surrogate \xED\xA0\x80",
      "too big \xF4\x90\x80\x80", std::string("nul\0in", 6)};
  for (const std::string& in : inputs) {
    std::u16string direct;
    std::u16string icu;
    std::string error;
    ASSERT_TRUE(Utf8ToUtf16(in, &direct, &error)) << in;
    ASSERT_TRUE(ConvertToUtf16("UTF-8", in, &icu, &error)) << in;
    EXPECT_EQ(direct, icu) << in;
    std::string utf8_direct;
    std::string utf8_icu;
    AppendAsUtf8("utf-8", in, &utf8_direct);
    ASSERT_TRUE(ConvertToUtf8("utf-8", in, &utf8_icu, &error));
    EXPECT_EQ(utf8_direct, utf8_icu) << in;
  }
}

Mime::MimeMessage Parsed(const std::string& mail) {
  Mime::MimeMessage m;
  EXPECT_EQ(ByteStream::ParseMail(mail.data(), mail.size(), m), 0);
  return m;
}

TEST(GetHeaderContent, CutsTheDecodedTextAtTheLimit) {
  const std::string subject(300, 'a');
  const Mime::MimeMessage m = Parsed("Subject: " + subject + "\r\nTo: =?utf-8?q?=C3=A6=C3=A6?=\r\n\r\n");
  EXPECT_EQ(GetHeaderContent("Subject", m, 190), std::u16string(190, u'a'));
  EXPECT_EQ(GetHeaderContent("Subject", m, 0).size(), 300u);
  EXPECT_EQ(GetHeaderContent("To", m, 4), u"\u00e6\u00e6");
  // A cut inside a UTF-8 sequence is substituted by the converter.
  EXPECT_EQ(GetHeaderContent("To", m, 3), u"\u00e6\ufffd");
  EXPECT_EQ(GetHeaderContent("Cc", m, 10), u"");
}

struct SortCase {
  const char* subject;
  const char* sort;
};

TEST(MakeSortSubject, BaseSubjects) {
  const std::vector<SortCase> cases = {
      {"Re: Fwd: [list] Re: Hello (fwd)", "hello"},
      {"[fwd: Meeting]", "meeting"},
      {"Re:", ""},
      {"[list]", "[list]"},
      {"Report", "report"},
      {"RE: [a][b] hello", "hello"},
      {"Re[2]: hi", "hi"},
      {"Fw: FW:fwd:  Re :x", "x"},
      {"[list] hello", "hello"},
      {"[list]   [other] hello", "hello"},
      {"hello (fwd) (FWD)  ", "hello"},
      {"\tTabbed\t\tsubject  here", "tabbed subject here"},
      {"[Fwd: Re: Hi] (fwd)", "hi"},
      {"[unclosed subject", "[unclosed subject"},
      {"\xC3\x86rlig \xC3\x98l \xC3\x85s", "\xC3\xA6rlig \xC3\xB8l \xC3\xA5s"},
      {"\xC3\x89t\xC3\xA9", "\xC3\x89t\xC3\xA9"},
      {"Rea: not a marker", "rea: not a marker"},
      {"", ""},
  };
  for (const SortCase& c : cases) {
    EXPECT_EQ(MakeSortSubject(c.subject), c.sort) << c.subject;
  }
}

TEST(MakeHeaderSummary, FillsTheMessageRecordColumns) {
  const std::string long_id = "<" + std::string(120, 'x') + "@example.no>";
  const Mime::MimeMessage m = Parsed(
      "From: =?utf-8?q?Ola_Nordmann?= <ola@example.no>\r\n"
      "To: kari@example.no\r\n"
      "Date: Tue, 15 Nov 1994 08:12:31 +0100\r\n"
      "Message-ID: " + long_id + "\r\n"
      "Subject: Re: [list] =?iso-8859-1?q?Bl=E5b=E6r?=\r\n"
      "\r\nbody\r\n");
  const HeaderSummary s = MakeHeaderSummary(m);
  EXPECT_EQ(s.sent.Format("$YEAR-$MONTH-$DAY $HOUR:$MIN:$SEC"), "1994-11-15 07:12:31");
  EXPECT_EQ(s.from, u"Ola Nordmann <ola@example.no>");
  EXPECT_EQ(s.to, u"kari@example.no");
  EXPECT_FALSE(s.cc.has_value());
  EXPECT_FALSE(s.bcc.has_value());
  EXPECT_EQ(s.message_id, long_id.substr(0, 95));
  EXPECT_EQ(s.subject, u"Re: [list] Bl\u00e5b\u00e6r");
  EXPECT_EQ(s.sort_subject, u"bl\u00e5b\u00e6r");
}

TEST(MakeHeaderSummary, UnreadableDateLeavesTheCurrentUtcTime) {
  KAVRO::NTime before;
  before.SetNow(true);
  const HeaderSummary s = MakeHeaderSummary(Parsed("Date: someday\r\nSubject: x\r\n\r\n"));
  KAVRO::NTime after;
  after.SetNow(true);
  EXPECT_GE(s.sent.Value(), before.Value());
  EXPECT_LE(s.sent.Value(), after.Value());
}

TEST(MakeHeaderSummary, SortSubjectIsCutTo35CodeUnits) {
  const HeaderSummary s =
      MakeHeaderSummary(Parsed("Subject: Fwd: " + std::string(60, 'Z') + "\r\n\r\n"));
  EXPECT_EQ(s.sort_subject, std::u16string(35, u'z'));
}

}  // namespace
}  // namespace Nauvik
