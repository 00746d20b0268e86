// A configuration without "DatabaseHost": no connection string, and every table access fails with
// the layer's text. One process, one configuration: the connection manager reads it once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"

namespace Nauvik {
namespace {

class NoHost : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string path = testing::TempDir() + "/nohost.reg";
    std::ofstream(path, std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Nauvik\\Ostrel]\r\n"
           "\"DatabaseHost\"=\"\"\r\n\"DatabaseDriverName\"=\"PostgreSQL Unicode\"\r\n"
           "\"DatabaseProvider\"=\"PostgreSQL\"\r\n";
    setenv("MAILSTORAGE_REGISTRY", path.c_str(), 1);
  }
};

TEST_F(NoHost, EveryTableAccessSaysTheDatabaseIsDown) {
  ConnectionManager& manager = ConnectionManager::Instance();
  EXPECT_EQ(manager.GetDefaultProvider(), kProviderPostgres);
  EXPECT_EQ(manager.GetConnectString(kProviderOracle), "");
  EXPECT_EQ(manager.GetConnectString(kProviderPostgres), "");
  EXPECT_EQ(CODBCDatabase::GetDB("", kProviderDefault), nullptr);

  DbSimpleAccess table("NS_IMAPFOLDER");
  try {
    table.Count("");
    FAIL() << "no exception";
  } catch (const DBException& e) {
    EXPECT_STREQ(e.what(), "Failed to allocate Database for this thread. DB Down?");
  }
  EXPECT_THROW(table.GetNextSequenceValue(), DBException);
  // Transactions have nothing to act on: no exception, no connection.
  EXPECT_NO_THROW({
    ManualCommit txn;
    txn.Commit();
  });
  EXPECT_NO_THROW({ ManualCommit txn; });  // the destructor's rollback
  EXPECT_NO_THROW(Commit());
  EXPECT_NO_THROW(Rollback());
  // Nothing was opened, so closing is a no-op, and harmless twice.
  CloseThreadDatabases();
  CloseThreadDatabases();
  EXPECT_EQ(manager.ConnectionCount(ConnectionManager::CurrentThreadId()), 0u);
}

}  // namespace
}  // namespace Nauvik
