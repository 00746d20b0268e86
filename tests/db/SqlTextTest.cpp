// The SQL text the table layer generates where PostgreSQL, which the other tests run it on, cannot
// show it: Oracle's statements, compared as text, and values cut before they reach the server.
#include <gtest/gtest.h>

#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "foundation/NTime.h"

namespace Nauvik {
namespace {

TEST(SqlText, SelectCountDeleteOnOracle) {
  DBTable<NV_IMAPSUBSCRIPTION> t;
  t.SetProvider(kProviderOracle);
  EXPECT_EQ(t.SelectText("USR_USERID = 5", "IMF_SUBSCRIPTIONNAME"),
            "SELECT IMF_SUBSCRIPTIONNAME, USR_USERID, IMS_IMAPSUBSCRIPTIONID FROM "
            "NV_IMAPSUBSCRIPTION WHERE USR_USERID = 5 ORDER BY IMF_SUBSCRIPTIONNAME");
  EXPECT_EQ(t.CountText("USR_USERID = 5"),
            "SELECT COUNT(*) FROM NV_IMAPSUBSCRIPTION WHERE USR_USERID = 5");
  EXPECT_EQ(t.DeleteText(""), "DELETE  FROM NV_IMAPSUBSCRIPTION");
  EXPECT_EQ(t.DeleteText("X = 1"), "DELETE  FROM NV_IMAPSUBSCRIPTION WHERE X = 1");
}

TEST(SqlText, InsertAndUpdateOnOracleQuoteAndOrderByColumnName) {
  DBTable<NV_IMAPFOLDER> t;
  t.SetProvider(kProviderOracle);
  t.SetTableName("NS_IMAPFOLDER", true);
  t.SetValue("USR_USERID", std::string("17"));
  t.SetValue("IMF_FOLDERNAME", std::u16string(u"O'Brien's"));
  t.SetLiteral("IMF_IMAPFOLDERID", t.SequenceNextValueSql());
  t.SetLiteral("IMF_IMAPFOLDERID_PARENT", "NULL");
  EXPECT_EQ(
      t.InsertTextW(),
      u"INSERT INTO NS_IMAPFOLDER (IMF_FOLDERNAME, IMF_IMAPFOLDERID, IMF_IMAPFOLDERID_PARENT, "
      u"USR_USERID) VALUES ('O''Brien''s', NS_IMAPFOLDER_SEQ.NEXTVAL, NULL, '17')");
  EXPECT_EQ(t.UpdateTextW(u"IMF_IMAPFOLDERID = 3"),
            u"UPDATE NS_IMAPFOLDER SET IMF_FOLDERNAME = 'O''Brien''s', IMF_IMAPFOLDERID = "
            u"NS_IMAPFOLDER_SEQ.NEXTVAL, IMF_IMAPFOLDERID_PARENT = NULL, USR_USERID = '17' WHERE "
            u"IMF_IMAPFOLDERID = 3");
  DBTable<NV_IMAPMSGINFOLDER> link;
  link.SetProvider(kProviderOracle);
  KAVRO::NTime time(uint64_t{0});
  ASSERT_TRUE(time.Parse("$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC", "2026/03/04 05:06:07"));
  link.SetDateValue("MIF_INTERNALDATE", time);
  link.SetLiteral("MIF_UID", DialectFor(kProviderOracle).FolderUidNextValue(42));
  EXPECT_EQ(
      link.InsertText(),
      "INSERT INTO NV_IMAPMSGINFOLDER (MIF_INTERNALDATE, MIF_UID) VALUES (to_date('2026/03/04 "
      "05:06:07','yyyy/mm/dd hh24:mi:ss'), IMAPFOLDER_42.NEXTVAL)");
}

// Text one place over its limit is cut, an unknown column's value is kept whole, a raw one
// unquoted; number columns are cut at their buffer too: an id's 64 bytes of text, a 16-bit
// column's 2 bytes, a 32-bit one's 4.
TEST(SqlText, ValuesAreCutAtTheirColumnLimits) {
  DBTable<NV_IMAPMESSAGE> t;
  t.SetProvider(kProviderOracle);
  t.SetValue("IMM_MESSAGEID", std::string(400, 'a') + "b");
  t.SetValue("IMM_SUBJECT", std::u16string(801, u'\u00e6'));
  t.SetValue("NOT_A_COLUMN", std::string(1000, 'x'));
  t.SetValue("FIS_FILESTORAGEID", std::string("12"), true);
  EXPECT_EQ(t.InsertTextW(),
            u"INSERT INTO NV_IMAPMESSAGE (FIS_FILESTORAGEID, IMM_MESSAGEID, IMM_SUBJECT, "
            u"NOT_A_COLUMN) VALUES (12, '" +
                std::u16string(400, u'a') + u"', '" + std::u16string(800, u'\u00e6') + u"', '" +
                std::u16string(1000, u'x') + u"')");
  DBTable<NV_IMAPFOLDER> folder;
  folder.SetValue("USR_USERID", std::string(70, '7'));
  folder.SetValue("IMF_INBOX", std::string("123"));
  folder.SetValue("IMF_UID", std::string("123456"));
  EXPECT_EQ(folder.InsertText(),
            "INSERT INTO NV_IMAPFOLDER (IMF_INBOX, IMF_UID, USR_USERID) "
            "VALUES ('12', '1234', '" +
                std::string(64, '7') + "')");
}

TEST(SqlText, DialectStatements) {
  const Dialect& ora = DialectFor(kProviderOracle);
  const Dialect& pg = DialectFor(kProviderPostgres);
  EXPECT_EQ(ora.CreateFolderUidSequence(42),
            "CREATE SEQUENCE IMAPFOLDER_42 MINVALUE 1 MAXVALUE 4294967295 START WITH 1  "
            "INCREMENT BY 1  NOCACHE");
  EXPECT_EQ(pg.CreateFolderUidSequence(42),
            "CREATE SEQUENCE IMAPFOLDER_42 MINVALUE 1 MAXVALUE 4294967295 START WITH 1  "
            "INCREMENT BY 1  NO CYCLE");
  EXPECT_EQ(ora.DropFolderUidSequence(7000000005), "DROP SEQUENCE IMAPFOLDER_7000000005");
  EXPECT_EQ(ora.NextValueStatement(ora.SequenceExpression("NV_FILESTORAGE")),
            "SELECT NV_FILESTORAGE_SEQ.NEXTVAL FROM DUAL");
  // No synonyms on PostgreSQL: the view's writes count on the table's sequence.
  EXPECT_EQ(pg.NextValueStatement(pg.SequenceExpression("NV_FILESTORAGE")),
            "SELECT nextval('NS_FILESTORAGE_SEQ')");
  EXPECT_EQ(ora.CurrentUtcTime(),
            "TO_DATE(TO_CHAR(SYS_EXTRACT_UTC(SYSTIMESTAMP), 'DD.MM.YYYY HH24:MI:SS'),"
            "'DD.MM.YYYY HH24:MI:SS')");
  EXPECT_EQ(ora.Nvl("USR_ROWSTATUS", "0"), "NVL(USR_ROWSTATUS,0)");
  EXPECT_EQ(pg.Nvl("USR_ROWSTATUS", "0"), "COALESCE(USR_ROWSTATUS,0)");
  EXPECT_EQ(ora.LikeText("a\\b%"), "a\\b%");
  EXPECT_EQ(pg.LikeText("a\\b%"), "a\\\\b%");
  EXPECT_EQ(pg.LikeText(u"x\\"), u"x\\\\");
  EXPECT_EQ(ora.EmptyTextLiteral(), "''");
  EXPECT_EQ(pg.EmptyTextLiteral(), "NULL");
  EXPECT_THROW(DialectFor(3), DBException);
}

}  // namespace
}  // namespace Nauvik
