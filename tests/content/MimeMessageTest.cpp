#include "content/MimeMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "content/HeaderSummary.h"
#include "foundation/ResultCodes.h"

namespace Nauvik {
namespace {

using Mime::MimeMessage;

TEST(MimeMessage, AnswersTheStoresQuestions) {
  MimeMessage m;
  {
    std::string header = "MESSAGE-ID: <abc@example.no>\r\nSubject:  Folded\r\n subject \r\n\r\n";
    m.ParseHeaders(header.data(), header.size());
    header.assign(header.size(), 'x');  // the facade owns its copy
  }
  EXPECT_TRUE(m.HasField("message-id"));
  EXPECT_EQ(m.GetFieldBody("Message-Id"), "<abc@example.no>");
  EXPECT_EQ(m.GetFieldBody("Subject"), "Folded\r\n subject");
  EXPECT_EQ(m.GetFieldBody("Date"), "");
  m.ParseHeaders("To: b@c\r\n\r\n", 11);  // replaces the block
  EXPECT_FALSE(m.HasField("Subject"));
  m.ParseHeaders(nullptr, 0);
  EXPECT_FALSE(m.HasField("To"));
}

TEST(MimeMessage, ContentTypeAsTheParserHoldsIt) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"Subject: none\r\n", ""},
      {"content-type: Multipart/Mixed;\r\n boundary=\"b1\"\r\n", "Multipart/Mixed"},
      {"Content-Type: foo\r\n", "foo/unknown"},
      {"Content-Type: text/\r\n", "text/"},
      {"Content-Type: \r\n", "/"},
      {"Content-Type: (only a comment) message/rfc822\r\n", "message/rfc822"},
  };
  for (const auto& [header, content_type] : cases) {
    MimeMessage m;
    m.ParseHeaders(std::string(header) + "\r\n");
    EXPECT_EQ(m.GetContentType(), content_type) << header;
  }
}

TEST(ParseMail, TheHeaderEndsAtTheFirstEmptyLineOrTheMail) {
  MimeMessage m;
  ASSERT_EQ(ByteStream::ParseMail("Subject: s\r\n\r\nX-Not-A-Header: body\r\n", 36, m),
            IMAP::kImapOk);
  EXPECT_EQ(m.GetFieldBody("Subject"), "s");
  EXPECT_FALSE(m.HasField("X-Not-A-Header"));
  ASSERT_EQ(ByteStream::ParseMail("Subject: s\r\nTo: t@u\r\n", 21, m), IMAP::kImapOk);
  EXPECT_EQ(m.GetFieldBody("To"), "t@u");
  // An empty mail is invalid content and parses nothing.
  EXPECT_EQ(ByteStream::ParseMail("", 0, m), IMAP::kImapInvalidMailContent);
  EXPECT_EQ(m.GetFieldBody("To"), "t@u");
}

}  // namespace
}  // namespace Nauvik
