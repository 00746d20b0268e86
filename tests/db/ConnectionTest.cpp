// Per-thread connections, transactions, a lost connection and a refused login, on the private
// store.
#include <gtest/gtest.h>

#include <thread>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"

namespace Nauvik {
namespace {

// Never committed: each test's transaction is rolled back or its connection lost.
constexpr int64_t kCompany = 9200000000000000001LL;

// The server process id behind the calling thread's connection.
class BackendPid : public DBTableBase {
 public:
  char PID[kIdSize] = {};
  void DefineColumns() override {
    SetTableName("(SELECT pg_backend_pid() AS PID) P", false);
    Id(PID, "PID");
  }
};

int64_t CurrentBackend() {
  DBTable<BackendPid> t;
  EXPECT_TRUE(t.Select("", "") && t.Fetch());
  return IdOf(t.PID);
}

void InsertCompany(int64_t id) {
  DBTable<NoColumnTable> t;
  t.SetTableName("NS_COMPANY", true);
  t.SetValue("COM_COMPANYID", std::to_string(id), true);
  t.SetValue("COM_NAME", std::string("c"));
  EXPECT_TRUE(t.Insert());
}

size_t MyConnections() {
  return ConnectionManager::Instance().ConnectionCount(ConnectionManager::CurrentThreadId());
}

TEST(Connections, OnePerThreadClosedOrLostAndReopened) {
  CODBCDatabase* mine = CODBCDatabase::GetDB("", kProviderDefault);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(CODBCDatabase::GetDB("", kProviderDefault), mine);
  EXPECT_EQ(CODBCDatabase::FindDB("", kProviderDefault), mine);
  CODBCDatabase* theirs = nullptr;
  int64_t their_backend = 0;
  std::thread([&] {
    EXPECT_EQ(CODBCDatabase::FindDB("", kProviderDefault), nullptr);
    theirs = CODBCDatabase::GetDB("", kProviderDefault);
    their_backend = CurrentBackend();
    CloseThreadDatabases();
  }).join();
  EXPECT_NE(theirs, mine);
  EXPECT_NE(their_backend, CurrentBackend());
  EXPECT_EQ(MyConnections(), 1u);
  CloseThreadDatabases();
  CloseThreadDatabases();  // harmless twice
  EXPECT_EQ(MyConnections(), 0u);
  EXPECT_EQ(CODBCDatabase::FindDB("", kProviderDefault), nullptr);
  EXPECT_GT(CurrentBackend(), 0);  // the next access connects anew
  EXPECT_EQ(MyConnections(), 1u);

  // The store closes the thread's connections inside a transaction when a statement fails; the
  // guard must not open a new connection to roll back work that the close already dropped.
  {
    ManualCommit txn;
    InsertCompany(kCompany);
    CloseThreadDatabases();
  }
  EXPECT_EQ(MyConnections(), 0u);
  EXPECT_EQ(DbSimpleAccess("NV_COMPANY").Count("COM_COMPANYID = " + std::to_string(kCompany)), 0);
  EXPECT_TRUE(CODBCDatabase::FindDB("", kProviderDefault)->AutoCommit());

  // A killed server process fails the statement with the driver's text; after the store's close
  // (its convention after a database error) a new one serves.
  const int64_t backend = CurrentBackend();
  std::string text;
  {
    ManualCommit txn;
    InsertCompany(kCompany);
    std::thread([&] {
      DbSimpleAccess().ExecuteDirect("SELECT pg_terminate_backend(" + std::to_string(backend) +
                                     ", 10000)");
      CloseThreadDatabases();
    }).join();
    try {
      InsertCompany(kCompany + 1);
      ADD_FAILURE() << "insert on a killed connection succeeded";
    } catch (const DBException& e) {
      text = e.what();
    }
  }  // the guard meets a dead connection: quiet, no exception
  CloseThreadDatabases();
  EXPECT_EQ(text.rfind("SQL State: ", 0), 0u) << text;
  EXPECT_NE(text.find("; Native Error: "), std::string::npos) << text;
  EXPECT_NE(text.find(". Query: SQL"), std::string::npos) << text;
  const int64_t again = CurrentBackend();
  EXPECT_GT(again, 0);
  EXPECT_NE(again, backend);
  EXPECT_EQ(DbSimpleAccess("NV_COMPANY").Count("COM_COMPANYID = " + std::to_string(kCompany)),
            0);  // never committed
}

TEST(Connections, WrongPasswordIsReportedAndRetried) {
  const std::string good = ConnectionManager::Instance().GetConnectString(
      ConnectionManager::Instance().GetDefaultProvider());
  const size_t pwd = good.find(";PWD=");
  ASSERT_NE(pwd, std::string::npos);
  const std::string bad = good.substr(0, pwd) + ";PWD=wrong" + good.substr(good.find(';', pwd + 1));
  CloseThreadDatabases();
  for (int attempt = 0; attempt < 2; ++attempt) {  // a failed connect is tried anew
    DbSimpleAccess t("NV_COMPANY");
    t.SetConnectString(bad);
    try {
      t.Count("");
      ADD_FAILURE() << "connected with a wrong password";
    } catch (const DBException& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind("SQL State: ", 0), 0u) << text;
      EXPECT_NE(text.find("password authentication failed"), std::string::npos) << text;
    }
    EXPECT_EQ(MyConnections(), 0u);
  }
  EXPECT_GE(DbSimpleAccess("NV_COMPANY").Count(""), 1);  // the right string still works
}

}  // namespace
}  // namespace Nauvik
