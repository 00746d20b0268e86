// Every row class written and read back through its NS_ table and its NV_
// view on the private store: non-ASCII wide text, ISO-8859-1 8-bit text,
// 64-bit ids, dates with their time of day, negative numbers, and string
// values one place over their limit (cut to it). The rows are written in one
// transaction that is rolled back, so no other test ever sees them.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "foundation/NTime.h"

namespace Nauvik {
namespace {

// A stable number per column name, so that a column carries the same value in
// its table and in the joins that read it.
uint32_t NameHash(const std::string& name) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return h;
}

std::string BaseName(const std::string& column) {
  size_t dot = column.find('.');
  return dot == std::string::npos ? column : column.substr(dot + 1);
}

struct Values {
  int64_t id;  // every id column of one round carries this id: keys meet
  // Ids that must name existing rows or fit 32 bits in the joins.
  std::string IdFor(const std::string& name) const {
    if (name == "FIS_SIZE") return "123456";
    return std::to_string(id);
  }
  static int16_t ShortFor(const std::string& name) {
    if (name == "FIS_CREATEDBY" || name == "FIS_DELETEDBY") return 46;  // NS_FILECREATOR rows
    return static_cast<int16_t>(-100 - static_cast<int>(NameHash(name) % 20000));
  }
  static int32_t LongFor(const std::string& name) {
    if (name == "FIS_SIZE") return 123456;
    return static_cast<int32_t>(1000000000 + NameHash(name) % 1000000000);
  }
  static std::string DateFor(const std::string& name) {
    uint32_t h = NameHash(name);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u/%02u/%02u %02u:%02u:%02u", 2001 + h % 40,
                  1 + (h >> 3) % 12, 1 + (h >> 7) % 28, (h >> 11) % 24, (h >> 16) % 60,
                  (h >> 22) % 60);
    return buf;
  }
  // ISO-8859-1 text with a quote, one byte longer than the limit.
  static std::string LatinFor(const std::string& name, size_t limit) {
    std::string pattern = "\xE6\xF8\xE5'Z\xC9" + name;
    std::string out;
    while (out.size() < limit + 1) out += pattern;
    return out.substr(0, limit + 1);
  }
  static std::u16string WideFor(const std::string& name, size_t limit) {
    std::u16string pattern = u"\u00d8\u20ac'\u4e2d\u00df\u0416";
    pattern += std::u16string(name.begin(), name.end());
    std::u16string out;
    while (out.size() < limit + 1) out += pattern;
    return out.substr(0, limit + 1);
  }
};

KAVRO::NTime TimeOf(const std::string& text) {
  KAVRO::NTime t(uint64_t{0});
  EXPECT_TRUE(t.Parse("$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC", text)) << text;
  return t;
}

void SetAll(DBTableBase& t, const Values& v) {
  for (const ColumnDescriptor& c : t.Columns()) {
    std::string name = BaseName(c.name);
    if (c.is_date) {
      t.SetDateValue(name, TimeOf(Values::DateFor(name)));
    } else if (c.value_type == kSqlCWChar) {
      t.SetValue(name, Values::WideFor(name, static_cast<size_t>(c.buffer_size) / 2));
    } else if (c.latin1) {
      t.SetValue(name, Values::LatinFor(name, static_cast<size_t>(c.buffer_size)));
    } else if (c.value_type == kSqlCChar) {
      t.SetValue(name, v.IdFor(name));
    } else if (c.value_type == kSqlCShort) {
      t.SetLiteral(name, std::to_string(Values::ShortFor(name)));
    } else {
      t.SetLiteral(name, std::to_string(Values::LongFor(name)));
    }
  }
}

void CheckAll(const DBTableBase& t, const Values& v, const std::string& where) {
  for (const ColumnDescriptor& c : t.Columns()) {
    std::string name = BaseName(c.name);
    SCOPED_TRACE(t.GetTableName() + " " + c.name + " (" + where + ")");
    if (c.is_date) {
      EXPECT_STREQ(static_cast<const char*>(c.buffer), Values::DateFor(name).c_str());
    } else if (c.value_type == kSqlCWChar) {
      std::u16string want = Values::WideFor(name, static_cast<size_t>(c.buffer_size) / 2);
      want.pop_back();  // stored cut to the limit
      EXPECT_TRUE(WTextOf(static_cast<const char16_t*>(c.buffer)) == want);
    } else if (c.latin1) {
      std::string want = Values::LatinFor(name, static_cast<size_t>(c.buffer_size));
      want.pop_back();
      EXPECT_EQ(TextOf(static_cast<const char*>(c.buffer)), want);
    } else if (c.value_type == kSqlCChar) {
      EXPECT_EQ(TextOf(static_cast<const char*>(c.buffer)), v.IdFor(name));
    } else if (c.value_type == kSqlCShort) {
      EXPECT_EQ(*static_cast<const int16_t*>(c.buffer), Values::ShortFor(name));
    } else {
      EXPECT_EQ(*static_cast<const int32_t*>(c.buffer), Values::LongFor(name));
    }
  }
}

std::string Other(const std::string& name) {
  return (name.compare(0, 3, "NV_") == 0 ? "NS_" : "NV_") + name.substr(3);
}

// Writes one row through `write_name` and reads it back through both names.
template <class Row>
void RoundTrip(const std::string& key, const Values& v, bool through_view) {
  DBTable<Row> w;
  std::string default_name = w.GetTableName();
  std::string base = default_name.compare(0, 3, "NS_") == 0 ? default_name : Other(default_name);
  std::string write_name = through_view ? Other(base) : base;
  w.SetTableName(write_name, true);
  SetAll(w, v);
  ASSERT_TRUE(w.Insert()) << write_name;
  for (const std::string& read_name : {base, Other(base)}) {
    DBTable<Row> r;
    r.SetTableName(read_name, false);
    std::string where = key + " = " + v.IdFor(key);
    ASSERT_TRUE(r.Select(where, ""));
    ASSERT_TRUE(r.Fetch()) << read_name << " " << where;
    CheckAll(r, v, read_name);
    EXPECT_FALSE(r.Fetch());
    // After the last row the buffers are cleared.
    for (const ColumnDescriptor& c : r.Columns()) {
      EXPECT_EQ(static_cast<const char*>(c.buffer)[0], 0) << c.name;
    }
  }
}

int64_t FreshId() {
  std::random_device rd;
  // Above every id a sequence or another test hands out; fits 63 bits.
  return 9100000000000000000LL + static_cast<int64_t>(rd() % 100000000u) * 1000;
}

TEST(Rows, EveryRowClassThroughTableAndView) {
  int64_t id = FreshId();
  ManualCommit txn;
  for (bool through_view : {false, true}) {
    Values v{id + (through_view ? 1 : 0)};
    SCOPED_TRACE(through_view ? "written through the views" : "written to the tables");
    // Parents first: the foreign keys hold within the transaction.
    RoundTrip<NS_FILESTORAGEHOST>("FSH_FILESTORAGEHOSTID", v, through_view);
    RoundTrip<NS_FILESTORAGE>("FIS_FILESTORAGEID", v, through_view);
    RoundTrip<NV_IMAPMESSAGE>("IMM_IMAPMESSAGEID", v, through_view);
    RoundTrip<NV_IMAPBODYPART>("IMB_IMAPBODYPARTID", v, through_view);
    RoundTrip<NV_IMAPFOLDER>("IMF_IMAPFOLDERID", v, through_view);
    RoundTrip<NV_IMAPMSGINFOLDER>("MIF_IMAPMSGINFOLDERID", v, through_view);
    {
      // A column the row class does not bind is written all the same.
      DBTable<NV_IMAPMSGINFOLDER> link;
      link.SetValue("MRP_MAILRECIPIENTID", v.IdFor("MRP_MAILRECIPIENTID"));
      EXPECT_EQ(link.Update("MIF_IMAPMSGINFOLDERID = " + v.IdFor("")), 1);
    }
    RoundTrip<NV_IMAPFOLDERACCESS>("IFA_IMAPFOLDERACCESSID", v, through_view);
    RoundTrip<NV_IMAPSUBSCRIPTION>("IMS_IMAPSUBSCRIPTIONID", v, through_view);
    RoundTrip<NV_USER>("USR_USERID", v, through_view);
    RoundTrip<NV_VESSEL>("VES_VESSELID", v, through_view);

    // The joins over what was just written.
    std::string ids = std::to_string(v.id);
    DBTable<JOIN_IMAPMESSAGEANDSIZE> size;
    ASSERT_TRUE(size.Select("FIS.FIS_FILESTORAGEID = " + ids, ""));
    ASSERT_TRUE(size.Fetch());
    EXPECT_EQ(IdOf(size.IMM_IMAPMESSAGEID), v.id);
    EXPECT_EQ(IdOf(size.FIS_FILESTORAGEID), v.id);
    EXPECT_EQ(size.FIS_SIZE, 123456);
    for (bool views : {true, false}) {
      DBTable<INFO_IMAPMESSAGE> info;
      info.UseViews(views);
      ASSERT_TRUE(info.Select("MIF_IMAPMSGINFOLDERID = " + ids, ""));
      ASSERT_TRUE(info.Fetch());
      CheckAll(info, v, views ? "view join" : "table join");
      DBTable<IMAP_FOLDERMESSAGES> list;
      list.UseViews(views);
      ASSERT_TRUE(list.Select("IMF_IMAPFOLDERID = " + ids, "MIF_UID"));
      ASSERT_TRUE(list.Fetch());
      CheckAll(list, v, views ? "view join" : "table join");
      EXPECT_FALSE(list.Fetch());
    }
  }
  // A creator row of our own (the table's key is a 16-bit number).
  DBTable<NS_FILECREATOR> creator;
  creator.SetLiteral("FIC_FILECREATORID", "-321");
  creator.SetValue("FIC_DESCRIPTION", std::string("Cr\xE9""ateur"));
  ASSERT_TRUE(creator.Insert());
  DBTable<NS_FILECREATOR> read;
  read.SetTableName("NV_FILECREATOR", false);
  ASSERT_TRUE(read.Select("FIC_FILECREATORID = -321", ""));
  ASSERT_TRUE(read.Fetch());
  EXPECT_EQ(read.FIC_FILECREATORID, -321);
  EXPECT_EQ(TextOf(read.FIC_DESCRIPTION), "Cr\xE9""ateur");
  EXPECT_EQ(read.Count("FIC_FILECREATORID IN (11, 21, 46)"), 3);
  txn.Rollback();
  DBTable<NV_IMAPFOLDER> gone;
  EXPECT_EQ(gone.Count("IMF_IMAPFOLDERID IN (" + std::to_string(id) + ", " +
                       std::to_string(id + 1) + ")"),
            0);
}

// A failed statement is reported with its query and freed; the same object
// runs the next one on a new statement of the same connection.
TEST(Rows, AFailedStatementIsReportedWithItsQueryAndFreed) {
  DBTable<NV_IMAPMSGINFOLDER> link;
  link.SetLiteral("MIF_UID", link.GetDialect().FolderUidNextValue(FreshId()));  // no such sequence
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
}

}  // namespace
}  // namespace Nauvik
