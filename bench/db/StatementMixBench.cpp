// The statements the store sends for one new mail (a duplicate lookup, two
// sequence values, three inserts, two selects), once through the table layer
// and once written directly against the ODBC API with the same SQL and the
// same calls (UTF-16 statements, prepared inserts, bound result columns).
//
//   scripts/store start /tmp/benchstore
//   MAILSTORAGE_REGISTRY=/tmp/benchstore/registry.reg build/bench/db/db_statement_mix_bench
//
// Each benchmark thread has its own connection. Rows accumulate in the store.
//
// With --limit it is instead the ceiling for an import: for every mail of a
// corpus it sends, directly through ODBC, exactly the statements the store
// sends for one new mail and its link (store set-up, duplicate lookup, blob
// record, message and body-part rows in one transaction, folder lookups and
// rights, link and read-back), and writes, fsyncs and records the blob as
// the store does; no parsing, no logging, no library. It prints
// "<mails> mails in <seconds> s".
//
//   db_statement_mix_bench --limit --corpus DIR [--mails N] [--threads T]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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
  SQLHDBC dbc() { return dbc_; }
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

// ---- the limit: the store's statements for one new mail, by hand ----------

// A result column read as text; "" for NULL or no row.
std::string Column(SQLHSTMT st, int column) {
  char value[1024] = {};
  SQLLEN ind = 0;
  if (!SQL_SUCCEEDED(SQLGetData(st, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR, value,
                                sizeof value, &ind)) ||
      ind == SQL_NULL_DATA) {
    return "";
  }
  return value;
}

// Runs a query and reads every row, as the table layer does with Fetch.
std::string Query(Direct& d, const std::string& sql, int column = 0) {
  SQLHSTMT st = d.st();
  SQLFreeStmt(st, SQL_UNBIND);
  d.Exec(Wide(sql));
  std::string first;
  bool have = false;
  while (SQL_SUCCEEDED(SQLFetch(st))) {
    if (!have && column > 0) first = Column(st, column);
    have = true;
  }
  SQLFreeStmt(st, SQL_CLOSE);
  return first;
}

struct Mail {
  std::string bytes;  // with CRLF line ends, as the importer hands it over
  int parts = 1;      // body-part rows the store would write
};

// CRLF line ends as the importer makes them; the part count is the number of
// Content-Type header lines (at least one): what the store's body-part rows
// come to for this corpus, found without parsing.
Mail LoadMail(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Mail mail;
  mail.bytes.reserve(raw.size() + raw.size() / 40);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) mail.bytes += '\r';
    mail.bytes += raw[i];
  }
  int types = 0;
  for (size_t at = 0; (at = raw.find("\nContent-Type:", at)) != std::string::npos; ++at) ++types;
  mail.parts = std::max(1, types);
  return mail;
}

std::vector<std::filesystem::path> CorpusFiles(const std::string& dir, size_t limit) {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string parent = e.path().parent_path().filename().string();
    if (e.is_regular_file() && (parent == "cur" || parent == "new")) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  if (files.size() > limit) files.resize(limit);
  return files;
}

// Writes the blob as the store does: its minute's directory, the bytes,
// fsync of the file, then of its directory.
void WriteBlob(const std::string& host_path, const std::string& location, const Mail& mail) {
  std::string path = host_path + location;
  std::replace(path.begin(), path.end(), '\\', '/');
  const std::filesystem::path file(path);
  std::filesystem::create_directories(file.parent_path());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const char* p = mail.bytes.data();
  size_t left = mail.bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) throw std::runtime_error("cannot write " + path);
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) throw std::runtime_error("cannot fsync " + path);
  ::close(fd);
  const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

constexpr char kVesselColumns[] =
    "SELECT VES_WEBSERVICEPORT, VES_ANTIVIRUSSUP, TPI_AVTHIRDPARTYINID, VES_LDAPPORT, "
    "VES_IMAPPORT, VES_NOTIFYLCRFAIL, VES_POPSUPPORT, VES_IMAPSUPPORT, VES_SMTPRELAYSUPPORT, "
    "VES_EGCDELETEDAYS, VES_AVSENDUPDATE, VES_ALWAYSRESUME, VES_INSTALLEDVERSION, "
    "VEQ_VESSELEQUIPMENTID_GPS, VES_QUOTAENABLED, VES_MAXTRANSID, VES_MAXTRANSDETAILID, "
    "VES_SEA_SENDLASTPARTFIRSTSMS, VES_SEA_UPDATEINTERVAL, VES_EGCSUBJECT, VES_EGCAUTHOR, "
    "VES_EGCTODIR, VES_NAME, VES_SCHEDULEMETHOD, VES_CONNECTINTERVAL, VES_GPSINSERTINTERVAL, "
    "VES_SERIAL, VES_SMTPPORT, VES_POP3PORT, VES_SMTPPOPHOST, VES_DOMAINNAME, "
    "VES_SMTPFORWARDPORT, VES_SMTPFORWARDHOST, VES_NOTESINBOX, VES_NOTESOUTBOX, VES_NOTESMSNAME, "
    "VES_NOTESLOWPRIORITY, VES_NOTESNORMALPRIORITY, VES_NOTESHIGHPRIORITY, USR_USERID, "
    "VES_GPSENABLED, VES_LCRDELAY, VES_DBVERSION, VES_OFFICEINSTALLATION, VES_COPYMSGTOSHIP, "
    "USR_COPYMSGTOSHIP, VES_COPYTOSUBJECTPRE, VES_COPYMSGFROMSHIP, USR_COPYMSGFROMSHIP, "
    "VES_COPYFROMSUBJECTPRE, VES_COPYPRIVATEMSG, VES_VESSELID, COM_COMPANYID, NOD_NODEID, "
    "VES_SEA_INSTDIR, VES_SEA_DATADIR, MSY_MAILSYSTEMID, VES_COMPRESSTYPE, VES_COMPRESSHEADER, "
    "VES_SEA_STATUSRAPPAPP, VES_SEA_MAXLOGENTRIES, VES_SEA_SMS_SAC FROM NV_VESSEL";

void SetAutoCommit(SQLHDBC dbc, bool on) {
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(
                        on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
                    0);
}

void LimitMix(Direct& d, SQLHDBC dbc, int64_t folder, const std::string& tag, int64_t n,
              const Mail& mail) {
  const std::string size = std::to_string(mail.bytes.size());
  const std::string mid = "<limit." + tag + "." + std::to_string(n) + "@bench.example>";
  const std::string folder_id = std::to_string(folder);
  Query(d, kVesselColumns);
  Query(d,
        "SELECT IMM_IMAPMESSAGEID, IMM.FIS_FILESTORAGEID, FIS.FIS_SIZE FROM NV_IMAPMESSAGE IMM "
        "INNER JOIN NV_FILESTORAGE FIS ON IMM.FIS_FILESTORAGEID = FIS.FIS_FILESTORAGEID WHERE "
        "IMM_MESSAGEID LIKE '" + mid + "' AND FIS_SIZE = " + size +
        " AND FIS_DELETED IS NULL AND FIS_LOCATION IS NOT NULL AND FSH_FILESTORAGEHOSTID IS NOT "
        "NULL");
  const std::string fis = std::to_string(d.NextValue("NS_FILESTORAGE_SEQ"));
  SQLFreeStmt(d.st(), SQL_CLOSE);
  const std::string host_path = Query(
      d,
      "SELECT FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, FSH_ONLINE, FSH_WRITABLE, "
      "FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY FROM NV_FILESTORAGEHOST WHERE FSH_ONLINE = 1 AND "
      "FSH_WRITABLE = 1 ORDER BY FSH_CATEGORY",
      3);
  const KAVRO::NTime now;
  const std::string location = now.Format("\\$YEAR\\$MONTH\\$DAY\\$HOUR\\$MIN\\") + fis + ".blb";
  WriteBlob(host_path, location, mail);
  d.Insert(Wide("INSERT INTO NV_FILESTORAGE (FIS_CREATED, FIS_CREATEDBY, FIS_FILESTORAGEID, "
                "FIS_LOCATION, FIS_SIZE, FIT_FILETYPEID, FSH_FILESTORAGEHOSTID) VALUES "
                "(date_trunc('second', statement_timestamp() AT TIME ZONE 'UTC'), 11, " +
                fis + ", '" + location + "', " + size + ", 11, 1)"));

  SetAutoCommit(dbc, false);
  const std::string msg =
      std::to_string(kVessel * 1000000000 + static_cast<int64_t>(d.NextValue("NS_IMAPMESSAGE_SEQ")));
  SQLFreeStmt(d.st(), SQL_CLOSE);
  const std::string sent = now.Format("'$YEAR/$MONTH/$DAY $HOUR:$MIN:$SEC'");
  d.Insert(u"INSERT INTO NV_IMAPMESSAGE (FIS_FILESTORAGEID, IMM_CC, IMM_FROM, IMM_IMAPMESSAGEID, "
           u"IMM_MESSAGEID, IMM_SENT, IMM_SORTSUBJECT, IMM_SUBJECT, IMM_TO) VALUES (" +
           Wide(fis) +
           u", '\"Olu Adeyemi\" <olu.adeyemi@fleet6.example>, \"J\u00f8rgen Hansen\" "
           u"<jrgen.hansen@fleet8.example>', '\"Olu Adeyemi\" <olu.adeyemi@fleet1.example>', " +
           Wide(msg) + u", '" + Wide(mid) + u"', to_timestamp(" + Wide(sent) +
           u",'yyyy/mm/dd hh24:mi:ss'), '\u00e6r\u00f8 \u2013 the', '\u00c6r\u00f8 \u2013 the', "
           u"'\"Kari Nilsen\" <kari.nilsen@fleet8.example>')");
  const size_t length = mail.bytes.size();
  for (int part = 0; part < mail.parts; ++part) {
    const std::string id = std::to_string(d.NextValue("NS_IMAPBODYPART_SEQ"));
    SQLFreeStmt(d.st(), SQL_CLOSE);
    const size_t start = length * static_cast<size_t>(part) / static_cast<size_t>(mail.parts);
    d.Insert(Wide("INSERT INTO NV_IMAPBODYPART (IMB_BODYEND, IMB_BODYSTART, IMB_CHARSET, "
                  "IMB_ENCODING, IMB_HDRSTART, IMB_IMAPBODYPARTID, IMB_MIMEBASIC, "
                  "IMM_IMAPMESSAGEID) VALUES (" +
                  std::to_string(length) + ", " + std::to_string(start + 300) + ", 0, 1, " +
                  std::to_string(start) + ", " + id + ", 0, " + msg + ")"));
  }
  SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
  SetAutoCommit(dbc, true);

  const std::string folder_columns =
      "SELECT IMF_INBOX, USR_USERID, IMF_MARKED, IMF_NOSELECT, IMF_NOINFERIORS, IMF_UID, "
      "IMF_IMAPFOLDERID_PARENT, IMF_FOLDERNAME, IMF_IMAPFOLDERID FROM NV_IMAPFOLDER WHERE ";
  Query(d, folder_columns + "USR_USERID = 1");
  Query(d, folder_columns +
               "USR_USERID <> 1 AND ( IMF_IMAPFOLDERID IN (SELECT IMF_IMAPFOLDERID FROM "
               "NV_IMAPFOLDERACCESS WHERE ( USR_USERID = 1 OR USG_USERGROUPID IN (SELECT "
               "USG_USERGROUPID FROM NV_USERGROUPMEMBER WHERE USR_USERID = 1) OR ( USR_USERID IS "
               "NULL AND USG_USERGROUPID IS NULL AND COM_COMPANYID = 1) ) AND IFA_AR_LOOKUP = 1) )");
  Query(d,
        "SELECT IFA_IMAPFOLDERACCESSID, IMF_IMAPFOLDERID, USR_USERID, USG_USERGROUPID, "
        "COM_COMPANYID, IFA_AR_LOOKUP, IFA_AR_READ, IFA_AR_KEEP, IFA_AR_WRITE, IFA_AR_INSERT, "
        "IFA_AR_POST, IFA_AR_CREATE, IFA_AR_DELETE_MBOX, IFA_AR_DELETE_MESSAGE, "
        "IFA_AR_PERFORM_EXPUNGE, IFA_AR_ADMINISTER FROM NV_IMAPFOLDERACCESS WHERE ( USR_USERID = "
        "1 OR USG_USERGROUPID IN (SELECT USG_USERGROUPID FROM NV_USERGROUPMEMBER WHERE USR_USERID "
        "= 1) OR ( COM_COMPANYID = 1 AND USR_USERID IS NULL AND USG_USERGROUPID IS NULL ) ) AND "
        "IMF_IMAPFOLDERID = " + folder_id);
  const std::string link = std::to_string(d.NextValue("NS_IMAPMSGINFOLDER_SEQ"));
  SQLFreeStmt(d.st(), SQL_CLOSE);
  d.Insert(Wide("INSERT INTO NV_IMAPMSGINFOLDER (IMF_IMAPFOLDERID, IMM_IMAPMESSAGEID, "
                "MIF_IMAPMSGINFOLDERID, MIF_INTERNALDATE, MIF_RECENT, MIF_UID) VALUES (" +
                folder_id + ", " + msg + ", " + link + ", to_timestamp(" + sent +
                ",'yyyy/mm/dd hh24:mi:ss'), 1, nextval('IMAPFOLDER_" + folder_id + "'))"));
  Query(d,
        "SELECT MIF_IMAPMSGINFOLDERID, IMM_IMAPMESSAGEID, IMF_IMAPFOLDERID, "
        "to_char(MIF_INTERNALDATE, 'yyyy/mm/dd hh24:mi:ss'), MIF_UID, MIF_SEEN, MIF_ANSWERED, "
        "MIF_FLAGGED, MIF_DELETED, MIF_DRAFT, MIF_RECENT FROM NV_IMAPMSGINFOLDER WHERE "
        "MIF_IMAPMSGINFOLDERID=" + link);
}

int RunLimit(int argc, char** argv) {
  std::string corpus;
  size_t mails = 5000;
  int threads = 1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--corpus") corpus = argv[i + 1];
    else if (a == "--mails") mails = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--threads") threads = std::max(1, std::atoi(argv[i + 1]));
  }
  if (corpus.empty()) {
    std::fprintf(stderr, "usage: %s --limit --corpus DIR [--mails N] [--threads T]\n", argv[0]);
    return 2;
  }
  const std::vector<std::filesystem::path> files = CorpusFiles(corpus, mails);
  const int64_t folder = Folder();
  const std::string tag = std::to_string(::getpid());
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      try {
        Direct d;
        SQLHDBC dbc = d.dbc();
        for (size_t i; (i = next++) < files.size();) {
          LimitMix(d, dbc, folder, tag, static_cast<int64_t>(i), LoadMail(files[i]));
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "limit: %s\n", e.what());
        failed = true;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CloseThreadDatabases();
  if (failed) return 1;
  std::printf("%zu mails in %.3f s\n", files.size(), seconds);
  return 0;
}

}  // namespace
}  // namespace Nauvik

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--limit") == 0) return Nauvik::RunLimit(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
