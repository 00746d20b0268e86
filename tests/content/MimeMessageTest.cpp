#include "content/MimeMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/HeaderSummary.h"
#include "foundation/ResultCodes.h"

namespace Nauvik {
namespace {

using Mime::MimeError;
using Mime::MimeErrorKind;
using Mime::MimeMessage;

const std::string kHeader =
    "Received: from mx.example.com\r\n\tby mail.example.no\r\n"
    "Message-ID: <abc@example.no>\r\n"
    "Subject:  Folded\r\n subject \r\n"
    "content-type: Multipart/Mixed;\r\n boundary=\"b1\"\r\n"
    "\r\n";

TEST(MimeMessage, AnswersTheStoresQuestions) {
  MimeMessage m;
  m.ParseHeaders(kHeader.data(), kHeader.size());
  EXPECT_TRUE(m.HasField("message-id"));
  EXPECT_TRUE(m.HasField("Content-Type"));
  EXPECT_FALSE(m.HasField("Date"));
  EXPECT_EQ(m.GetFieldBody("MESSAGE-ID"), "<abc@example.no>");
  EXPECT_EQ(m.GetFieldBody("Subject"), "Folded\r\n subject");
  EXPECT_EQ(m.GetFieldBody("Received"), "from mx.example.com\r\n\tby mail.example.no");
  EXPECT_EQ(m.GetFieldBody("Date"), "");
  EXPECT_EQ(m.GetContentType(), "Multipart/Mixed");
}

TEST(MimeMessage, ContentTypeAsTheParserHoldsIt) {
  struct Case {
    const char* header;
    const char* content_type;
  };
  const std::vector<Case> cases = {
      {"Subject: none\r\n", ""},
      {"Content-Type: text/plain; charset=utf-8\r\n", "text/plain"},
      {"Content-Type: TEXT/HTML (comment)\r\n", "TEXT/HTML"},
      {"Content-Type: foo\r\n", "foo/unknown"},
      {"Content-Type: text/\r\n", "text/"},
      {"Content-Type: \r\n", "/"},
      {"Content-Type: (only a comment) message/rfc822\r\n", "message/rfc822"},
  };
  for (const Case& c : cases) {
    MimeMessage m;
    m.ParseHeaders(std::string(c.header) + "\r\n");
    EXPECT_EQ(m.GetContentType(), c.content_type) << c.header;
  }
}

TEST(MimeMessage, ParseHeadersReplacesTheBlockAndOwnsItsCopy) {
  MimeMessage m;
  {
    std::string first = "Subject: one\r\n\r\n";
    m.ParseHeaders(first.data(), first.size());
    first.assign(first.size(), 'x');  // the facade must not look at it again
  }
  EXPECT_EQ(m.GetFieldBody("Subject"), "one");
  m.ParseHeaders("To: b@c\r\n\r\n", 11);
  EXPECT_FALSE(m.HasField("Subject"));
  EXPECT_EQ(m.GetFieldBody("To"), "b@c");
  m.ParseHeaders(nullptr, 0);
  EXPECT_FALSE(m.HasField("To"));
}

TEST(MimeError, FixedTextsPerKind) {
  EXPECT_STREQ(MimeError(MimeErrorKind::kInternalNullPointer).what(),
               "Internal NULL-pointer error in Nauvik::Mime implementation");
  EXPECT_STREQ(MimeError(MimeErrorKind::kMemoryAllocation).what(),
               "Memory allocation error in Nauvik::Mime class");
  EXPECT_STREQ(MimeError(MimeErrorKind::kBadParameter).what(),
               "Bad parameter to method in Nauvik::Mime library");
}

TEST(MimeMessage, EveryOperationWithoutAMessageRaisesTheNullPointerError) {
  MimeMessage m;
  MimeMessage taken(std::move(m));  // m now holds no message
  const auto expect_null = [](auto&& op) {
    try {
      op();
      ADD_FAILURE() << "no error raised";
    } catch (const MimeError& e) {
      EXPECT_EQ(e.kind(), MimeErrorKind::kInternalNullPointer);
      EXPECT_STREQ(e.what(), "Internal NULL-pointer error in Nauvik::Mime implementation");
    }
  };
  expect_null([&] { m.ParseHeaders("A: b\r\n", 6); });
  expect_null([&] { (void)m.HasField("A"); });
  expect_null([&] { (void)m.GetFieldBody("A"); });
  expect_null([&] { (void)m.GetContentType(); });
  EXPECT_FALSE(taken.HasField("A"));  // the moved-to facade works
}

TEST(MimeMessage, NullBytesWithALengthAreABadParameter) {
  MimeMessage m;
  try {
    m.ParseHeaders(nullptr, 5);
    ADD_FAILURE() << "no error raised";
  } catch (const MimeError& e) {
    EXPECT_EQ(e.kind(), MimeErrorKind::kBadParameter);
  }
}

TEST(ParseMail, CutsTheHeaderBlockAtTheFirstEmptyLine) {
  const std::string mail =
      "Subject: s\r\nContent-Type: text/plain\r\n\r\nX-Not-A-Header: body\r\n\r\nMore: body\r\n";
  MimeMessage m;
  ASSERT_EQ(ByteStream::ParseMail(mail.data(), mail.size(), m), IMAP::kImapOk);
  EXPECT_EQ(m.GetFieldBody("Subject"), "s");
  EXPECT_FALSE(m.HasField("X-Not-A-Header"));
  EXPECT_FALSE(m.HasField("More"));
}

TEST(ParseMail, WithoutEmptyLineTheWholeMailIsTheHeader) {
  const std::string mail = "Subject: s\r\nTo: t@u\r\n";
  MimeMessage m;
  ASSERT_EQ(ByteStream::ParseMail(mail.data(), mail.size(), m), IMAP::kImapOk);
  EXPECT_EQ(m.GetFieldBody("To"), "t@u");
}

TEST(ParseMail, EmptyMailIsInvalidContentAndParsesNothing) {
  MimeMessage m;
  m.ParseHeaders("Subject: kept\r\n\r\n", 17);
  EXPECT_EQ(ByteStream::ParseMail("", 0, m), IMAP::kImapInvalidMailContent);
  EXPECT_EQ(m.GetFieldBody("Subject"), "kept");
}

}  // namespace
}  // namespace Nauvik
