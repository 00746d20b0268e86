// The MIME library's parsers on real header texts; every cut of such texts also runs under
// the sanitizers in the fuzz replay.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "mime/Address.h"
#include "mime/Codecs.h"
#include "mime/DateTime.h"
#include "mime/EncodedWord.h"
#include "mime/HeaderBlock.h"
#include "mime/MediaType.h"

namespace Nauvik::MimeParse {
namespace {

// What the parser of `kind` read from `in`, as one line.
std::string Read(char kind, std::string_view in) {
  std::string out;
  switch (kind) {
    case 'b':  // base64, quoted-printable body and header rules: "!" on a fault
    case 'q':
    case 'h': {
      const QpMode mode = kind == 'q' ? QpMode::kBody : QpMode::kHeader;
      const Status s = kind == 'b' ? Base64Decode(in, &out) : QuotedPrintableDecode(in, mode, &out);
      return s.ok() ? out : "!";
    }
    case 'H': {  // header block: "name=body|" per field, then "@" and where it ends
      HeaderBlock block;
      block.Parse(in);
      for (size_t i = 0; i < block.size(); ++i) {
        out += std::string(block.field(i).name) + "=" + std::string(block.field(i).body) + "|";
      }
      return out + "@" + std::to_string(block.end_offset());
    }
    case 'm': {  // media type: "type/subtype", " name=value" per parameter, "!" on a fault
      MediaType mt;
      const bool ok = ParseMediaType(in, &mt).ok();
      out = std::string(mt.type) + "/" + std::string(mt.subtype);
      for (const MediaParameter& p : mt.parameters) out += " " + p.name + "=" + p.value;
      return ok ? out : out + "!";
    }
    case 'a': {  // addresses: "display|address " per mailbox, "?" per skipped entry, "!" on a fault
      AddressList list;
      const bool ok = ParseAddressList(in, &list).ok();
      for (const Mailbox* m : list.AllMailboxes()) {
        out += m->display_name + "|" + m->Address() + " ";
      }
      out.append(list.skipped, '?');
      return ok ? out : out + "!";
    }
    case 'd': {  // date-time: "Y M D h m s zone known", "" when refused
      DateTime d;
      if (!ParseDateTime(in, &d).ok()) return "";
      for (int v : {d.year, d.month, d.day, d.hour, d.minute, d.second, d.zone_minutes}) {
        out += std::to_string(v) + " ";
      }
      return out + (d.zone_known ? "1" : "0");
    }
    default: {  // encoded word: "charset|language|encoding|decoded|begin-end", "-" for none
      const auto w = FindEncodedWord(in);
      if (!w) return "-";
      if (!DecodeEncodedWord(*w, &out).ok()) out += "!";
      return std::string(w->charset) + "|" + std::string(w->language) + "|" + w->encoding + "|" +
             out + "|" + std::to_string(w->begin) + "-" + std::to_string(w->end);
    }
  }
}

TEST(MimeParse, EachParserReadsRealTextsAndReportsFaults) {
  using namespace std::string_literals;
  // clang-format off
  const std::vector<std::tuple<char, std::string, std::string>> cases = {
      {'H', "Subject: a\n b\nTo: c\n\nX: body\n", "Subject=a\n b|To=c|@21"},  // LF-only line ends
      {'H', "From someone Tue Jan 1\r\nSubject: x\r\n", "Subject=x|@36"},  // no colon: no field
      {'H', " lead\r\nA: b\r\n", "A=b|@13"},  // continuation before any field
      {'H', "A:\r\nB: \r\nC: c\r\n", "A=|B=|C=c|@15"}, {'H', "Subject \t: x\r\n", "Subject=x|@14"},
      {'H', "A: x\0y\xe6\r\n"s, "A=x\0y\xe6|@9"s},  // NUL and 8-bit bytes are ordinary
      {'H', "A: \r\n  b\r\n", "A=\r\n  b|@10"},  // a body on the next line keeps that break
      {'H', "junk\r\n a: b\r\nC: d\r\n", "C=d|@19"},  // a colon only in a folded line
      {'H', ": nothing\r\nA: b\r\n", "A=b|@17"}, {'H', "\r\nA: b\r\n", "@2"},
      {'H', "A: b", "A=b|@4"}, {'H', "A: b\rc\r\n", "A=b\rc|@8"},
      {'b', "SGVsbG8=", "Hello"}, {'b', "SGVs\r\nbG8=", "Hello"}, {'b', "SGVsbG8", "Hello"},
      {'b', " S G V s b G 8 = ", "Hello"}, {'b', "SGVsbA==", "Hell"}, {'b', "SGVsbA", "Hell"},
      {'b', "", ""}, {'b', "+/+/", "\xFB\xFF\xBF"}, {'b', "SGVsbG8= \r\n", "Hello"},
      {'b', "S", "!"}, {'b', "SGV$", "!"}, {'b', "SG=x", "!"}, {'b', "SGVsbG8=SGVs", "!"},
      {'b', "=", "!"}, {'b', "S===", "!"}, {'q', "a=3Db", "a=b"},
      {'q', "soft=  \r\nbreak", "softbreak"},
      {'q', "soft=\nbreak", "softbreak"}, {'q', "trail  \r\nx", "trail\r\nx"}, {'q', "=4", "!"},
      {'q', "in side", "in side"}, {'q', "=e6=F8", "\xE6\xF8"}, {'q', "end=", "end"},
      {'q', "under_score", "under_score"}, {'q', "=ZZ", "!"}, {'q', "a = b", "!"},
      {'h', "a_b=5F=20c", "a b_ c"}, {'h', "abc=", "!"},
      {'m', "Multipart/Mixed; BOUNDARY=\"----=_Part_1_2.3\"",
       "Multipart/Mixed boundary=----=_Part_1_2.3"},
      {'m', "application/x-stuff;\r\n title*0*=us-ascii'en'This%20is%20even%20more%20;\r\n"
            " title*1*=%2A%2A%2Afun%2A%2A%2A%20;\r\n title*2=\"isn't it!\"",
       "application/x-stuff title=This is even more ***fun*** isn't it!"},
      {'m', "text/plain; charset; format=flowed", "text/plain format=flowed!"},
      {'a', "Alice <alice@example.com>", "Alice|alice@example.com "},
      {'a', "\"Doe, John\" <john@x.org>, bob@y.org", "Doe, John|john@x.org |bob@y.org "},
      {'a', "Mary Q. Public <mary@x.net>", "Mary Q.Public|mary@x.net "},
      {'a', "Team: a@b.c, Carl <c@d.e>;, f@g.h", "|a@b.c Carl|c@d.e |f@g.h "},
      {'a', "<@route.one,@route.two:user@dom.example>", "|user@dom.example "},
      {'a', "=?utf-8?q?J=C3=B8rn?= <j@x.no>", "=?utf-8?q?J=C3=B8rn?=|j@x.no "},
      {'a', "a@b.c, <unclosed, c@d.e", "|a@b.c |c@d.e ?!"}, {'a', "<>", "| "},  // null return path
      {'a', "bob@y.org (Bob Smith)", "|bob@y.org "}, {'a', "postmaster", "|postmaster "},
      {'a', "a@b.c,, ,c@d.e", "|a@b.c |c@d.e "}, {'a', "undisclosed-recipients:;", ""},
      {'a', "user@[192.0.2.1]", "|user@[192.0.2.1] "}, {'a', "J\xF8rn <j@x.no>", "J\xF8rn|j@x.no "},
      {'a', "\"quoted local\"@x.y", "|\"quoted local\"@x.y "},
      {'d', "Tue, 15 Nov 1994 08:12:31 +0100", "1994 11 15 8 12 31 60 1"},
      {'d', "15 Nov 94 08:12 -0330", "1994 11 15 8 12 0 -210 1"},
      {'d', "Sat, 01 Feb 2020 10:00:00 (comment) EST", "2020 2 1 10 0 0 -300 1"},
      {'d', "Mon, 3 Jan 104 23:59:60 +0000", "2004 1 3 23 59 60 0 1"},
      {'d', "Mon, 3 Jan 2005 10:00:00 -0000", "2005 1 3 10 0 0 0 0"},
      {'d', "Mon,3 Jan 2005 10:00:00 XYZ", "2005 1 3 10 0 0 0 0"},
      {'d', "Tue, 29 Feb 2000 12:00:00 +0000", "2000 2 29 12 0 0 0 1"},
      {'d', "  Wed ,\r\n 5 Jun 2024\r\n 07:08:09 +0200 ", "2024 6 5 7 8 9 120 1"},
      {'d', "Mon, 29 Feb 2021 10:00:00 +0000", ""}, {'d', "Fri, 13 Xyz 2020 10:00:00 +0000", ""},
      {'d', "Xyz, 13 Mar 2020 10:00:00 +0000", ""}, {'d', "Fri, 13 Mar 2020 24:00:00 +0000", ""},
      {'d', "Fri, 13 Mar 2020 10:60 +0000", ""}, {'d', "Fri, 13 Mar 2020", ""}, {'d', "", ""},
      {'e', "x =?UTF-8?B?w6Y=?= y", "UTF-8||B|\xC3\xA6|2-18"}, {'e', "=?bad", "-"},
      {'e', "=?iso-8859-1*da?q?=E6_x?=", "iso-8859-1|da|Q|\xE6 x|0-25"},
      {'e', "=? utf-8?q?x?=", "-"}, {'e', "=?utf-8?x?abc?=", "-"}, {'e', "=?utf-8?q?a b?=", "-"},
      {'e', "=?utf-8?q?first =?utf-8?q?second?=", "utf-8||Q|second|16-34"},
  };
  // clang-format on
  for (const auto& [kind, in, expected] : cases) EXPECT_EQ(Read(kind, in), expected) << kind << in;
  // Lookup takes the first field of a name, in any ASCII case; the parameters a hostile
  // header can make are bounded.
  HeaderBlock block;
  block.Parse("Received: a\r\n x\r\nMESSAGE-ID:  <1@x> \r\nreceived: b\r\n\r\n");
  ASSERT_TRUE(block.Find("Message-Id"));
  EXPECT_EQ(block.Find("Message-Id")->body, "<1@x>");
  EXPECT_EQ(block.Find("RECEIVED")->body, "a\r\n x");
  EXPECT_FALSE(block.Find("Subject"));
  EXPECT_FALSE(block.Find("Message-\xC9" "D"));
  std::string body = "text/plain";
  for (int i = 0; i < 1000; ++i) {
    body += "; p" + std::to_string(i) + "=v; long*" + std::to_string(i) + "=x";
  }
  MediaType mt;
  (void)ParseMediaType(body, &mt);
  EXPECT_LE(mt.parameters.size(), MediaType::kMaxParameters);
}

}  // namespace
}  // namespace Nauvik::MimeParse
