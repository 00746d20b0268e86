#include "db/Registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace Nauvik {
namespace {

// Writes `bytes` to a fresh file in the test's temporary directory.
std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = testing::TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// ASCII text as UTF-16LE with a byte order mark, as regedit writes it.
std::string Utf16File(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
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
  std::string file = std::string("Windows Registry Editor Version 5.00\r\n\r\n") + kKey + "\r\n" +
                     "\"Text\"=\"C:\\\\Mail \\\"quoted\\\"\"\r\n"
                     "\"Port\"=dword:0000152f\r\n"
                     "\"Negative\"=dword:fffffffe\r\n"
                     "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
                     "\"Expand\"=hex(2):" +
                     HexUtf16("%MS_REGTEST_DIR%\\blobs") +
                     "\r\n"
                     "\"Unset\"=hex(2):" +
                     HexUtf16("%MS_REGTEST_NOT_SET%") +
                     "\r\n"
                     "\"Bytes\"=hex:41,42,\\\r\n  43\r\n"
                     "\"Multi\"=hex(7):41,00,00,00,00,00\r\n";
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
  for (const std::string& bytes : {file, Utf16File(file)}) {
    Registry reg(2, WriteTemp("types.reg", bytes));
    for (const auto& [name, want, type] : cases) {
      EXPECT_EQ(reg.Get("Software\\Nauvik\\Ostrel", name), want) << name;
      EXPECT_EQ(reg.LastType(), type) << name;
    }
    reg.Get("Software\\Nauvik\\Ostrel", "Multi");
    EXPECT_EQ(reg.LastError(), "Value type not recognized by the Registry Get function: 7");
  }
}

TEST(Registry, Regedit4FilesAndRootsInThePath) {
  std::string file =
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Test]\n\"A\"=\"user\"\n"
      "\"E\"=hex(2):25,48,4f,4d,45,25,00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=\"machine\"\n";
  setenv("HOME", "/home/x", 1);
  Registry reg(2, WriteTemp("r4.reg", file));
  EXPECT_EQ(reg.Get("Software\\Test", "A"), "machine");
  EXPECT_EQ(reg.Get("hkey_current_user\\Software\\Test", "A"), "user");
  EXPECT_EQ(reg.Get("HKEY_CURRENT_USER\\SOFTWARE\\TEST", "e"), "/home/x");
  Registry user_root(1, WriteTemp("r4.reg", file));
  EXPECT_EQ(user_root.Get("Software\\Test", "A"), "user");
}

TEST(Registry, MissingFileAndKeyReadAsEmpty) {
  Registry missing(2, testing::TempDir() + "/does-not-exist.reg");
  EXPECT_EQ(missing.Get("Software\\Nauvik\\Ostrel", "DatabaseHost"), "");
  EXPECT_NE(missing.LastError().find("Failed to open registry entry: Software\\Nauvik\\Ostrel"),
            std::string::npos);
  Registry other(2, WriteTemp("other.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\X]\n"));
  EXPECT_EQ(other.Get("Software\\Nauvik\\Ostrel", "DatabaseHost"), "");
  Registry garbage(2, WriteTemp("garbage.reg", "hello\n"));
  EXPECT_EQ(garbage.Get("Software\\X", "A"), "");
}

TEST(Registry, LaterSectionsAndDeletionsWin) {
  std::string file =
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\K]\n\"A\"=\"1\"\n\"B\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\S\\K]\n\"A\"=\"3\"\n\"B\"=-\n"
      "[HKEY_LOCAL_MACHINE\\S\\Gone]\n\"A\"=\"x\"\n[-HKEY_LOCAL_MACHINE\\S\\Gone]\n";
  Registry reg(2, WriteTemp("later.reg", file));
  EXPECT_EQ(reg.Get("S\\K", "A"), "3");
  EXPECT_EQ(reg.Get("S\\K", "B"), "");
  EXPECT_EQ(reg.Get("S\\Gone", "A"), "");
}

// A comment ending in "\" does not swallow the next line; inside quotes only
// \\ and \" are escapes, any other backslash stays.
TEST(Registry, CommentsEndWithTheirLineAndOnlyTwoEscapesExist) {
  const RegistryFile file = ParseRegistryFile(R"(REGEDIT4
[HKEY_LOCAL_MACHINE\S\K]
; the blob directory, C:\blobs\
"After"="kept"
  ; indented comment \
"Path"="C:\data\new\x41"
"Escaped"="a\\b\"c\\"
"Name\t"="named"
)");
  ASSERT_TRUE(file.loaded) << file.error;
  const auto& values = file.keys.at("HKEY_LOCAL_MACHINE\\S\\K");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"AFTER", "kept"},
      {"PATH", R"(C:\data\new\x41)"},
      {"ESCAPED", R"(a\b"c\)"},
      {R"(NAME\T)", "named"},
  };
  for (const auto& [name, text] : cases) {
    const auto it = values.find(name);
    ASSERT_NE(it, values.end()) << name;
    EXPECT_EQ(std::string(it->second.data.begin(), it->second.data.end()), text) << name;
  }
}

// The connection strings, byte for byte; the builders read the file named by
// MAILSTORAGE_REGISTRY.
TEST(ConnectString, BothFormatsByteForByte) {
  const std::string pg_options =
      "ReadOnly=0;Protocol=6.4;FakeOidIndex=0;ShowOidColumn=0;RowVersioning=0;"
      "ShowSystemTables=1;Fetch=100;Socket=4096;MaxVarcharSize=254;MaxLongVarcharSize=8190;"
      "Debug=0;CommLog=0;Optimizer=1;Ksqo=1;UseDeclareFetch=0;TextAsLongVarchar=1;"
      "UnknownsAsLongVarchar=0;BoolsAsChar=1;Parse=0;CancelAsFreeStmt=0;"
      "ExtraSysTablePrefixes=dd_;LFConversion=1;UpdatableCursors=1;DisallowPremature=0;"
      "TrueIsMinus1=0;"
      // Driver options after the fixed ones: no savepoints, no named plans.
      "UseServerSidePrepare=0;Protocol=7.4-0;";
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
    std::string path = WriteTemp("cs.reg", std::string("REGEDIT4\r\n") + kKey + "\r\n" + values);
    setenv("MAILSTORAGE_REGISTRY", path.c_str(), 1);
    EXPECT_EQ(BuildOracleConnectString(kDatabaseKeyPath), oracle);
    std::string pg = oracle[0] == '\0' ? "" : std::string(oracle) + pg_options;
    EXPECT_EQ(BuildPostgresConnectString(kDatabaseKeyPath), pg);
  }
  unsetenv("MAILSTORAGE_REGISTRY");
}

TEST(ConnectString, DefaultProviderFromTheConfiguration) {
  const std::pair<const char*, int32_t> cases[] = {{"", 1},
               {"\"DatabaseProvider\"=\"\"\n", 1},
               {"\"DatabaseProvider\"=\"Oracle\"\n", 1},
               {"\"DatabaseProvider\"=\"postgresql\"\n", 2},
               {"\"DatabaseProvider\"=\"2\"\n", 2},
               {"\"DatabaseProvider\"=dword:00000002\n", 2},
               {"\"DatabaseProvider\"=dword:00000001\n", 1},
               {"\"DatabaseProvider\"=\"Sybase\"\n", 0}};
  for (const auto& [value, provider] : cases) {
    std::string path = WriteTemp("prov.reg", std::string("REGEDIT4\n") + kKey + "\n" + value);
    setenv("MAILSTORAGE_REGISTRY", path.c_str(), 1);
    EXPECT_EQ(ReadDefaultProvider(kDatabaseKeyPath), provider) << value;
  }
  unsetenv("MAILSTORAGE_REGISTRY");
}

}  // namespace
}  // namespace Nauvik
