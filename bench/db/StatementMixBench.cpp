// The statements the store sends for one new mail (a duplicate lookup, two
// sequence values, three inserts, two selects), once through the table layer
// and once written directly against the ODBC API with the same SQL and the
// same calls (UTF-16 statements, prepared inserts, bound result columns).
//
//   scripts/store start /tmp/benchstore
//   MAILSTORAGE_REGISTRY=/tmp/benchstore/registry.reg build/bench/db/db_statement_mix_bench
//
// Each benchmark thread has its own connection. Rows accumulate in the store.
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"

namespace Nauvik {
namespace {

constexpr int64_t kVessel = 7;
std::atomic<int64_t> g_folder{0};  // the folder every link goes into

// Creates the bench folder and its UID sequence once.
int64_t Folder() {
  static std::once_flag once;
  std::call_once(once, [] {
    DBTable<NV_IMAPFOLDER> f;
    int64_t id = kVessel * 1000000000 + static_cast<int64_t>(f.GetNextSequenceValue());
    f.SetValue("IMF_IMAPFOLDERID", std::to_string(id));
    f.SetValue("USR_USERID", std::string("1"));
    std::string digits = std::to_string(id);
    f.SetValue("IMF_FOLDERNAME",
               u"Bench \u00e6 " + std::u16string(digits.begin(), digits.end()));
    f.Insert();
    DbSimpleAccess ddl;
    ddl.ExecuteDirect(f.GetDialect().CreateFolderUidSequence(id));
    g_folder = id;
  });
  return g_folder;
}

std::string MessageIdText(int64_t n) { return "<bench." + std::to_string(n) + "@example.invalid>"; }

void LayerMix(int64_t folder, int64_t n) {
  const std::string mid = MessageIdText(n);
  DBTable<JOIN_IMAPMESSAGEANDSIZE> dup;
  dup.Select("IMM_MESSAGEID LIKE '" + dup.GetDialect().LikeText(mid) + "' AND FIS_SIZE = 4321" +
                 " AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT NULL AND "
                 "FSH_FILESTORAGEHOSTID IS NOT NULL",
             "");
  benchmark::DoNotOptimize(dup.Fetch());

  DBTable<NS_FILESTORAGE> fis;
  fis.SetTableName("NV_FILESTORAGE", true);
  uint64_t fis_id = fis.GetNextSequenceValue();
  DBTable<NV_IMAPMESSAGE> msg;
  int64_t msg_id = kVessel * 1000000000 + static_cast<int64_t>(msg.GetNextSequenceValue());

  fis.SetValue("FIS_FILESTORAGEID", std::to_string(fis_id));
  fis.SetValue("FSH_FILESTORAGEHOSTID", std::string("1"));
  fis.SetValue("FIS_LOCATION", "\\2026\\3\\4\\7\\5\\" + std::to_string(fis_id) + ".blb");
  fis.SetValue("FIS_SIZE", std::string("4321"));
  fis.SetLiteral("FIS_CREATED", fis.GetDialect().CurrentUtcTime());
  fis.SetValue("FIS_CREATEDBY", std::string("11"), true);
  fis.SetValue("FIT_FILETYPEID", std::string("11"), true);
  fis.Insert();

  msg.SetValue("IMM_IMAPMESSAGEID", std::to_string(msg_id));
  msg.SetValue("FIS_FILESTORAGEID", std::to_string(fis_id));
  msg.SetDateValue("IMM_SENT", KAVRO::NTime());
  msg.SetValue("IMM_TO", std::u16string(u"J\u00f8rgen <j@example.invalid>"));
  msg.SetValue("IMM_FROM", std::u16string(u"Bench <b@example.invalid>"));
  msg.SetValue("IMM_MESSAGEID", mid);
  msg.SetValue("IMM_SUBJECT", std::u16string(u"Weekly report \u2013 engine room"));
  msg.SetValue("IMM_SORTSUBJECT", std::u16string(u"weekly report \u2013 engine room"));
  msg.Insert();

  DBTable<NV_IMAPMSGINFOLDER> link;
  link.SetValue("MIF_IMAPMSGINFOLDERID", std::to_string(msg_id));
  link.SetValue("IMM_IMAPMESSAGEID", std::to_string(msg_id));
  link.SetValue("IMF_IMAPFOLDERID", std::to_string(folder));
  link.SetLiteral("MIF_UID", link.GetDialect().FolderUidNextValue(folder));
  link.SetDateValue("MIF_INTERNALDATE", KAVRO::NTime());
  link.SetLiteral("MIF_RECENT", "1");
  link.Insert();

  DBTable<INFO_IMAPMESSAGE> info;
  info.Select("MIF_IMAPMSGINFOLDERID = " + std::to_string(msg_id), "");
  if (!info.Fetch()) throw std::runtime_error("link not found");
  DBTable<NV_IMAPFOLDER> f;
  f.Select("IMF_IMAPFOLDERID = " + std::to_string(folder), "");
  if (!f.Fetch()) throw std::runtime_error("folder not found");
}

void BM_TableLayer(benchmark::State& state) {
  int64_t folder = Folder();
  int64_t n = static_cast<int64_t>(state.thread_index()) * 100000000 + 1;
  for (auto _ : state) LayerMix(folder, n++);
  CloseThreadDatabases();
}

// ---- the same statements, by hand -------------------------------------

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class Direct {
 public:
  Direct() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    ConnectionManager& m = ConnectionManager::Instance();
    std::string cs = m.GetConnectString(m.GetDefaultProvider());
    Must(SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()), SQL_NTS, nullptr,
                          0, nullptr, SQL_DRIVER_NOPROMPT),
         SQL_HANDLE_DBC, dbc_);
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &st_);
  }
  ~Direct() {
    SQLFreeHandle(SQL_HANDLE_STMT, st_);
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  void Exec(std::u16string sql) {
    SQLFreeStmt(st_, SQL_CLOSE);
    Must(SQLExecDirectW(st_, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), SQL_HANDLE_STMT,
         st_);
  }
  void Insert(std::u16string sql) {
    SQLFreeStmt(st_, SQL_CLOSE);
    Must(SQLPrepareW(st_, reinterpret_cast<SQLWCHAR*>(sql.data()), SQL_NTS), SQL_HANDLE_STMT,
         st_);
    Must(SQLExecute(st_), SQL_HANDLE_STMT, st_);
  }
  uint64_t NextValue(const std::string& sequence) {
    SQLFreeStmt(st_, SQL_UNBIND);
    Exec(u"SELECT nextval('" + Wide(sequence) + u"')");
    char value[64] = {};
    SQLLEN ind = 0;
    Must(SQLFetch(st_), SQL_HANDLE_STMT, st_);
    SQLGetData(st_, 1, SQL_C_CHAR, value, sizeof value, &ind);
    return std::strtoull(value, nullptr, 10);
  }
  SQLHSTMT st() { return st_; }
  // With `per_object`, each statement group gets a new handle, as a table
  // object does: allocated on first use, freed when it goes away.
  void Fresh(bool per_object) {
    if (!per_object) return;
    SQLFreeStmt(st_, SQL_CLOSE);
    SQLFreeStmt(st_, SQL_UNBIND);
    SQLFreeHandle(SQL_HANDLE_STMT, st_);
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &st_);
  }

  static void Must(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h) {
    if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) return;
    throw std::runtime_error(CODBCDatabase::GetDiagText(type, h));
  }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  SQLHSTMT st_ = nullptr;
};

void DirectMix(Direct& d, int64_t folder, int64_t n, bool per_object) {
  const std::string mid = MessageIdText(n);
  d.Fresh(per_object);
  SQLHSTMT st = d.st();
  {
    char id[64], fis[64];
    int32_t size = 0;
    SQLLEN i1, i2, i3;
    SQLFreeStmt(st, SQL_UNBIND);
    SQLBindCol(st, 1, SQL_C_CHAR, id, sizeof id, &i1);
    SQLBindCol(st, 2, SQL_C_CHAR, fis, sizeof fis, &i2);
    SQLBindCol(st, 3, SQL_C_LONG, &size, 4, &i3);
    d.Exec(u"SELECT IMM_IMAPMESSAGEID, IMM.FIS_FILESTORAGEID, FIS.FIS_SIZE FROM NV_IMAPMESSAGE "
           u"IMM INNER JOIN NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID "
           u"WHERE IMM_MESSAGEID LIKE '" +
           Wide(mid) +
           u"' AND FIS_SIZE = 4321 AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT NULL AND "
           u"FSH_FILESTORAGEHOSTID IS NOT NULL");
    benchmark::DoNotOptimize(SQLFetch(st));
  }
  d.Fresh(per_object);
  uint64_t fis_id = d.NextValue("NS_FILESTORAGE_SEQ");
  d.Fresh(per_object);
  int64_t msg_id = kVessel * 1000000000 + static_cast<int64_t>(d.NextValue("NS_IMAPMESSAGE_SEQ"));
  std::string fis = std::to_string(fis_id), msg = std::to_string(msg_id);
  std::string now = KAVRO::NTime().Format("'$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC'");
  d.Insert(Wide("INSERT INTO NV_FILESTORAGE (FIS_CREATED, FIS_CREATEDBY, FIS_FILESTORAGEID, "
                "FIS_LOCATION, FIS_SIZE, FIT_FILETYPEID, FSH_FILESTORAGEHOSTID) VALUES "
                "(date_trunc('second', statement_timestamp() AT TIME ZONE 'UTC'), 11, '" +
                fis + "', '\\2026\\3\\4\\7\\5\\" + fis + ".blb', '4321', 11, '1')"));
  d.Fresh(per_object);
  d.Insert(u"INSERT INTO NV_IMAPMESSAGE (FIS_FILESTORAGEID, IMM_FROM, IMM_IMAPMESSAGEID, "
           u"IMM_MESSAGEID, IMM_SENT, IMM_SORTSUBJECT, IMM_SUBJECT, IMM_TO) VALUES ('" +
           Wide(fis) + u"', 'Bench <b@example.invalid>', '" + Wide(msg) + u"', '" + Wide(mid) +
           u"', to_timestamp(" + Wide(now) +
           u",'yyyy/mm/dd hh24:mi:ss'), 'weekly report \u2013 engine room', 'Weekly report "
           u"\u2013 engine room', 'J\u00f8rgen <j@example.invalid>')");
  d.Fresh(per_object);
  d.Insert(Wide("INSERT INTO NV_IMAPMSGINFOLDER (IMF_IMAPFOLDERID, IMM_IMAPMESSAGEID, "
                "MIF_IMAPMSGINFOLDERID, MIF_INTERNALDATE, MIF_RECENT, MIF_UID) VALUES ('" +
                std::to_string(folder) + "', '" + msg + "', '" + msg + "', to_timestamp(" + now +
                ",'yyyy/mm/dd hh24:mi:ss'), 1, nextval('IMAPFOLDER_" + std::to_string(folder) +
                "'))"));
  d.Fresh(per_object);
  st = d.st();
  {
    char messageid[401], id[64], date[128], link[64], fold[64], fisid[64];
    int32_t uid = 0, size = 0;
    int16_t flags[6] = {};
    SQLLEN ind[14];
    SQLFreeStmt(st, SQL_UNBIND);
    SQLBindCol(st, 1, SQL_C_CHAR, messageid, sizeof messageid, &ind[0]);
    SQLBindCol(st, 2, SQL_C_CHAR, id, sizeof id, &ind[1]);
    SQLBindCol(st, 3, SQL_C_CHAR, date, sizeof date, &ind[2]);
    SQLBindCol(st, 4, SQL_C_LONG, &uid, 4, &ind[3]);
    SQLBindCol(st, 5, SQL_C_CHAR, link, sizeof link, &ind[4]);
    SQLBindCol(st, 6, SQL_C_CHAR, fold, sizeof fold, &ind[5]);
    for (int i = 0; i < 6; ++i) SQLBindCol(st, 7 + i, SQL_C_SHORT, &flags[i], 2, &ind[6 + i]);
    SQLBindCol(st, 13, SQL_C_CHAR, fisid, sizeof fisid, &ind[12]);
    SQLBindCol(st, 14, SQL_C_LONG, &size, 4, &ind[13]);
    d.Exec(u"SELECT IMM_MESSAGEID, IMM.IMM_IMAPMESSAGEID, to_char(MIF_INTERNALDATE, "
           u"'yyyy/mm/dd hh24:mi:ss'), MIF_UID, MIF_IMAPMSGINFOLDERID, IMF_IMAPFOLDERID, "
           u"MIF_SEEN, MIF_ANSWERED, MIF_FLAGGED, MIF_DELETED, MIF_DRAFT, MIF_RECENT, "
           u"FIS.FIS_FILESTORAGEID, FIS_SIZE FROM NV_IMAPMSGINFOLDER MIF INNER JOIN "
           u"NV_IMAPMESSAGE IMM ON MIF.IMM_IMAPMESSAGEID = IMM.IMM_IMAPMESSAGEID INNER JOIN "
           u"NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID WHERE "
           u"MIF_IMAPMSGINFOLDERID = " +
           Wide(msg));
    if (!SQL_SUCCEEDED(SQLFetch(st))) throw std::runtime_error("link not found");
  }
  d.Fresh(per_object);
  st = d.st();
  {
    int16_t inbox, marked, noselect, noinferiors;
    int32_t uid;
    char user[64], parent[64], id[64];
    char16_t name[101];
    SQLLEN ind[9];
    SQLFreeStmt(st, SQL_UNBIND);
    SQLBindCol(st, 1, SQL_C_SHORT, &inbox, 2, &ind[0]);
    SQLBindCol(st, 2, SQL_C_CHAR, user, sizeof user, &ind[1]);
    SQLBindCol(st, 3, SQL_C_SHORT, &marked, 2, &ind[2]);
    SQLBindCol(st, 4, SQL_C_SHORT, &noselect, 2, &ind[3]);
    SQLBindCol(st, 5, SQL_C_SHORT, &noinferiors, 2, &ind[4]);
    SQLBindCol(st, 6, SQL_C_LONG, &uid, 4, &ind[5]);
    SQLBindCol(st, 7, SQL_C_CHAR, parent, sizeof parent, &ind[6]);
    SQLBindCol(st, 8, SQL_C_WCHAR, name, sizeof name, &ind[7]);
    SQLBindCol(st, 9, SQL_C_CHAR, id, sizeof id, &ind[8]);
    d.Exec(u"SELECT IMF_INBOX, USR_USERID, IMF_MARKED, IMF_NOSELECT, IMF_NOINFERIORS, IMF_UID, "
           u"IMF_IMAPFOLDERID_PARENT, IMF_FOLDERNAME, IMF_IMAPFOLDERID FROM NV_IMAPFOLDER WHERE "
           u"IMF_IMAPFOLDERID = " +
           Wide(std::to_string(folder)));
    if (!SQL_SUCCEEDED(SQLFetch(st))) throw std::runtime_error("folder not found");
  }
}

// state.range(0): 0 one statement handle for everything, 1 one per table
// object as the layer's lifecycle has it.
void BM_DirectOdbc(benchmark::State& state) {
  int64_t folder = Folder();
  Direct d;
  int64_t n = 500000000 + static_cast<int64_t>(state.thread_index()) * 100000000 +
              state.range(0) * 50000000 + 1;
  for (auto _ : state) DirectMix(d, folder, n++, state.range(0) != 0);
  CloseThreadDatabases();
}

BENCHMARK(BM_TableLayer)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_DirectOdbc)->Arg(0)->Arg(1)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace Nauvik

BENCHMARK_MAIN();
