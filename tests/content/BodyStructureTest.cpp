#include "content/BodyStructure.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/mime/TestBytes.h"

namespace Nauvik {
namespace {

using Testing::Mail;

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

TEST(ScanBodyStructure, SinglePartAndMultipartMixed) {
  const std::string plain = Mail("plainmail");
  EXPECT_EQ(Scan(plain), std::vector{Row(1, 0, 0, 0, At(plain, "Hello Kari"), plain.size(), 0,
                                         20, 99)});
  const std::string m = Mail("mixedmail");
  const auto rows = Scan(m);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], Row(1, 0, 0, 0, At(m, "This is a preamble"), m.size(), 5, 20, 99));
  EXPECT_EQ(rows[1], Row(2, 1, 1, At(m, "Content-Type: text/plain"), At(m, "Gr=F8nn"),
                         At(m, "--b1\r\nContent-Type: application"), 0, 19, 3));
  EXPECT_EQ(rows[2], Row(3, 1, 2, At(m, "Content-Type: application"), At(m, "JVBERi0"),
                         At(m, "--b1--"), 4, 20, 4));
}

TEST(ScanBodyStructure, NestedAlternativeAttachmentAndEncapsulatedMessage) {
  const std::string m = Mail("nestedmail");
  const auto rows = Scan(m);
  ASSERT_EQ(rows.size(), 9u);
  const uint32_t alt = At(m, "Content-Type: multipart/alternative");
  const uint32_t png = At(m, "Content-Type: IMAGE/PNG");
  const uint32_t inner_msg = At(m, "From: c@example.no");
  const uint32_t inner_end = At(m, "--outer boundary--");
  EXPECT_EQ(rows[0], Row(1, 0, 0, 0, At(m, "--outer boundary\r\nContent-Type: multipart/alt"),
                         m.size(), 5, 20, 99));
  EXPECT_EQ(rows[1], Row(2, 1, 1, alt, At(m, "--alt-1\r\nContent-Type: text/plain"),
                         At(m, "--outer boundary", alt), 5, 20, 99));
  EXPECT_EQ(rows[2], Row(3, 2, 1, At(m, "Content-Type: text/plain; charset=utf-8"),
                         At(m, "Hei p"), At(m, "--alt-1\r\nContent-Type: text/html"), 0, 0, 1));
  EXPECT_EQ(rows[3], Row(4, 2, 2, At(m, "Content-Type: text/html"), At(m, "<p>Hei"),
                         At(m, "--alt-1--"), 0, 20, 99));
  EXPECT_EQ(rows[4], Row(5, 1, 2, png, At(m, "iVBORw0"), At(m, "--outer boundary", png), 1, 20,
                         4));
  EXPECT_EQ(rows[5], Row(6, 1, 3, At(m, "Content-Type: message/rfc822"), inner_msg, inner_end, 6,
                         20, 99));
  // The encapsulated message: no number, header where its part's body starts.
  EXPECT_EQ(rows[6], Row(7, 6, 0, inner_msg, At(m, "--inner\r\n"), inner_end, 5, 20, 99));
  EXPECT_EQ(rows[7], Row(8, 7, 1, At(m, "Content-Type: text/plain\r\n\r\ninner"),
                         At(m, "inner text"), At(m, "--inner\r\nContent-Type: application/zip"),
                         0, 20, 99));
  EXPECT_EQ(rows[8], Row(9, 7, 2, At(m, "Content-Type: application/zip"), At(m, "UEsFBg"),
                         At(m, "--inner--"), 4, 20, 4));
}

TEST(ScanBodyStructure, BrokenMailsFollowTheScannerRules) {
  // A last part that is never closed produces no row.
  std::string m = Mail("unclosedmail");
  auto rows = Scan(m);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1], Row(2, 1, 1, At(m, "Content-Type: text/plain"), At(m, "first"),
                         At(m, "--b1\r\nContent-Type: text/html"), 0, 20, 99));
  // The boundary quoted in the preamble counts as a delimiter: an empty first
  // part, then the real one.
  m = Mail("boundaryinpreamblemail");
  rows = Scan(m);
  ASSERT_EQ(rows.size(), 3u);
  const uint32_t real = At(m, "--b1\r\n");
  EXPECT_EQ(rows[1], Row(2, 1, 1, real, real, real, 0, 20, 99));
  EXPECT_EQ(rows[2], Row(3, 1, 2, At(m, "Content-Type: text/plain"), At(m, "real part"),
                         At(m, "--b1--"), 0, 20, 99));
  // LF-only line ends: no "\r\n\r\n", so one row without a body start.
  m = Mail("lfonlymail");
  EXPECT_EQ(Scan(m), std::vector{Row(1, 0, 0, 0, 0, m.size(), 5, 20, 99)});
  m = Mail("headeronlymail");
  EXPECT_EQ(Scan(m), std::vector{Row(1, 0, 0, 0, 0, m.size(), 0, 20, 99)});
  // A part without an empty line: its body starts where it ends. NUL and
  // 8-bit bytes are ordinary.
  m = Mail("oddpartsmail");
  rows = Scan(m);
  ASSERT_EQ(rows.size(), 3u);
  const uint32_t first = At(m, "Content-Type: text/plain");
  const uint32_t second_delim = At(m, "--b\r\n", first);
  EXPECT_EQ(rows[1], Row(2, 1, 1, first, second_delim, second_delim, 0, 20, 99));
  EXPECT_EQ(rows[2].body_start, At(m, std::string_view("\0\x01\xFF", 3)));
  EXPECT_EQ(rows[2].mime_basic, 4);
  // An encapsulated message that is all header has no body start.
  m = "Content-Type: message/rfc822\r\n\r\nSubject: inner header only\r\n";
  rows = Scan(m);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1], Row(2, 1, 0, At(m, "Subject"), 0, m.size(), 0, 20, 99));
}

TEST(ScanBodyStructure, StartOffsetAndParentCarryThrough) {
  const std::string m = Mail("mixedmail");
  const auto rows = Scan(m, 1000, 42);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], Row(1, 42, 0, 1000, 1000 + At(m, "This is"), 1000 + m.size(), 5, 20, 99));
  EXPECT_EQ(rows[1].parent_id, 1);
  EXPECT_EQ(rows[1].hdr_start, 1000u + At(m, "Content-Type: text/plain"));
}

TEST(ScanBodyStructure, ARefusedRowStopsTheWalk) {
  int calls = 0;
  EXPECT_FALSE(ScanBodyStructure(Mail("nestedmail"), 0, 0, 1, [&](BodyPartRow& row) {
    row.id = ++calls;
    return calls < 3;
  }));
  EXPECT_EQ(calls, 3);
}

// Thousands of levels, multiparts with every fourth level an encapsulated
// message: each level gets its row, with the offsets of its own level.
TEST(ScanBodyStructure, EveryLevelOfDeepNestingGetsItsRow) {
  constexpr int kLevels = 2000;
  struct Level {
    uint32_t hdr, body;
    bool multipart;
    uint32_t end = 0;  // just past the level's text
  };
  std::vector<Level> levels;
  std::string m;
  for (int i = 0; i <= kLevels; ++i) {
    const uint32_t hdr = static_cast<uint32_t>(m.size());
    const bool multipart = i < kLevels && i % 4 != 3;
    if (i == kLevels) {
      m += "Subject: bottom\r\n\r\n";
    } else if (multipart) {
      // "b1x" is no substring of "--b10x": no level finds another's delimiter.
      m += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "x\"\r\n\r\n";
    } else {
      m += "Content-Type: message/rfc822\r\n\r\n";
    }
    levels.push_back(Level{hdr, static_cast<uint32_t>(m.size()), multipart});
    if (multipart) m += "--b" + std::to_string(i) + "x\r\n";
  }
  m += "text\r\n";
  // A multipart's only part ends at its closing delimiter; an encapsulated
  // message ends where its part does.
  std::vector<uint32_t> part_end(kLevels + 1, 0);
  for (int i = kLevels - 1; i >= 0; --i) {
    part_end[i] = static_cast<uint32_t>(m.size());
    if (levels[i].multipart) m += "--b" + std::to_string(i) + "x--\r\n";
  }
  levels[0].end = static_cast<uint32_t>(m.size());
  for (int i = 1; i <= kLevels; ++i) {
    levels[i].end = levels[i - 1].multipart ? part_end[i - 1] : levels[i - 1].end;
  }

  const auto rows = Scan(m);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kLevels) + 1);
  for (int i = 0; i <= kLevels; ++i) {
    const Level& l = levels[i];
    const int16_t type = i == kLevels ? 0 : l.multipart ? 5 : 6;
    const int16_t number = i > 0 && levels[i - 1].multipart ? 1 : 0;
    ASSERT_EQ(rows[i], Row(i + 1, i, number, l.hdr, l.body, l.end, type, 20, 99)) << "level " << i;
  }
}

// The codes the test mails above do not already show.
TEST(AnalyzePartHeaders, TypeCharsetAndEncodingCodes) {
  const std::vector<std::tuple<const char*, int16_t, int16_t, int16_t>> cases = {
      {"", 0, 20, 99},
      {"Content-Type: text/plain; charset=windows-1252", 0, 20, 99},
      {"Content-Type: text/plain; CHARSET=UTF-8", 0, 0, 99},
      {"Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\nX: y", 0, 19, 99},
      {"Content-Type: text/plain; charset=\"utf-8", 0, 0, 99},
      {"Content-Type: text/plain; charset=utf-16 (comment)", 0, 1, 99},
      {"Content-Type: utf-8", 99, 0, 99},  // no "charset=": the whole body is looked up
      {"Content-Type: foo", 99, 20, 99},       {"Content-Type: x-custom/thing", 99, 20, 99},
      {"Content-Type: audio/ogg", 2, 20, 99}, {"Content-Type: video/mp4", 3, 20, 99},
      {"Content-Type: /plain", 0, 20, 99},     {"Content-Transfer-Encoding: 7bit", 0, 20, 0},
      {"Content-Transfer-Encoding: binary", 0, 20, 2},
      {"Content-Transfer-Encoding:  base64 ", 0, 20, 4},
      {"Content-Transfer-Encoding: x-uuencode", 0, 20, 99},
      {"content-transfer-encoding: base64 (comment)", 0, 20, 99},
  };
  for (const auto& [header, type, charset, encoding] : cases) {
    const BodyPartRow row = AnalyzePartHeaders(header);
    EXPECT_EQ(std::tuple(row.mime_basic, row.charset, row.encoding),
              std::tuple(type, charset, encoding))
        << header;
  }
}

TEST(GetBoundary, FindsTheBoundaryAsWritten) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"multipart/mixed; boundary=b1; x=y", "--b1"}, {"multipart/mixed; boundary=b1 ", "--b1"},
      {"multipart/mixed; boundary=\"b1 \"", "--b1"}, {"multipart/mixed; Boundary=AbC\tx", "--AbC"},
      {"multipart/mixed; boundary=\"unterminated", "--unterminated"},
      {"multipart/mixed; boundary=", ""}, {"multipart/mixed; boundary=\"\"", ""},
      {"multipart/mixed", ""},
      {"multipart/mixed; boundary=\"----=_NextPart_000_0001_01D2.AB\"",
       "------=_NextPart_000_0001_01D2.AB"},
  };
  for (const auto& [body, boundary] : cases) EXPECT_EQ(GetBoundary(body), boundary) << body;
}

TEST(InsertBodyPart, ARowWithoutMessageIsRefusedBeforeAnyDatabaseWork) {
  BodyPartRow row;
  EXPECT_FALSE(InsertBodyPart(row, true));
  EXPECT_EQ(row.id, 0);
  EXPECT_FALSE(ParseBodyStructure(Mail("plainmail"), 0, 0, 0, false));
}

}  // namespace
}  // namespace Nauvik
