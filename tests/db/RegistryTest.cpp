// The registry file reader on files we do not write (regedit's, hand-edited ones, garbage), and
// the connection strings and provider read from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Registry.h"

namespace Nauvik {
namespace {

// Writes `bytes` to a fresh file in the test's temporary directory.
std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = testing::TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// "hex(2):" bytes of an ASCII text in UTF-16LE with the terminator.
std::string HexUtf16(const std::string& ascii) {
  std::string out;
  char buf[8];
  for (char c : ascii) {
    std::snprintf(buf, sizeof buf, "%02x,00,", static_cast<unsigned char>(c));
    out += buf;
  }
  return out + "00,00";
}

const char kKey[] = "[HKEY_LOCAL_MACHINE\\Software\\Nauvik\\Ostrel]";

TEST(Registry, EachValueTypeReadsAsText) {
  setenv("MS_REGTEST_DIR", "/srv/mail", 1);
  const std::string file =
      std::string("Windows Registry Editor Version 5.00\r\n\r\n") + kKey +
      "\r\n\"Text\"=\"C:\\\\Mail \\\"quoted\\\"\"\r\n"
      "\"Port\"=dword:0000152f\r\n\"Negative\"=dword:fffffffe\r\n"
      "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n\"Expand\"=hex(2):" +
      HexUtf16("%MS_REGTEST_DIR%\\blobs") +
      "\r\n\"Unset\"=hex(2):" + HexUtf16("%MS_REGTEST_NOT_SET%") +
      "\r\n\"Bytes\"=hex:41,42,\\\r\n  43\r\n\"Multi\"=hex(7):41,00,00,00,00,00\r\n";
  // {value name, text, type}
  const std::tuple<const char*, std::string, uint32_t> cases[] = {
      {"Text", "C:\\Mail \"quoted\"", kRegSz},
      {"text", "C:\\Mail \"quoted\"", kRegSz},  // names ignore case
      {"Port", "5423", kRegDword},
      {"Negative", "-2", kRegDword},
      {"Big", "4294967296", kRegQword},
      {"Expand", "/srv/mail\\blobs", kRegExpandSz},
      {"Unset", "%MS_REGTEST_NOT_SET%", kRegExpandSz},
      {"Bytes", "ABC", kRegBinary},
      {"Multi", "", kRegMultiSz},
      {"Missing", "", kRegNone},
  };
  // As written, and as regedit writes it: UTF-16LE with a byte order mark.
  std::string utf16 = "\xFF\xFE";
  for (char c : file) utf16 += std::string{c, '\0'};
  for (const std::string& bytes : {file, utf16}) {
    Registry reg(2, WriteTemp("types.reg", bytes));
    for (const auto& [name, want, type] : cases) {
      EXPECT_EQ(reg.Get("Software\\Nauvik\\Ostrel", name), want) << name;
      EXPECT_EQ(reg.LastType(), type) << name;
    }
    reg.Get("Software\\Nauvik\\Ostrel", "Multi");
    EXPECT_EQ(reg.LastError(), "Value type not recognized by the Registry Get function: 7");
  }
}

// REGEDIT4 files, the root given or named in the path, later sections and deletions winning,
// comments that end with their line (even after a "\"), and inside quotes only \\ and \" as
// escapes; a missing file, key or a file of garbage reads as empty.
TEST(Registry, FileShapesAndLookups) {
  setenv("HOME", "/home/x", 1);
  const std::string roots =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Test]\n\"A\"=\"user\"\n"
      "\"E\"=hex(2):25,48,4f,4d,45,25,00\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"="
      "\"machine\"\n";
  const std::string later =
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\K]\n\"A\"=\"1\"\n\"B\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\S\\K]\n\"A\"=\"3\"\n\"B\"=-\n"
      "[HKEY_LOCAL_MACHINE\\S\\Gone]\n\"A\"=\"x\"\n[-HKEY_LOCAL_MACHINE\\S\\Gone]\n";
  const std::string comments = R"(REGEDIT4
[HKEY_LOCAL_MACHINE\S\K]
; the blob directory, C:\blobs\
"After"="kept"
  ; indented comment \
"Path"="C:\data\new\x41"
"Escaped"="a\\b\"c\\"
"Name\t"="named"
)";
  // {file, root, key, value name, text}
  const std::tuple<std::string, int32_t, const char*, const char*, const char*> cases[] = {
      {roots, 2, "Software\\Test", "A", "machine"},
      {roots, 2, "hkey_current_user\\Software\\Test", "A", "user"},
      {roots, 2, "HKEY_CURRENT_USER\\SOFTWARE\\TEST", "e", "/home/x"},
      {roots, 1, "Software\\Test", "A", "user"},
      {later, 2, "S\\K", "A", "3"},
      {later, 2, "S\\K", "B", ""},
      {later, 2, "S\\Gone", "A", ""},
      {comments, 2, "S\\K", "After", "kept"},
      {comments, 2, "S\\K", "Path", R"(C:\data\new\x41)"},
      {comments, 2, "S\\K", "Escaped", R"(a\b"c\)"},
      {comments, 2, "S\\K", R"(Name\t)", "named"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\X]\n", 2, "Software\\Nauvik\\Ostrel", "A", ""},
      {"hello\n", 2, "Software\\X", "A", ""},
  };
  for (const auto& [file, root, key, name, text] : cases) {
    EXPECT_EQ(Registry(root, WriteTemp("shape.reg", file)).Get(key, name), text)
        << file.substr(0, 40) << " " << key << " " << name;
  }
  Registry missing(2, testing::TempDir() + "/does-not-exist.reg");
  EXPECT_EQ(missing.Get("Software\\Nauvik\\Ostrel", "DatabaseHost"), "");
  EXPECT_NE(missing.LastError().find("Failed to open registry entry: Software\\Nauvik\\Ostrel"),
            std::string::npos);
}

// The connection strings, byte for byte, and the default provider; the builders read the file named
// by MAILSTORAGE_REGISTRY. Last, a configuration without a host, which the connection manager reads
// once per process: every table access then fails with the layer's text.
TEST(ConnectString, BothFormatsTheProviderAndNoHost) {
  const std::string pg_options =
      "ReadOnly=0;Protocol=6.4;FakeOidIndex=0;ShowOidColumn=0;RowVersioning=0;"
      "ShowSystemTables=1;Fetch=100;Socket=4096;MaxVarcharSize=254;MaxLongVarcharSize=8190;"
      "Debug=0;CommLog=0;Optimizer=1;Ksqo=1;UseDeclareFetch=0;TextAsLongVarchar=1;"
      "UnknownsAsLongVarchar=0;BoolsAsChar=1;Parse=0;CancelAsFreeStmt=0;"
      "ExtraSysTablePrefixes=dd_;LFConversion=1;UpdatableCursors=1;DisallowPremature=0;"
      "TrueIsMinus1=0;"
      // Driver options after the fixed ones: no savepoints, no named plans.
      "UseServerSidePrepare=0;Protocol=7.4-0;";
  const auto use = [](const std::string& values) {
    setenv("MAILSTORAGE_REGISTRY",
           WriteTemp("cs.reg", std::string("REGEDIT4\r\n") + kKey + "\r\n" + values).c_str(), 1);
  };
  // {values, Oracle connection string}
  const std::pair<const char*, const char*> cases[] = {
      {"\"DatabaseHost\"=\"db.ship\"\n\"DatabaseDriverName\"=\"Oracle 19\"\n"
       "\"DatabaseName\"=\"MAIL\"\n\"DatabaseUsername\"=\"u\"\n\"DatabasePassword\"=\"p;w\"\n"
       "\"DatabasePort\"=\"1521\"\n",
       "DRIVER=Oracle 19;DBQ=db.ship:1521/MAIL;DATABASE=MAIL;SERVER=db.ship;PORT=1521;UID=u;"
       "PWD=p;w;"},
      // Port and name empty: DBQ is the host alone; the empty pairs stay.
      {"\"DatabaseHost\"=\"h\"\n\"DatabaseDriverName\"=\"D\"\n\"DatabaseUsername\"=\"u\"\n",
       "DRIVER=D;DBQ=h;DATABASE=;SERVER=h;PORT=;UID=u;PWD=;"},
      // A port stored as a number.
      {"\"DatabaseHost\"=\"h\"\n\"DatabasePort\"=dword:00001538\n",
       "DRIVER=;DBQ=h:5432;DATABASE=;SERVER=h;PORT=5432;UID=;PWD=;"},
      // No host: no connection string at all.
      {"\"DatabaseHost\"=\"\"\n\"DatabaseDriverName\"=\"D\"\n", ""},
  };
  for (const auto& [values, oracle] : cases) {
    use(values);
    EXPECT_EQ(BuildOracleConnectString(kDatabaseKeyPath), oracle);
    EXPECT_EQ(BuildPostgresConnectString(kDatabaseKeyPath),
              oracle[0] == '\0' ? "" : std::string(oracle) + pg_options);
  }
  const std::pair<const char*, int32_t> providers[] = {
      {"", 1},      {"\"\"", 1},           {"\"Oracle\"", 1},     {"\"postgresql\"", 2},
      {"\"2\"", 2}, {"dword:00000002", 2}, {"dword:00000001", 1}, {"\"Sybase\"", 0}};
  for (const auto& [value, provider] : providers) {
    use(value[0] == '\0' ? "" : std::string("\"DatabaseProvider\"=") + value + "\n");
    EXPECT_EQ(ReadDefaultProvider(kDatabaseKeyPath), provider) << value;
  }
  use("\"DatabaseHost\"=\"\"\n\"DatabaseDriverName\"=\"D\"\n\"DatabaseProvider\"=\"PostgreSQL\"\n");
  ConnectionManager& manager = ConnectionManager::Instance();
  EXPECT_EQ(manager.GetDefaultProvider(), kProviderPostgres);
  EXPECT_EQ(manager.GetConnectString(kProviderOracle), "");
  EXPECT_EQ(manager.GetConnectString(kProviderPostgres), "");
  EXPECT_EQ(CODBCDatabase::GetDB("", kProviderDefault), nullptr);
  DbSimpleAccess table("NS_IMAPFOLDER");
  try {
    table.Count("");
    ADD_FAILURE() << "no exception";
  } catch (const DBException& e) {
    EXPECT_STREQ(e.what(), "Failed to allocate Database for this thread. DB Down?");
  }
  EXPECT_THROW(table.GetNextSequenceValue(), DBException);
  // Transactions have nothing to act on: no exception, no connection; closing is a no-op.
  EXPECT_NO_THROW(ManualCommit().Commit());
  EXPECT_NO_THROW({ ManualCommit txn; });  // the destructor's rollback
  EXPECT_NO_THROW(Commit());
  EXPECT_NO_THROW(Rollback());
  CloseThreadDatabases();
  EXPECT_EQ(manager.ConnectionCount(ConnectionManager::CurrentThreadId()), 0u);
  unsetenv("MAILSTORAGE_REGISTRY");
}

}  // namespace
}  // namespace Nauvik
