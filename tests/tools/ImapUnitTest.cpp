// The IMAP source's pure parts: URLs, item paths (the journal's identity of a
// mail), folder mapping, internal dates and UID sets. The protocol itself is
// tested against a real server in ImapImportTest.

#include <gtest/gtest.h>

#include "tools/imap/ImapClient.h"
#include "tools/imap/ImapSource.h"

namespace Nauvik::Import {
namespace {

TEST(ImapUrl, ParsesOrRefuses) {
  struct Case {
    const char* text;
    bool ok;
    bool tls = false;
    const char* user = "";
    const char* host = "";
    int port = 0;
    const char* folder = "";
  } cases[] = {
      {"imap://anna@mail.example", true, false, "anna", "mail.example", 143, ""},
      {"imaps://anna@mail.example", true, true, "anna", "mail.example", 993, ""},
      {"IMAPS://a%40b.example@h:1993/Archive/2019/", true, true, "a@b.example", "h", 1993,
       "Archive/2019"},
      {"imap://u@[::1]:10143/Entw%26APw-rfe", true, false, "u", "::1", 10143, "Entw&APw-rfe"},
      {"imap://mail.example", false},  // no user
      {"imap://u@:143", false},        // no host
      {"imap://u@h:0", false},
      {"imap://u@h:70000", false},
      {"imap://u@h:14x", false},
      {"imap://u@h/bad%2", false},
      {"pop3://u@h", false},
  };
  for (const Case& c : cases) {
    ImapUrl url;
    std::string error;
    ASSERT_EQ(ParseImapUrl(c.text, &url, &error), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.text), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(url.implicit_tls, c.tls) << c.text;
    EXPECT_EQ(url.user, c.user) << c.text;
    EXPECT_EQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
    EXPECT_EQ(url.folder, c.folder) << c.text;
  }
}

TEST(ImapItemPath, RoundTripsEveryFolderName) {
  for (const char* folder :
       {"INBOX", "Archive/2019", "Entw&APw-rfe", "a b;UIDVALIDITY=1/;UID=2", "100%", "x\"y\\z"}) {
    const ImapItemLocation in{"imaps://u@h:993", folder, 4000000000u, 17};
    const std::string path = ImapItemPath(in);
    ImapItemLocation out;
    ASSERT_TRUE(ParseImapItemPath(path, &out)) << path;
    EXPECT_EQ(out.account, in.account) << path;
    EXPECT_EQ(out.folder, in.folder) << path;
    EXPECT_EQ(out.uidvalidity, in.uidvalidity) << path;
    EXPECT_EQ(out.uid, in.uid) << path;
  }
  ImapItemLocation out;
  EXPECT_FALSE(ParseImapItemPath("/var/mail/x;UIDVALIDITY=1/;UID=2", &out));
  EXPECT_FALSE(ParseImapItemPath("imap://u@h:143/INBOX;UIDVALIDITY=1/;UID=", &out));
  EXPECT_FALSE(ParseImapItemPath("imap://u@h:143/INBOX;UIDVALIDITY=99999999999/;UID=1", &out));
}

TEST(MapImapFolder, DelimiterInboxAndModifiedUtf7) {
  struct Case {
    const char* name;
    char delimiter;
    const char* url_folder;
    const char* expected;
  } cases[] = {
      {"INBOX", '/', "", "Mig"},
      {"inbox", '.', "", "Mig"},
      {"Archive/2019", '/', "", "Mig.Archive.2019"},
      {"INBOX.Sent", '.', "", "Mig.Sent"},  // servers that keep everything below INBOX
      {"INBOXES", '/', "", "Mig.INBOXES"},
      {"Entw&APw-rfe", '/', "", "Mig.Entw\xC3\xBCrfe"},
      {"Archive/&BBYEMAQ7BD4EMQRL-", '/', "",
       "Mig.Archive.\xD0\x96\xD0\xB0\xD0\xBB\xD0\xBE\xD0\xB1\xD1\x8B"},
      {"Archive", '/', "Archive", "Mig"},  // the URL's folder is the target itself
      {"Archive/2019", '/', "Archive", "Mig.2019"},
      {"Flat", 0, "", "Mig.Flat"},
      {"Bad&-x&Zm", '/', "", "Mig.Bad&-x&Zm"},  // not modified UTF-7: kept as it is
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MapImapFolder(c.name, c.delimiter, c.url_folder, "Mig"), c.expected) << c.name;
  }
}

TEST(ImapClient, InternalDatesAndUidSets) {
  struct Date {
    const char* text;
    bool ok;
    int64_t seconds;
  } dates[] = {
      {"17-Jul-1996 02:44:25 -0700", true, 837596665},
      {" 1-Jan-2010 00:00:00 +0000", true, 1262304000},
      {"29-Feb-2024 23:59:59 +0130", true, 1709251199 - 5400},
      {"17-Jly-1996 02:44:25 -0700", false, 0},
      {"17-Jul-1996 02:44:25", false, 0},
      {"", false, 0},
  };
  for (const Date& d : dates) {
    int64_t seconds = 0;
    ASSERT_EQ(ImapClient::ParseInternalDate(d.text, &seconds), d.ok) << d.text;
    if (d.ok) {
      EXPECT_EQ(seconds, d.seconds) << d.text;
    }
  }
  EXPECT_EQ(ImapClient::UidSet({1, 2, 3, 7, 9, 10}), "1:3,7,9:10");
  EXPECT_EQ(ImapClient::UidSet({42}), "42");
  EXPECT_EQ(ImapClient::UidSet({}), "");
}

}  // namespace
}  // namespace Nauvik::Import
