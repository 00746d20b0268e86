#include "content/HeaderSummary.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "content/Charsets.h"
#include "content/MimeMessage.h"
#include "foundation/ResultCodes.h"

namespace Nauvik {
namespace {

TEST(DecodeHeaderValue, DecodesRealHeaderBodiesMakesSortSubjectsAndMatchesTheConverter) {
  using namespace std::string_literals;
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"=?iso-8859-1?q?Hello_World?=", "Hello World"}, {"Hello\r\n World", "Hello World"},
      {"=?windows-1252?Q?=80_price?=", "\xE2\x82\xAC price"},
      {"=?UTF-16BE?B?A6kAbQBlAGcAYQ==?=", "\xCE\xA9mega"},
      {"Re: =?utf-8?q?caf=C3=A9?= now", "Re: caf\xC3\xA9 now"},
      {"=?utf-8?q?a?= =?utf-8?q?b?=", "a b"},  // adjacent words keep the space between them
      {"=?utf-8?q?a?==?utf-8?q?b?=", "ab"}, {"=?utf-8?q?one?=\r\n =?utf-8?q?two?=", "one two"},
      {"Bl\xE6r", "Bl\xC3\xA6r"}, {"a\0b"s, "a\0b"s},  // 8-bit bytes are ISO-8859-1, NUL passes
      {"=?utf-8?x?abc?=", "abc"}, {"=?utf-8?b?!!!?=", "!!!"}, {"=?utf-8?q?a=ZZ?=", "a=ZZ"},
      // No closing "?=" drops the rest of its own line only.
      {"=?utf-8?q?abc", ""}, {"pre =?utf-8?q?abc", "pre "}, {"=?utf-8?q?abc\r\n next", " next"},
      {"x=?a?q?b?c?=y", "xy"},  // four parts give nothing
      {"=?x-no-such-charset?q?abc?=", "abc"}, {"=??q?abc?=", "abc"},
      {"=?utf-8?q?a=FFb?=", "a\xEF\xBF\xBD" "b"},  // malformed UTF-8 is substituted
  };
  // clang-format on
  for (const auto& [raw, utf8] : cases) EXPECT_EQ(DecodeHeaderValue(raw), utf8) << raw;
  // A long folded value decodes whole.
  std::string raw = "start";
  std::string expected = "start";
  for (int i = 0; i < 2000; ++i) {
    raw += "\r\n =?utf-8?q?w=C3=B8rd" + std::to_string(i) + "?=";
    expected += " w\xC3\xB8rd" + std::to_string(i);
  }
  EXPECT_EQ(DecodeHeaderValue(raw), expected);
  // Sort subjects: the base subject, lower-cased.
  const std::pair<const char*, const char*> subjects[] = {
      {"Re: Fwd: [list] Re: Hello (fwd)", "hello"}, {"[fwd: Meeting]", "meeting"},
      {"Re:", ""},                                  {"[list]", "[list]"},
      {"Report", "report"},                         {"RE: [a][b] hello", "hello"},
      {"Re[2]: hi", "hi"},                          {"Fw: FW:fwd:  Re :x", "x"},
      {"[list]   [other] hello", "hello"},          {"hello (fwd) (FWD)  ", "hello"},
      {"\tTabbed\t\tsubject  here", "tabbed subject here"},
      {"[Fwd: Re: Hi] (fwd)", "hi"},                {"[unclosed subject", "[unclosed subject"},
      {"\xC3\x86rlig \xC3\x98l \xC3\x85s", "\xC3\xA6rlig \xC3\xB8l \xC3\xA5s"},
      {"\xC3\x89t\xC3\xA9", "\xC3\x89t\xC3\xA9"},  // only ASCII letters are lowered
      {"Rea: not a marker", "rea: not a marker"},   {"", ""},
  };
  for (const auto& [subject, sort] : subjects) EXPECT_EQ(MakeSortSubject(subject), sort) << subject;
  // The direct conversions give what ICU gives, for good and bad input.
  for (const std::string in : {"plain", "\xC3\xA6\xC3\xB8\xC3\xA5", "\xF0\x9F\x98\x80 emoji",
                               "cut \xC3", "bad \xFF\xFE", "overlong \xC0\xAF",
                               "surrogate \xED\xA0\x80", "too big \xF4\x90\x80\x80"}) {
    std::u16string direct16, icu16;
    std::string direct, icu, error;
    AppendAsUtf8("utf-8", in, &direct);
    ASSERT_TRUE(Utf8ToUtf16(in, &direct16, &error) && ConvertToUtf16("UTF-8", in, &icu16, &error) &&
                ConvertToUtf8("utf-8", in, &icu, &error))
        << in;
    EXPECT_EQ(direct16, icu16) << in;
    EXPECT_EQ(direct, icu) << in;
  }
}

Mime::MimeMessage Parsed(const std::string& mail) {
  Mime::MimeMessage m;
  EXPECT_EQ(ByteStream::ParseMail(mail.data(), mail.size(), m), 0);
  return m;
}

// A NUL, raw or decoded, ends a column's text; the fields and header after it still count.
TEST(MakeHeaderSummary, EveryColumnEndsAtItsFirstNulAndIsCutAtItsLimitAndTheFacadeAnswers) {
  using namespace std::string_literals;
  const Mime::MimeMessage m = Parsed(
      "Date: Tue, 15 Nov 1994 08:12:31 +0100\0 junk\r\n"
      "From: f@example.no\0rest\r\n"
      "To: =?utf-8?B?YQBi?=\r\n"
      "Cc: =?utf-16le?B?YwBjAAAAZAA=?=\r\n"
      "Bcc: \0hidden\r\n"
      "Message-ID: <nul@example.no>\0<tail>\r\n"
      "Subject: =?utf-8?q?Re:_a=00b?= \0c\r\n"
      "\r\nbody\0\r\n"s);
  const HeaderSummary s = MakeHeaderSummary(m);
  EXPECT_EQ(s.sent.Format("$YEAR-$MONTH-$DAY $HOUR:$MIN:$SEC"), "1994-11-15 07:12:31");
  using Column = std::optional<std::u16string>;
  EXPECT_EQ((std::vector<Column>{s.from, s.to, s.cc, s.bcc, s.subject, s.sort_subject}),
            (std::vector<Column>{u"f@example.no", u"a", u"cc", u"", u"Re: a", u"a"}));
  EXPECT_EQ(s.message_id, "<nul@example.no>");
  EXPECT_EQ(m.GetFieldBody("Message-ID"), "<nul@example.no>");  // the duplicate lookup's text
  // A column's text is cut at its limit after decoding.
  const Mime::MimeMessage cut =
      Parsed("Subject: " + std::string(300, 'a') + "\r\nTo: =?utf-8?q?=C3=A6=C3=A6?=\r\n\r\n");
  EXPECT_EQ(GetHeaderContent("Subject", cut, 190), std::u16string(190, u'a'));
  EXPECT_EQ(GetHeaderContent("Subject", cut, 0).size(), 300u);
  EXPECT_EQ(GetHeaderContent("To", cut, 4), u"\u00e6\u00e6");
  EXPECT_EQ(GetHeaderContent("To", cut, 3), u"\u00e6\ufffd");  // a cut inside a sequence
  EXPECT_EQ(GetHeaderContent("Cc", cut, 10), u"");
  // A late field of a huge header is found.
  std::string huge;
  for (int i = 0; i < 100000; ++i) huge += "X-Filler: " + std::to_string(i) + "\r\n";
  EXPECT_EQ(MakeHeaderSummary(Parsed(huge + "Subject: late\r\n\r\nbody\r\n")).subject, u"late");
  // The header facade the store asks.
  Mime::MimeMessage facade;
  {
    std::string header = "MESSAGE-ID: <abc@example.no>\r\nSubject:  Folded\r\n subject \r\n\r\n";
    facade.ParseHeaders(header.data(), header.size());
    header.assign(header.size(), 'x');  // the facade owns its copy
  }
  EXPECT_TRUE(facade.HasField("message-id"));
  EXPECT_EQ(facade.GetFieldBody("Message-Id"), "<abc@example.no>");
  EXPECT_EQ(facade.GetFieldBody("Subject"), "Folded\r\n subject");
  EXPECT_EQ(facade.GetFieldBody("Date"), "");
  facade.ParseHeaders("To: b@c\r\n\r\n", 11);  // replaces the block
  EXPECT_FALSE(facade.HasField("Subject"));
  facade.ParseHeaders(nullptr, 0);
  EXPECT_FALSE(facade.HasField("To"));
  // A mail's header ends at its first empty line, or with the mail.
  ASSERT_EQ(ByteStream::ParseMail("Subject: s\r\n\r\nX-Not-A-Header: body\r\n", 36, facade),
            IMAP::kImapOk);
  EXPECT_EQ(facade.GetFieldBody("Subject"), "s");
  EXPECT_FALSE(facade.HasField("X-Not-A-Header"));
  ASSERT_EQ(ByteStream::ParseMail("Subject: s\r\nTo: t@u\r\n", 21, facade), IMAP::kImapOk);
  EXPECT_EQ(facade.GetFieldBody("To"), "t@u");
  // An empty mail is invalid content and parses nothing.
  EXPECT_EQ(ByteStream::ParseMail("", 0, facade), IMAP::kImapInvalidMailContent);
  EXPECT_EQ(facade.GetFieldBody("To"), "t@u");
}

}  // namespace
}  // namespace Nauvik
