// Media types, address lists, date-times and encoded words: the structured
// field bodies, from real header texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mime/Address.h"
#include "mime/DateTime.h"
#include "mime/EncodedWord.h"
#include "mime/MediaType.h"

namespace Nauvik::MimeParse {
namespace {

struct MediaCase {
  const char* body;
  const char* type;
  const char* subtype;
  const char* param;  // name to look up
  const char* value;  // its expected value ("" when it must be absent: nullptr)
};

TEST(MediaType, ReadsTypeSubtypeAndParameters) {
  const std::vector<MediaCase> cases = {
      {"text/plain; charset=us-ascii", "text", "plain", "charset", "us-ascii"},
      {"Multipart/Mixed; boundary=\"----=_Part_1_2.3\"", "Multipart", "Mixed", "BOUNDARY",
       "----=_Part_1_2.3"},
      {"text/plain (plain text) ; charset = \"utf-8\" (really)", "text", "plain", "charset",
       "utf-8"},
      {"multipart/alternative;\r\n boundary=\"b1\";\r\n\treport-type=x", "multipart",
       "alternative", "boundary", "b1"},
      {"text/plain; name=\"a \\\"quoted\\\" name\"", "text", "plain", "name",
       "a \"quoted\" name"},
      {"application/x-stuff;\r\n title*0*=us-ascii'en'This%20is%20even%20more%20;\r\n"
       " title*1*=%2A%2A%2Afun%2A%2A%2A%20;\r\n title*2=\"isn't it!\"",
       "application", "x-stuff", "title", "This is even more ***fun*** isn't it!"},
      {"application/pdf; name*=utf-8''%C3%A6%C3%B8.pdf", "application", "pdf", "name",
       "\xC3\xA6\xC3\xB8.pdf"},
      {"text/plain; n*1=\"b\"; n*0=\"a\"; n*2=c", "text", "plain", "n", "abc"},
      {"application/pdf; filename=\"plain.pdf\"; filename*=utf-8''%C3%A6.pdf", "application",
       "pdf", "filename", "\xC3\xA6.pdf"},
      {"text/plain; charset", "text", "plain", "charset", nullptr},
      {"foo", "foo", "", "charset", nullptr},
      {"text/; charset=x", "text", "", "charset", "x"},
      {"", "", "", "charset", nullptr},
      {"text/html; charset=\"unterminated", "text", "html", "charset", "unterminated"},
  };
  for (const MediaCase& c : cases) {
    MediaType mt;
    (void)ParseMediaType(c.body, &mt);
    EXPECT_EQ(mt.type, c.type) << c.body;
    EXPECT_EQ(mt.subtype, c.subtype) << c.body;
    const MediaParameter* p = mt.Find(c.param);
    if (c.value == nullptr) {
      EXPECT_EQ(p, nullptr) << c.body;
    } else {
      ASSERT_NE(p, nullptr) << c.body;
      EXPECT_EQ(p->value, c.value) << c.body;
    }
  }
}

TEST(MediaType, ExtendedValueKeepsItsCharsetAndLanguage) {
  MediaType mt;
  ASSERT_TRUE(ParseMediaType("text/plain; title*=iso-8859-1'da'%E6ble", &mt).ok());
  const MediaParameter* p = mt.Find("title");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->value, "\xE6" "ble");
  EXPECT_EQ(p->charset, "iso-8859-1");
  EXPECT_EQ(p->language, "da");
}

TEST(MediaType, ReportsFaultsButKeepsWhatItRead) {
  MediaType mt;
  EXPECT_FALSE(ParseMediaType("text/plain; charset; format=flowed", &mt).ok());
  ASSERT_NE(mt.Find("format"), nullptr);
  EXPECT_EQ(mt.Find("format")->value, "flowed");
  EXPECT_TRUE(mt.has_slash);
}

TEST(MediaType, BoundsParametersOfHostileBodies) {
  std::string body = "text/plain";
  for (int i = 0; i < 1000; ++i) body += "; p" + std::to_string(i) + "=v";
  for (int i = 0; i < 1000; ++i) body += "; long*" + std::to_string(i) + "=x";
  MediaType mt;
  (void)ParseMediaType(body, &mt);
  EXPECT_LE(mt.parameters.size(), MediaType::kMaxParameters);
}

std::vector<std::string> Addresses(const AddressList& list) {
  std::vector<std::string> out;
  for (const Mailbox* m : list.AllMailboxes()) out.push_back(m->display_name + "|" + m->Address());
  return out;
}

struct AddressCase {
  const char* body;
  std::vector<std::string> mailboxes;  // "display|address"
  size_t skipped;
};

TEST(AddressList, ReadsTheFormsRealMailUses) {
  const std::vector<AddressCase> cases = {
      {"Alice <alice@example.com>", {"Alice|alice@example.com"}, 0},
      {"\"Doe, John\" <john@x.org>, bob@y.org", {"Doe, John|john@x.org", "|bob@y.org"}, 0},
      {"bob@y.org (Bob Smith)", {"|bob@y.org"}, 0},
      {"Mary Q. Public <mary@x.net>", {"Mary Q.Public|mary@x.net"}, 0},
      {"Team: a@b.c, Carl <c@d.e>;, f@g.h", {"|a@b.c", "Carl|c@d.e", "|f@g.h"}, 0},
      {"undisclosed-recipients:;", {}, 0},
      {"<@route.one,@route.two:user@dom.example>", {"|user@dom.example"}, 0},
      {"=?utf-8?q?J=C3=B8rn?= <j@x.no>", {"=?utf-8?q?J=C3=B8rn?=|j@x.no"}, 0},
      {"a@b.c,, ,c@d.e", {"|a@b.c", "|c@d.e"}, 0},
      {"a@b.c, <unclosed, c@d.e", {"|a@b.c", "|c@d.e"}, 1},
      {"postmaster", {"|postmaster"}, 0},
      {"\"quoted local\"@x.y", {"|\"quoted local\"@x.y"}, 0},
      {"user@[192.0.2.1]", {"|user@[192.0.2.1]"}, 0},
      {"J\xF8rn <j@x.no>", {"J\xF8rn|j@x.no"}, 0},
      {"<>", {"|"}, 0},  // the null return path
  };
  for (const AddressCase& c : cases) {
    AddressList list;
    const Status s = ParseAddressList(c.body, &list);
    EXPECT_EQ(Addresses(list), c.mailboxes) << c.body;
    EXPECT_EQ(list.skipped, c.skipped) << c.body;
    EXPECT_EQ(s.ok(), c.skipped == 0) << c.body;
  }
}

TEST(AddressList, GroupsKeepTheirName) {
  AddressList list;
  ASSERT_TRUE(ParseAddressList("Friends: a@b.c; d@e.f", &list).ok());
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_TRUE(list.entries[0].is_group);
  EXPECT_EQ(list.entries[0].group_name, "Friends");
  EXPECT_FALSE(list.entries[1].is_group);
}

TEST(Mailbox, NeedsExactlyOne) {
  Mailbox m;
  EXPECT_TRUE(ParseMailbox("Ola Nordmann <ola@example.no>", &m).ok());
  EXPECT_EQ(m.display_name, "Ola Nordmann");
  EXPECT_EQ(m.domain, "example.no");
  EXPECT_FALSE(ParseMailbox("a@b.c, d@e.f", &m).ok());
  EXPECT_FALSE(ParseMailbox("", &m).ok());
}

// Fields of a read date, "" when it is refused: "Y-M-D h:m:s zone known".
std::string DateText(std::string_view body) {
  DateTime d;
  if (!ParseDateTime(body, &d).ok()) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d %d %d", d.year, d.month, d.day, d.hour,
                d.minute, d.second, d.zone_minutes, d.zone_known ? 1 : 0);
  return text;
}

TEST(DateTime, ReadsRealDates) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"Tue, 15 Nov 1994 08:12:31 +0100", "1994-11-15 8:12:31 60 1"},
      {"15 Nov 94 08:12 -0330", "1994-11-15 8:12:0 -210 1"},
      {"Thu, 1 Jan 2004 00:00:00 GMT", "2004-1-1 0:0:0 0 1"},
      {"Sat, 01 Feb 2020 10:00:00 (comment) EST", "2020-2-1 10:0:0 -300 1"},
      {"Mon, 3 Jan 104 23:59:60 +0000", "2004-1-3 23:59:60 0 1"},
      {"Mon, 3 Jan 2005 10:00:00 -0000", "2005-1-3 10:0:0 0 0"},
      {"Mon,3 Jan 2005 10:00:00 XYZ", "2005-1-3 10:0:0 0 0"},
      {"Tue, 29 Feb 2000 12:00:00 +0000", "2000-2-29 12:0:0 0 1"},
      {"  Wed ,\r\n 5 Jun 2024\r\n 07:08:09 +0200 ", "2024-6-5 7:8:9 120 1"},
      {"Mon, 29 Feb 2021 10:00:00 +0000", ""},
      {"Fri, 13 Xyz 2020 10:00:00 +0000", ""},
      {"Xyz, 13 Mar 2020 10:00:00 +0000", ""},
      {"Fri, 13 Mar 2020 24:00:00 +0000", ""},
      {"Fri, 13 Mar 2020 10:60 +0000", ""},
      {"Fri, 13 Mar 2020", ""},
      {"", ""},
  };
  for (const auto& [body, fields] : cases) EXPECT_EQ(DateText(body), fields) << body;
}

TEST(EncodedWord, FindsWellFormedWordsOnly) {
  struct Case {
    const char* text;
    bool found;
    const char* charset;
    const char* language;
    char encoding;
    const char* decoded;
  };
  const std::vector<Case> cases = {
      {"x =?UTF-8?B?w6Y=?= y", true, "UTF-8", "", 'B', "\xC3\xA6"},
      {"=?iso-8859-1*da?q?=E6_x?=", true, "iso-8859-1", "da", 'Q', "\xE6 x"},
      {"=?bad", false, "", "", 0, ""},
      {"=? utf-8?q?x?=", false, "", "", 0, ""},
      {"=?utf-8?x?abc?=", false, "", "", 0, ""},
      {"=?utf-8?q?a b?=", false, "", "", 0, ""},
      {"=?utf-8?q?first =?utf-8?q?second?=", true, "utf-8", "", 'Q', "second"},
  };
  for (const Case& c : cases) {
    const auto w = FindEncodedWord(c.text);
    ASSERT_EQ(w.has_value(), c.found) << c.text;
    if (!w) continue;
    EXPECT_EQ(w->charset, c.charset) << c.text;
    EXPECT_EQ(w->language, c.language) << c.text;
    EXPECT_EQ(w->encoding, c.encoding) << c.text;
    std::string decoded;
    EXPECT_TRUE(DecodeEncodedWord(*w, &decoded).ok()) << c.text;
    EXPECT_EQ(decoded, c.decoded) << c.text;
    EXPECT_EQ(std::string_view(c.text).substr(w->end - 2, 2), "?=");
  }
}

}  // namespace
}  // namespace Nauvik::MimeParse
