// The body-part writer against the private PostgreSQL store: the rows in the
// table are the rows the scanner produced, through the base table and the
// view alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/BodyStructure.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "tests/content/TestMail.h"

namespace Nauvik {
namespace {

// Ids no other test uses.
constexpr int64_t kFirstMessageId = 6100000001;

// A message record (and its file record) of the given id without body parts.
void ResetMessage(int64_t id) {
  const std::string i = std::to_string(id);
  DbSimpleAccess db;
  db.ExecuteDirect("DELETE FROM NS_IMAPBODYPART WHERE IMM_IMAPMESSAGEID = " + i);
  db.ExecuteDirect("DELETE FROM NS_IMAPMESSAGE WHERE IMM_IMAPMESSAGEID = " + i);
  db.ExecuteDirect("DELETE FROM NS_FILESTORAGE WHERE FIS_FILESTORAGEID = " + i);
  db.ExecuteDirect("INSERT INTO NS_FILESTORAGE (FIS_FILESTORAGEID, FIS_SIZE) VALUES (" + i + ", 1)");
  db.ExecuteDirect("INSERT INTO NS_IMAPMESSAGE (IMM_IMAPMESSAGEID, FIS_FILESTORAGEID) VALUES (" +
                   i + ", " + i + ")");
}

std::vector<BodyPartRow> StoredRows(int64_t message_id) {
  DBTable<NV_IMAPBODYPART> table;
  EXPECT_TRUE(table.Select("IMM_IMAPMESSAGEID = " + std::to_string(message_id),
                           "IMB_IMAPBODYPARTID"));
  std::vector<BodyPartRow> rows;
  while (table.Fetch()) {
    rows.push_back(BodyPartRow{IdOf(table.IMB_IMAPBODYPARTID), IdOf(table.IMM_IMAPMESSAGEID),
                               IdOf(table.IMB_PARENTID), table.IMB_BODYNO,
                               static_cast<uint32_t>(table.IMB_HDRSTART),
                               static_cast<uint32_t>(table.IMB_BODYSTART),
                               static_cast<uint32_t>(table.IMB_BODYEND), table.IMB_MIMEBASIC,
                               table.IMB_CHARSET, table.IMB_ENCODING});
  }
  return rows;
}

TEST(ParseBodyStructureDb, StoresTheScannedRows) {
  const std::string mail = Testing::Mail("nestedmail");
  int64_t message_id = kFirstMessageId;
  for (bool use_views : {false, true}) {
    ResetMessage(message_id);
    std::vector<BodyPartRow> scanned;
    ASSERT_TRUE(ScanBodyStructure(mail, 0, 0, message_id, [&](BodyPartRow& row) {
      row.id = static_cast<int64_t>(scanned.size()) + 1;
      scanned.push_back(row);
      return true;
    }));
    ASSERT_TRUE(ParseBodyStructure(mail, 0, 0, message_id, use_views));
    const std::vector<BodyPartRow> stored = StoredRows(message_id);
    ASSERT_EQ(stored.size(), scanned.size()) << use_views;
    // Sequence ids increase in write order, so row i of both lists is the
    // same entity; parents are compared by position.
    for (size_t i = 0; i < stored.size(); ++i) {
      BodyPartRow s = stored[i];
      for (size_t j = 0; j < stored.size(); ++j) {
        if (s.parent_id != 0 && stored[j].id == s.parent_id) {
          s.parent_id = static_cast<int64_t>(j) + 1;
        }
      }
      s.id = static_cast<int64_t>(i) + 1;
      EXPECT_EQ(s, scanned[i]) << "row " << i << " use_views " << use_views;
    }
    ++message_id;
  }
}

TEST(ParseBodyStructureDb, TopLevelRowLeavesParentAndNumberNull) {
  const int64_t message_id = kFirstMessageId + 10;
  ResetMessage(message_id);
  ASSERT_TRUE(ParseBodyStructure(Testing::Mail("mixedmail"), 0, 0, message_id, false));
  DbSimpleAccess db("NS_IMAPBODYPART");
  const std::string mine = "IMM_IMAPMESSAGEID = " + std::to_string(message_id);
  EXPECT_EQ(db.Count(mine), 3);
  EXPECT_EQ(db.Count(mine + " AND IMB_PARENTID IS NULL AND IMB_BODYNO IS NULL"), 1);
  EXPECT_EQ(db.Count(mine + " AND IMB_BODYNO IN (1, 2) AND IMB_PARENTID IS NOT NULL"), 2);
}

TEST(InsertBodyPartDb, GivenIdIsKeptAndZeroIdIsDrawn) {
  const int64_t message_id = kFirstMessageId + 20;
  ResetMessage(message_id);
  BodyPartRow row = AnalyzePartHeaders("Content-Type: text/plain; charset=iso-8859-1");
  row.message_id = message_id;
  row.id = message_id;  // an id no sequence hands out in this store
  ASSERT_TRUE(InsertBodyPart(row, true));
  EXPECT_EQ(row.id, message_id);
  BodyPartRow drawn = row;
  drawn.id = 0;
  drawn.parent_id = message_id;
  drawn.body_no = 1;
  ASSERT_TRUE(InsertBodyPart(drawn, false));
  EXPECT_GT(drawn.id, 0);
  EXPECT_NE(drawn.id, message_id);
  const auto stored = StoredRows(message_id);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].charset, 19);
}

}  // namespace
}  // namespace Nauvik
