#include "content/BodyStructure.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/TestSupport.h"

namespace Nauvik {
namespace {

// The test mails are the scanner's fuzz seeds: the fuzz replay runs every cut of them too.
std::string Mail(const std::string& name) {
  return mstest::ReadFile(std::string(MS_TEST_MAILS) + "/" + name);
}

// Scans without a database: ids are handed out 1, 2, 3, ... in write order.
std::vector<BodyPartRow> Scan(std::string_view mail, uint32_t offset = 0, int64_t parent = 0) {
  std::vector<BodyPartRow> rows;
  EXPECT_TRUE(ScanBodyStructure(mail, offset, parent, 77, [&](BodyPartRow& row) {
    row.id = static_cast<int64_t>(rows.size()) + 1;
    rows.push_back(row);
    return true;
  }));
  return rows;
}

uint32_t At(const std::string& mail, std::string_view marker, size_t from = 0) {
  const size_t pos = mail.find(marker, from);
  EXPECT_NE(pos, std::string::npos) << marker;
  return static_cast<uint32_t>(pos);
}

// id, parent, number, header start, body start, body end, type, charset, encoding.
BodyPartRow Row(int64_t id, int64_t parent, int16_t no, uint32_t hdr, uint32_t body, uint32_t end,
                int16_t type, int16_t charset, int16_t encoding) {
  return BodyPartRow{id, 77, parent, no, hdr, body, end, type, charset, encoding};
}

// A start offset and parent carry through every row; a refused row stops the walk, and a
// row without its message is refused before any database work. Broken mails follow the rules.
TEST(ScanBodyStructure, RealBrokenAndDeeplyNestedMailsRefusalsAndPartHeaderCodes) {
  const std::string plain = Mail("plainmail");
  EXPECT_EQ(Scan(plain), std::vector{Row(1, 0, 0, 0, At(plain, "Hello Kari"), plain.size(), 0,
                                         20, 99)});
  std::string m = Mail("mixedmail");
  const uint32_t o = 1000;
  EXPECT_EQ(Scan(m, o, 42),
            (std::vector{Row(1, 42, 0, o, o + At(m, "This is a preamble"), o + m.size(), 5, 20, 99),
                         Row(2, 1, 1, o + At(m, "Content-Type: text/plain"), o + At(m, "Gr=F8nn"),
                             o + At(m, "--b1\r\nContent-Type: application"), 0, 19, 3),
                         Row(3, 1, 2, o + At(m, "Content-Type: application"), o + At(m, "JVBERi0"),
                             o + At(m, "--b1--"), 4, 20, 4)}));
  int calls = 0;
  EXPECT_FALSE(ScanBodyStructure(Mail("nestedmail"), 0, 0, 1, [&](BodyPartRow& row) {
    row.id = ++calls;
    return calls < 3;
  }));
  EXPECT_EQ(calls, 3);
  BodyPartRow row;
  EXPECT_FALSE(InsertBodyPart(row, true));
  EXPECT_EQ(row.id, 0);
  EXPECT_FALSE(ParseBodyStructure(Mail("plainmail"), 0, 0, 0, false));
  // A last part that is never closed produces no row.
  m = Mail("unclosedmail");
  EXPECT_EQ(Scan(m), (std::vector{Row(1, 0, 0, 0, At(m, "--b1"), m.size(), 5, 20, 99),
                                  Row(2, 1, 1, At(m, "Content-Type: text/plain"), At(m, "first"),
                                      At(m, "--b1\r\nContent-Type: text/html"), 0, 20, 99)}));
  // The boundary quoted in the preamble counts as a delimiter: an empty first
  // part, then the real one.
  m = Mail("boundaryinpreamblemail");
  const uint32_t real = At(m, "--b1\r\n");
  EXPECT_EQ(Scan(m), (std::vector{Row(1, 0, 0, 0, At(m, "Parts below"), m.size(), 5, 20, 99),
                                  Row(2, 1, 1, real, real, real, 0, 20, 99),
                                  Row(3, 1, 2, At(m, "Content-Type: text/plain"),
                                      At(m, "real part"), At(m, "--b1--"), 0, 20, 99)}));
  // LF-only line ends: no "\r\n\r\n", so one row without a body start.
  m = Mail("lfonlymail");
  EXPECT_EQ(Scan(m), std::vector{Row(1, 0, 0, 0, 0, m.size(), 5, 20, 99)});
  m = Mail("headeronlymail");
  EXPECT_EQ(Scan(m), std::vector{Row(1, 0, 0, 0, 0, m.size(), 0, 20, 99)});
  // A part without an empty line: its body starts where it ends. NUL and
  // 8-bit bytes are ordinary.
  m = Mail("oddpartsmail");
  const uint32_t second = At(m, "--b\r\n", At(m, "Content-Type: text/plain"));
  EXPECT_EQ(Scan(m), (std::vector{Row(1, 0, 0, 0, At(m, "--b\r\n"), m.size(), 5, 20, 99),
                                  Row(2, 1, 1, At(m, "Content-Type: text/plain"), second, second,
                                      0, 20, 99),
                                  Row(3, 1, 2, At(m, "Content-Type: application"),
                                      At(m, std::string_view("\0\x01\xFF", 3)), At(m, "--b--"),
                                      4, 20, 99)}));
  // An encapsulated message that is all header has no body start.
  m = "Content-Type: message/rfc822\r\n\r\nSubject: inner header only\r\n";
  EXPECT_EQ(Scan(m), (std::vector{Row(1, 0, 0, 0, At(m, "Subject"), m.size(), 6, 20, 99),
                                  Row(2, 1, 0, At(m, "Subject"), 0, m.size(), 0, 20, 99)}));
  // Type, charset and encoding codes of a part's header, and its boundary as written.
  // clang-format off
  const std::vector<std::tuple<const char*, int16_t, int16_t, int16_t>> cases = {
      {"", 0, 20, 99}, {"Content-Type: text/plain; charset=windows-1252", 0, 20, 99},
      {"Content-Type: text/plain; CHARSET=UTF-8", 0, 0, 99},
      {"Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\nX: y", 0, 19, 99},
      {"Content-Type: text/plain; charset=\"utf-8", 0, 0, 99},
      {"Content-Type: text/plain; charset=utf-16 (comment)", 0, 1, 99},
      {"Content-Type: utf-8", 99, 0, 99},  // no "charset=": the whole body is looked up
      {"Content-Type: foo", 99, 20, 99}, {"Content-Type: x-custom/thing", 99, 20, 99},
      {"Content-Type: IMAGE/PNG", 1, 20, 99}, {"Content-Type: audio/ogg", 2, 20, 99},
      {"Content-Type: video/mp4", 3, 20, 99}, {"Content-Type: /plain", 0, 20, 99},
      {"content-type: (a comment) Message/RFC822;\r\n x=y", 6, 20, 99},
      {"Content-Type: text/", 0, 20, 99}, {"Content-Type: ", 0, 20, 99},
      {"Content-Transfer-Encoding: 8bit", 0, 20, 1}, {"Content-Transfer-Encoding: 7bit", 0, 20, 0},
      {"Content-Transfer-Encoding: binary", 0, 20, 2},
      {"Content-Transfer-Encoding:  base64 ", 0, 20, 4},
      {"Content-Transfer-Encoding: x-uuencode", 0, 20, 99},
      {"content-transfer-encoding: base64 (comment)", 0, 20, 99},
  };
  // clang-format on
  for (const auto& [header, type, charset, encoding] : cases) {
    const BodyPartRow codes = AnalyzePartHeaders(header);
    EXPECT_EQ(std::tuple(codes.mime_basic, codes.charset, codes.encoding),
              std::tuple(type, charset, encoding))
        << header;
  }
  const std::pair<std::string, std::string> boundaries[] = {
      {"multipart/mixed; boundary=b1; x=y", "--b1"}, {"multipart/mixed; boundary=b1 ", "--b1"},
      {"multipart/mixed; boundary=\"b1 \"", "--b1"}, {"multipart/mixed; Boundary=AbC\tx", "--AbC"},
      {"multipart/mixed; boundary=\"unterminated", "--unterminated"},
      {"multipart/mixed; boundary=", ""}, {"multipart/mixed; boundary=\"\"", ""},
      {"multipart/mixed", ""},
      {"multipart/mixed; boundary=\"----=_NextPart_000_0001_01D2.AB\"",
       "------=_NextPart_000_0001_01D2.AB"},
  };
  for (const auto& [body, boundary] : boundaries) EXPECT_EQ(GetBoundary(body), boundary) << body;
  // 2,000 levels, every fourth an encapsulated message: each level's row has its own offsets.
  constexpr int kLevels = 2000;
  const auto multipart = [](int i) { return i < kLevels && i % 4 != 3; };
  std::vector<BodyPartRow> want;
  m.clear();
  for (int i = 0; i <= kLevels; ++i) {
    const uint32_t hdr = static_cast<uint32_t>(m.size());
    // "b1x" is no substring of "--b10x": no level finds another's delimiter.
    m += i == kLevels ? "Subject: bottom\r\n\r\n"
         : multipart(i)
             ? "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "x\"\r\n\r\n"
             : "Content-Type: message/rfc822\r\n\r\n";
    const int16_t type = i == kLevels ? 0 : multipart(i) ? 5 : 6;
    want.push_back(Row(i + 1, i, i > 0 && multipart(i - 1) ? 1 : 0, hdr,
                       static_cast<uint32_t>(m.size()), 0, type, 20, 99));
    if (multipart(i)) m += "--b" + std::to_string(i) + "x\r\n";
  }
  m += "text\r\n";
  // A part ends at its multipart's closing delimiter, or where its encapsulating part ends.
  for (int i = kLevels - 1; i >= 0; --i) {
    want[i + 1].body_end = static_cast<uint32_t>(m.size());
    if (multipart(i)) m += "--b" + std::to_string(i) + "x--\r\n";
  }
  want[0].body_end = static_cast<uint32_t>(m.size());
  for (int i = 1; i <= kLevels; ++i) {
    if (!multipart(i - 1)) want[i].body_end = want[i - 1].body_end;
  }
  const auto rows = Scan(m);
  ASSERT_EQ(rows.size(), want.size());
  for (int i = 0; i <= kLevels; ++i) ASSERT_EQ(rows[i], want[i]) << "level " << i;
}

}  // namespace
}  // namespace Nauvik
