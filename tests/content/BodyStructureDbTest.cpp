// The body-part writer against the private PostgreSQL store.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "content/BodyStructure.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "tests/mime/TestBytes.h"

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
  db.ExecuteDirect("INSERT INTO NS_FILESTORAGE (FIS_FILESTORAGEID, FIS_SIZE) VALUES (" + i +
                   ", 1)");
  db.ExecuteDirect("INSERT INTO NS_IMAPMESSAGE (IMM_IMAPMESSAGEID, FIS_FILESTORAGEID) VALUES (" +
                   i + ", " + i + ")");
}

std::vector<BodyPartRow> StoredRows(int64_t message_id) {
  DBTable<NV_IMAPBODYPART> table;
  EXPECT_TRUE(table.Select("IMM_IMAPMESSAGEID = " + std::to_string(message_id),
                           "IMB_IMAPBODYPARTID"));
  std::vector<BodyPartRow> rows;
  while (table.Fetch()) {
    const auto u32 = [](auto v) { return static_cast<uint32_t>(v); };
    rows.push_back(BodyPartRow{IdOf(table.IMB_IMAPBODYPARTID), IdOf(table.IMM_IMAPMESSAGEID),
                               IdOf(table.IMB_PARENTID), table.IMB_BODYNO, u32(table.IMB_HDRSTART),
                               u32(table.IMB_BODYSTART), u32(table.IMB_BODYEND),
                               table.IMB_MIMEBASIC, table.IMB_CHARSET, table.IMB_ENCODING});
  }
  return rows;
}

TEST(ParseBodyStructureDb, StoresTheScannedRows) {
  const std::string mail = Testing::Mail("nestedmail");
  for (const bool use_views : {false, true}) {
    const int64_t message_id = kFirstMessageId + use_views;
    ResetMessage(message_id);
    std::vector<BodyPartRow> scanned;
    ASSERT_TRUE(ScanBodyStructure(mail, 0, 0, message_id, [&](BodyPartRow& row) {
      row.id = static_cast<int64_t>(scanned.size()) + 1;
      scanned.push_back(row);
      return true;
    }));
    ASSERT_TRUE(ParseBodyStructure(mail, 0, 0, message_id, use_views));
    std::vector<BodyPartRow> stored = StoredRows(message_id);
    ASSERT_EQ(stored.size(), scanned.size()) << use_views;
    // Sequence ids increase in write order, so row i of both lists is the
    // same entity; ids and parents are compared by position.
    std::map<int64_t, int64_t> position = {{0, 0}};
    for (size_t i = 0; i < stored.size(); ++i) {
      position[stored[i].id] = static_cast<int64_t>(i) + 1;
      stored[i].id = position[stored[i].id];
      stored[i].parent_id = position.at(stored[i].parent_id);
      EXPECT_EQ(stored[i], scanned[i]) << "row " << i << " use_views " << use_views;
    }
    // The top-level row leaves parent and number NULL.
    const std::string top = "IMM_IMAPMESSAGEID = " + std::to_string(message_id) +
                            " AND IMB_PARENTID IS NULL AND IMB_BODYNO IS NULL";
    EXPECT_EQ(DbSimpleAccess("NS_IMAPBODYPART").Count(top), 1);
  }
}

}  // namespace
}  // namespace Nauvik
