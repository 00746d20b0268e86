// Each row class the store reads, written and read back through its NS_ table and its NV_ view on
// the private store: non-ASCII wide text, ISO-8859-1 8-bit text, 64-bit ids, dates with their time
// of day, negative numbers, and string values one place over their limit (cut to it). The rows are
// written in one transaction that is rolled back, so no other test ever sees them.
#include <gtest/gtest.h>

#include <cstdio>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/NTime.h"

namespace Nauvik {
namespace {

std::u16string Widen(const std::string& bytes) {
  std::u16string units;
  for (unsigned char c : bytes) units += c;
  return units;
}
std::string Narrow(const std::u16string& units) { return {units.begin(), units.end()}; }

// The value of a column, as text, in a round where every id column carries `id` (so that keys
// meet): ids that must name existing rows or fit 32 bits in the joins aside, a stable value per
// column name, so that a column carries the same value in its table and in the joins that read it.
// Text is one unit over the limit unless `cut`; 8-bit text one unit per byte.
std::u16string Value(const ColumnDescriptor& c, int64_t id, bool cut) {
  const std::string name = c.name.substr(c.name.find('.') + 1);
  uint32_t h = 2166136261u;
  for (char ch : name) h = (h ^ static_cast<unsigned char>(ch)) * 16777619u;
  const bool wide = c.value_type == kSqlCWChar;
  if (c.is_date) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u/%02u/%02u %02u:%02u:%02u", 2001 + h % 40,
                  1 + (h >> 3) % 12, 1 + (h >> 7) % 28, (h >> 11) % 24, (h >> 16) % 60,
                  (h >> 22) % 60);
    return Widen(buf);
  }
  if (wide || c.latin1) {  // with a quote and letters beyond ASCII
    const size_t limit = static_cast<size_t>(c.buffer_size) / (wide ? 2 : 1);
    const std::u16string pattern =
        (wide ? u"\u00d8\u20ac'\u4e2d\u00df\u0416" : u"\xE6\xF8\xE5'Z\xC9") + Widen(name);
    std::u16string out;
    while (out.size() < limit + 1) out += pattern;
    return out.substr(0, cut ? limit : limit + 1);
  }
  if (name == "FIS_SIZE") return u"123456";
  if (c.value_type == kSqlCChar) return Widen(std::to_string(id));
  if (name == "FIS_CREATEDBY" || name == "FIS_DELETEDBY") return u"46";  // NS_FILECREATOR rows
  if (c.value_type == kSqlCShort) return Widen(std::to_string(-100 - static_cast<int>(h % 20000)));
  return Widen(std::to_string(1000000000 + h % 1000000000));
}

// What a fetched column holds, as Value() gives it.
std::u16string Fetched(const ColumnDescriptor& c) {
  const char* text = static_cast<const char*>(c.buffer);
  if (c.value_type == kSqlCWChar) return WTextOf(static_cast<const char16_t*>(c.buffer));
  if (c.is_date || c.latin1 || c.value_type == kSqlCChar) return Widen(TextOf(text));
  if (c.value_type == kSqlCShort)
    return Widen(std::to_string(*static_cast<const int16_t*>(c.buffer)));
  return Widen(std::to_string(*static_cast<const int32_t*>(c.buffer)));
}

// Selects the one row `where` names: every column as written, and the buffers cleared after it.
template <class Row>
void ReadOne(DBTable<Row>& r, const std::string& where, const std::string& order, int64_t id,
             const std::string& label) {
  ASSERT_TRUE(r.Select(where, order));
  ASSERT_TRUE(r.Fetch()) << label << " " << where;
  for (const ColumnDescriptor& c : r.Columns()) {
    EXPECT_TRUE(Fetched(c) == Value(c, id, true)) << label << " " << c.name;
  }
  EXPECT_FALSE(r.Fetch()) << label;
  for (const ColumnDescriptor& c : r.Columns()) {
    EXPECT_EQ(static_cast<const char*>(c.buffer)[0], 0) << label << " " << c.name;
  }
}

// Writes one row to the table or through the view and reads it back through both.
template <class Row>
void RoundTrip(const std::string& key, int64_t id, bool through_view) {
  DBTable<Row> w;
  const std::string base = "NS_" + w.GetTableName().substr(3);
  const std::string view = "NV_" + base.substr(3);
  w.SetTableName(through_view ? view : base, true);
  for (const ColumnDescriptor& c : w.Columns()) {
    const std::string name = c.name.substr(c.name.find('.') + 1);
    const std::u16string value = Value(c, id, false);
    KAVRO::NTime time(uint64_t{0});
    if (c.is_date) {
      EXPECT_TRUE(time.Parse("$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC", Narrow(value)));
      w.SetDateValue(name, time);
    } else if (c.value_type == kSqlCWChar) {
      w.SetValue(name, value);
    } else if (c.latin1 || c.value_type == kSqlCChar) {
      w.SetValue(name, Narrow(value));
    } else {
      w.SetLiteral(name, Narrow(value));
    }
  }
  ASSERT_TRUE(w.Insert()) << w.GetTableName();
  for (const std::string& read_name : {base, view}) {
    DBTable<Row> r;
    r.SetTableName(read_name, false);
    ReadOne(r, key + " = " + std::to_string(id), "", id, read_name);
  }
}

// First a failed statement: reported with its query and freed; the same object runs the next one
// on a new statement of the same connection.
TEST(Rows, AFailedStatementThenEveryRowClassThroughTableAndView) {
  const int64_t first = 9100000000000000000LL;  // above every id a sequence hands out
  DBTable<NV_IMAPMSGINFOLDER> link;
  link.SetLiteral("MIF_UID", link.GetDialect().FolderUidNextValue(first));  // no such sequence
  CODBCDatabase* db = CODBCDatabase::GetDB("", kProviderDefault);
  ASSERT_NE(db, nullptr);
  const size_t statements = db->StatementCount();  // none of them is the link's yet
  try {
    link.Insert();
    FAIL() << "insert with a missing sequence succeeded";
  } catch (const DBException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("SQL State: ", 0), 0u) << text;
    EXPECT_NE(text.find(". Query: SQL"), std::string::npos) << text;
    EXPECT_NE(text.find("INSERT INTO NV_IMAPMSGINFOLDER (MIF_UID) VALUES"), std::string::npos)
        << text;
  }
  EXPECT_EQ(db->StatementCount(), statements);
  EXPECT_GE(link.Count(""), 0);
  EXPECT_EQ(db->StatementCount(), statements + 1);
  EXPECT_EQ(CODBCDatabase::FindDB("", kProviderDefault), db);
  ManualCommit txn;
  for (bool through_view : {false, true}) {
    const int64_t id = first + (through_view ? 1 : 0);
    const std::string ids = std::to_string(id);
    SCOPED_TRACE(through_view ? "written through the views" : "written to the tables");
    // Parents first: the foreign keys hold within the transaction.
    RoundTrip<NS_FILESTORAGEHOST>("FSH_FILESTORAGEHOSTID", id, through_view);
    RoundTrip<NS_FILESTORAGE>("FIS_FILESTORAGEID", id, through_view);
    RoundTrip<NV_IMAPMESSAGE>("IMM_IMAPMESSAGEID", id, through_view);
    RoundTrip<NV_IMAPBODYPART>("IMB_IMAPBODYPARTID", id, through_view);
    RoundTrip<NV_IMAPFOLDER>("IMF_IMAPFOLDERID", id, through_view);
    RoundTrip<NV_IMAPMSGINFOLDER>("MIF_IMAPMSGINFOLDERID", id, through_view);
    {
      // A column the row class does not bind is written all the same.
      DBTable<NV_IMAPMSGINFOLDER> link;
      link.SetValue("MRP_MAILRECIPIENTID", ids);
      EXPECT_EQ(link.Update("MIF_IMAPMSGINFOLDERID = " + ids), 1);
    }
    RoundTrip<NV_IMAPFOLDERACCESS>("IFA_IMAPFOLDERACCESSID", id, through_view);
    RoundTrip<NV_IMAPSUBSCRIPTION>("IMS_IMAPSUBSCRIPTIONID", id, through_view);
    RoundTrip<NV_USER>("USR_USERID", id, through_view);
    RoundTrip<NV_VESSEL>("VES_VESSELID", id, through_view);
    // The joins over what was just written.
    DBTable<JOIN_IMAPMESSAGEANDSIZE> size;
    ReadOne(size, "FIS.FIS_FILESTORAGEID = " + ids, "", id, "size join");
    for (bool views : {true, false}) {
      DBTable<INFO_IMAPMESSAGE> info;
      info.UseViews(views);
      ReadOne(info, "MIF_IMAPMSGINFOLDERID = " + ids, "", id, views ? "view join" : "table join");
      // The recipient is read on the tables only (its value checked above with every column).
      EXPECT_EQ(info.Columns().back().name == "MRP_MAILRECIPIENTID", !views);
      DBTable<IMAP_FOLDERMESSAGES> list;
      list.UseViews(views);
      ReadOne(list, "IMF_IMAPFOLDERID = " + ids, "MIF_UID", id, views ? "view list" : "table list");
    }
  }
  txn.Rollback();
  DBTable<NV_IMAPFOLDER> gone;
  EXPECT_EQ(gone.Count("IMF_IMAPFOLDERID IN (" + std::to_string(first) + ", " +
                       std::to_string(first + 1) + ")"),
            0);
}

}  // namespace
}  // namespace Nauvik
