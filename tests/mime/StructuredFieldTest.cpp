// Media types, address lists, date-times and encoded words, from real header
// texts. Every cut of such bodies runs under the sanitizers in the fuzz replay.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "mime/Address.h"
#include "mime/DateTime.h"
#include "mime/EncodedWord.h"
#include "mime/MediaType.h"

namespace Nauvik::MimeParse {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

// "type/subtype value" of the named parameter ("-" when it is absent).
std::string Media(const std::string& body, std::string_view param) {
  MediaType mt;
  (void)ParseMediaType(body, &mt);
  const MediaParameter* p = mt.Find(param);
  return std::string(mt.type) + "/" + std::string(mt.subtype) + " " + (p ? p->value : "-");
}

TEST(MediaType, ReadsTypeSubtypeAndParameters) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"Multipart/Mixed; boundary=\"----=_Part_1_2.3\"", "BOUNDARY",
       "Multipart/Mixed ----=_Part_1_2.3"},
      {"text/plain (plain text) ; charset = \"utf-8\" (really)", "charset", "text/plain utf-8"},
      {"text/plain; name=\"a \\\"quoted\\\" name\"", "name", "text/plain a \"quoted\" name"},
      {"application/x-stuff;\r\n title*0*=us-ascii'en'This%20is%20even%20more%20;\r\n"
       " title*1*=%2A%2A%2Afun%2A%2A%2A%20;\r\n title*2=\"isn't it!\"",
       "title", "application/x-stuff This is even more ***fun*** isn't it!"},
      {"application/pdf; name*=utf-8''%C3%A6%C3%B8.pdf", "name",
       "application/pdf \xC3\xA6\xC3\xB8.pdf"},
      {"text/plain; n*1=\"b\"; n*0=\"a\"; n*2=c", "n", "text/plain abc"},
      {"application/pdf; filename=\"plain.pdf\"; filename*=utf-8''%C3%A6.pdf", "filename",
       "application/pdf \xC3\xA6.pdf"},
      {"text/plain; charset", "charset", "text/plain -"}, {"foo", "charset", "foo/ -"},
      {"text/; charset=x", "charset", "text/ x"},          {"", "charset", "/ -"},
      {"text/html; charset=\"unterminated", "charset", "text/html unterminated"},
  };
  for (const auto& [body, param, expected] : cases) EXPECT_EQ(Media(body, param), expected) << body;
}

TEST(MediaType, KeepsWhatItReadAndBoundsHostileBodies) {
  MediaType mt;
  EXPECT_FALSE(ParseMediaType("text/plain; charset; format=flowed", &mt).ok());
  EXPECT_EQ(Media("text/plain; charset; format=flowed", "format"), "text/plain flowed");
  std::string body = "text/plain";
  for (int i = 0; i < 1000; ++i) {
    body += "; p" + std::to_string(i) + "=v; long*" + std::to_string(i) + "=x";
  }
  (void)ParseMediaType(body, &mt);
  EXPECT_LE(mt.parameters.size(), MediaType::kMaxParameters);
}

TEST(AddressList, ReadsTheFormsRealMailUses) {
  // Mailboxes as "display|address", then "!" per skipped entry.
  const Cases cases = {
      {"Alice <alice@example.com>", "Alice|alice@example.com "},
      {"\"Doe, John\" <john@x.org>, bob@y.org", "Doe, John|john@x.org |bob@y.org "},
      {"Mary Q. Public <mary@x.net>", "Mary Q.Public|mary@x.net "},
      {"Team: a@b.c, Carl <c@d.e>;, f@g.h", "|a@b.c Carl|c@d.e |f@g.h "},
      {"<@route.one,@route.two:user@dom.example>", "|user@dom.example "},
      {"=?utf-8?q?J=C3=B8rn?= <j@x.no>", "=?utf-8?q?J=C3=B8rn?=|j@x.no "},
      {"a@b.c, <unclosed, c@d.e", "|a@b.c |c@d.e !"},
      {"bob@y.org (Bob Smith)", "|bob@y.org "}, {"postmaster", "|postmaster "},
      {"a@b.c,, ,c@d.e", "|a@b.c |c@d.e "},     {"<>", "| "},  // the null return path
      {"user@[192.0.2.1]", "|user@[192.0.2.1] "}, {"J\xF8rn <j@x.no>", "J\xF8rn|j@x.no "},
      {"undisclosed-recipients:;", ""}, {"\"quoted local\"@x.y", "|\"quoted local\"@x.y "},
  };
  for (const auto& [body, expected] : cases) {
    AddressList list;
    const bool ok = ParseAddressList(body, &list).ok();
    std::string text;
    for (const Mailbox* m : list.AllMailboxes()) text += m->display_name + "|" + m->Address() + " ";
    text.append(list.skipped, '!');
    EXPECT_EQ(text, expected) << body;
    EXPECT_EQ(ok, list.skipped == 0) << body;
  }
}

TEST(DateTime, ReadsRealDates) {
  // "Y-M-D h:m:s zone known", "" when refused.
  const Cases cases = {
      {"Tue, 15 Nov 1994 08:12:31 +0100", "1994-11-15 8:12:31 60 1"},
      {"15 Nov 94 08:12 -0330", "1994-11-15 8:12:0 -210 1"},
      {"Sat, 01 Feb 2020 10:00:00 (comment) EST", "2020-2-1 10:0:0 -300 1"},
      {"Mon, 3 Jan 104 23:59:60 +0000", "2004-1-3 23:59:60 0 1"},
      {"Mon, 3 Jan 2005 10:00:00 -0000", "2005-1-3 10:0:0 0 0"},
      {"Mon,3 Jan 2005 10:00:00 XYZ", "2005-1-3 10:0:0 0 0"},
      {"Tue, 29 Feb 2000 12:00:00 +0000", "2000-2-29 12:0:0 0 1"},
      {"  Wed ,\r\n 5 Jun 2024\r\n 07:08:09 +0200 ", "2024-6-5 7:8:9 120 1"},
      {"Mon, 29 Feb 2021 10:00:00 +0000", ""}, {"Fri, 13 Xyz 2020 10:00:00 +0000", ""},
      {"Xyz, 13 Mar 2020 10:00:00 +0000", ""}, {"Fri, 13 Mar 2020 24:00:00 +0000", ""},
      {"Fri, 13 Mar 2020 10:60 +0000", ""},    {"Fri, 13 Mar 2020", ""},
      {"", ""},
  };
  for (const auto& [body, expected] : cases) {
    DateTime d;
    char text[64] = "";
    if (ParseDateTime(body, &d).ok()) {
      std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d %d %d", d.year, d.month, d.day, d.hour,
                    d.minute, d.second, d.zone_minutes, d.zone_known ? 1 : 0);
    }
    EXPECT_EQ(text, expected) << body;
  }
}

TEST(EncodedWord, FindsWellFormedWordsOnly) {
  // "charset|language|encoding|decoded|begin-end", "-" when none is found.
  const Cases cases = {
      {"x =?UTF-8?B?w6Y=?= y", "UTF-8||B|\xC3\xA6|2-18"},
      {"=?iso-8859-1*da?q?=E6_x?=", "iso-8859-1|da|Q|\xE6 x|0-25"},
      {"=?bad", "-"}, {"=? utf-8?q?x?=", "-"}, {"=?utf-8?x?abc?=", "-"}, {"=?utf-8?q?a b?=", "-"},
      {"=?utf-8?q?first =?utf-8?q?second?=", "utf-8||Q|second|16-34"},
  };
  for (const auto& [text, expected] : cases) {
    const auto w = FindEncodedWord(text);
    std::string found = "-";
    if (w) {
      std::string decoded;
      EXPECT_TRUE(DecodeEncodedWord(*w, &decoded).ok()) << text;
      found = std::string(w->charset) + "|" + std::string(w->language) + "|" + w->encoding + "|" +
              decoded + "|" + std::to_string(w->begin) + "-" + std::to_string(w->end);
    }
    EXPECT_EQ(found, expected) << text;
  }
}

}  // namespace
}  // namespace Nauvik::MimeParse
