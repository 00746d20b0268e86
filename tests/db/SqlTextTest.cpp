// The SQL text the table layer generates, for both providers. Oracle cannot run here, so its
// statements are compared as text.
#include <gtest/gtest.h>

#include "db/DBTable.h"
#include "db/Dialect.h"
#include "db/Rows.h"
#include "foundation/NTime.h"

namespace Nauvik {
namespace {

KAVRO::NTime Time(const std::string& text) {
  KAVRO::NTime t(uint64_t{0});
  EXPECT_TRUE(t.Parse("$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC", text)) << text;
  return t;
}

TEST(SqlText, SelectCountDeleteOnBothProviders) {
  for (int32_t provider : {kProviderOracle, kProviderPostgres}) {
    DBTable<NV_IMAPSUBSCRIPTION> t;
    t.SetProvider(provider);
    EXPECT_EQ(t.SelectText("USR_USERID = 5", "IMF_SUBSCRIPTIONNAME"),
              "SELECT IMF_SUBSCRIPTIONNAME, USR_USERID, IMS_IMAPSUBSCRIPTIONID FROM "
              "NV_IMAPSUBSCRIPTION WHERE USR_USERID = 5 ORDER BY IMF_SUBSCRIPTIONNAME");
    EXPECT_EQ(t.SelectText("", ""),
              "SELECT IMF_SUBSCRIPTIONNAME, USR_USERID, IMS_IMAPSUBSCRIPTIONID FROM "
              "NV_IMAPSUBSCRIPTION");
    EXPECT_EQ(t.CountText("USR_USERID = 5"),
              "SELECT COUNT(*) FROM NV_IMAPSUBSCRIPTION WHERE USR_USERID = 5");
    EXPECT_EQ(t.DeleteText(""), "DELETE  FROM NV_IMAPSUBSCRIPTION");
    EXPECT_EQ(t.DeleteText("X = 1"), "DELETE  FROM NV_IMAPSUBSCRIPTION WHERE X = 1");
  }
  DBTable<INFO_IMAPMESSAGE> info;
  EXPECT_EQ(info.SelectText("MIF_IMAPMSGINFOLDERID = 9", ""),
            "SELECT IMM_MESSAGEID, IMM.IMM_IMAPMESSAGEID, to_char(MIF_INTERNALDATE, "
            "'yyyy/mm/dd hh24:mi:ss'), MIF_UID, MIF_IMAPMSGINFOLDERID, IMF_IMAPFOLDERID, "
            "MIF_SEEN, MIF_ANSWERED, MIF_FLAGGED, MIF_DELETED, MIF_DRAFT, MIF_RECENT, "
            "FIS.FIS_FILESTORAGEID, FIS_SIZE FROM NV_IMAPMSGINFOLDER MIF INNER JOIN "
            "NV_IMAPMESSAGE IMM ON MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID INNER JOIN "
            "NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID WHERE "
            "MIF_IMAPMSGINFOLDERID = 9");
  info.UseViews(false);
  EXPECT_EQ(info.Columns().size(), 15u);
  EXPECT_EQ(info.Columns().back().name, "MRP_MAILRECIPIENTID");
  EXPECT_EQ(info.GetTableName().substr(0, 22), "NS_IMAPMSGINFOLDER MIF");
}

TEST(SqlText, InsertAndUpdateQuoteTruncateAndOrderByColumnName) {
  for (int32_t provider : {kProviderOracle, kProviderPostgres}) {
    const bool oracle = provider == kProviderOracle;
    DBTable<NV_IMAPFOLDER> t;
    t.SetProvider(provider);
    t.SetTableName("NS_IMAPFOLDER", true);
    t.SetValue("USR_USERID", std::string("17"));
    t.SetValue("IMF_FOLDERNAME", std::u16string(u"O'Brien's"));
    t.SetLiteral("IMF_IMAPFOLDERID", t.SequenceNextValueSql());
    t.SetLiteral("IMF_IMAPFOLDERID_PARENT", "NULL");
    const std::u16string seq =
        oracle ? u"NS_IMAPFOLDER_SEQ.NEXTVAL" : u"nextval('NS_IMAPFOLDER_SEQ')";
    EXPECT_EQ(t.InsertTextW(),
              u"INSERT INTO NS_IMAPFOLDER (IMF_FOLDERNAME, IMF_IMAPFOLDERID, "
              u"IMF_IMAPFOLDERID_PARENT, USR_USERID) VALUES ('O''Brien''s', " +
                  seq + u", NULL, '17')");
    EXPECT_EQ(
        t.UpdateTextW(u"IMF_IMAPFOLDERID = 3"),
        u"UPDATE NS_IMAPFOLDER SET IMF_FOLDERNAME = 'O''Brien''s', IMF_IMAPFOLDERID = " + seq +
            u", IMF_IMAPFOLDERID_PARENT = NULL, USR_USERID = '17' WHERE IMF_IMAPFOLDERID = 3");

    DBTable<NV_IMAPMSGINFOLDER> link;
    link.SetProvider(provider);
    link.SetDateValue("MIF_INTERNALDATE", Time("2026/03/04 05:06:07"));
    link.SetLiteral("MIF_UID", DialectFor(provider).FolderUidNextValue(42));
    EXPECT_EQ(link.InsertText(),
              std::string("INSERT INTO NV_IMAPMSGINFOLDER (MIF_INTERNALDATE, MIF_UID) VALUES (") +
                  (oracle ? "to_date" : "to_timestamp") +
                  "('2026/03/04 05:06:07','yyyy/mm/dd hh24:mi:ss'), " +
                  (oracle ? "IMAPFOLDER_42.NEXTVAL" : "nextval('IMAPFOLDER_42')") + ")");
  }
}

TEST(SqlText, ValuesAreCutAtTheirColumnLimits) {
  DBTable<NV_IMAPMESSAGE> t;
  t.SetProvider(kProviderOracle);
  std::string id400(400, 'a');
  t.SetValue("IMM_MESSAGEID", id400 + "b");  // one byte over: cut
  t.SetValue("IMM_SUBJECT", std::u16string(801, u'\u00e6'));
  t.SetValue("NOT_A_COLUMN", std::string(1000, 'x'));        // unknown: whole
  t.SetValue("FIS_FILESTORAGEID", std::string("12"), true);  // raw: unquoted
  std::u16string text = t.InsertTextW();
  EXPECT_NE(text.find(u"'" + std::u16string(400, u'a') + u"'"), std::u16string::npos);
  EXPECT_EQ(text.find(u"ab'"), std::u16string::npos);
  EXPECT_NE(text.find(u"'" + std::u16string(800, u'\u00e6') + u"'"), std::u16string::npos);
  EXPECT_EQ(text.find(std::u16string(801, u'\u00e6')), std::u16string::npos);
  EXPECT_NE(text.find(u"'" + std::u16string(1000, u'x') + u"'"), std::u16string::npos);
  EXPECT_NE(text.find(u"VALUES (12, '"), std::u16string::npos);
  t.SetValue("IMM_MESSAGEID", id400);  // exactly the limit: whole
  EXPECT_NE(t.InsertTextW().find(u"'" + std::u16string(400, u'a') + u"'"), std::u16string::npos);
  // Number columns cut at their buffer too: an id's 64 bytes of text, a 16-bit column's 2 bytes, a
  // 32-bit one's 4.
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
  EXPECT_EQ(pg.NextValueStatement(pg.SequenceExpression("NS_FILESTORAGE")),
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

  DbSimpleAccess seq("NV_IMAPMESSAGE");
  seq.SetProvider(kProviderOracle);
  EXPECT_EQ(seq.NextValueText(), "SELECT NV_IMAPMESSAGE_SEQ.NEXTVAL FROM DUAL");
  seq.SetProvider(kProviderPostgres);
  EXPECT_EQ(seq.NextValueText(), "SELECT nextval('NS_IMAPMESSAGE_SEQ')");
}

TEST(SqlText, QuotedColumnNamesKeepTheDateSelect) {
  DBTable<NS_FILESTORAGE> t;
  t.QuoteColumnNames();
  t.QuoteColumnNames();  // already quoted: unchanged
  EXPECT_EQ(t.SelectText("", "").rfind(
                "SELECT \"FIS_FILESTORAGEID\", \"FSH_FILESTORAGEHOSTID\", \"FIS_LOCATION\", ", 0),
            0u);
  EXPECT_NE(t.SelectText("", "").find("to_char(\"FIS_CREATED\", 'yyyy/mm/dd hh24:mi:ss')"),
            std::string::npos);
}

TEST(SqlText, VesselRowHasAllColumnsInOrder) {
  DBTable<NV_VESSEL> v;
  ASSERT_EQ(v.Columns().size(), 62u);
  EXPECT_EQ(v.Columns()[0].name, "VES_WEBSERVICEPORT");
  EXPECT_EQ(v.Columns()[51].name, "VES_VESSELID");
  EXPECT_EQ(v.Columns()[61].name, "VES_SEA_SMS_SAC");
}

}  // namespace
}  // namespace Nauvik
