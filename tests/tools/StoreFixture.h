#pragma once

// A suite that runs the importer against a PostgreSQL store and reads back
// what it wrote through the tool's own ODBC code. The including test defines
// MS_IMPORT_TOOL and MS_MAILSTORAGE_LIBRARY.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/tools/MailShapes.h"
#include "tests/tools/ToolRunner.h"
#include "tools/MailText.h"
#include "tools/Store.h"

namespace Nauvik::Import::Test {

class StoreSuite : public testing::Test {
 protected:
  // Connects to the store named by `registry` and adds the suite's company.
  static void OpenStore(const std::string& registry, int64_t company, const std::string& name) {
    registry_ = registry;
    company_ = company;
    Reconnect();
    std::string e;
    if (db_) {
      db_->Execute("INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (" +
                       std::to_string(company) + ", '" + name + "')",
                   &e);
    }
  }
  // The shared store of the test run (the pgstore fixture).
  static void OpenSharedStore(int64_t company, const std::string& name) {
    const char* reg = getenv("MAILSTORAGE_REGISTRY");
    ASSERT_NE(reg, nullptr) << "MAILSTORAGE_REGISTRY is not set: run through ctest";
    OpenStore(reg, company, name);
  }
  static void Reconnect() {
    std::string e;
    db_ = std::make_unique<StoreDatabase>();
    const std::string connection = StoreConnectionString(registry_, &e);
    if (connection.empty() || !db_->Connect(connection, &e)) {
      db_.reset();
      ADD_FAILURE() << e;
    }
  }
  static void TearDownTestSuite() { db_.reset(); }
  void SetUp() override { ASSERT_NE(db_, nullptr); }

  static void Execute(const std::string& sql) {
    std::string e;
    EXPECT_TRUE(db_->Execute(sql, &e)) << e;
  }
  static std::vector<StoreDatabase::Row> Rows(const std::string& sql) {
    std::vector<StoreDatabase::Row> rows;
    std::string e;
    EXPECT_TRUE(db_->Query(sql, {}, &rows, &e)) << e;
    return rows;
  }
  // A new user of the suite's company (rowstatus 1: deleted).
  static int64_t NewUser(int64_t id, int rowstatus = 0) {
    Execute(
        "INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, VES_VESSELID, USR_NAME, USR_ROWSTATUS, "
        "USR_VESSELUSER) VALUES (" +
        std::to_string(id) + ", " + std::to_string(company_) + ", 7, 'Import test', " +
        std::to_string(rowstatus) + ", 0)");
    return id;
  }

  static std::vector<std::string> Args(int64_t user, std::vector<std::string> args,
                                       const std::string& library = MS_MAILSTORAGE_LIBRARY) {
    args.insert(args.begin(),
                {"--user", std::to_string(user), "--company", std::to_string(company_), "--quiet",
                 "--library", library, "--registry", registry_});
    return args;
  }
  static ToolResult Import(int64_t user, std::vector<std::string> args,
                           const std::map<std::string, std::string>& env = {}) {
    return RunTool(MS_IMPORT_TOOL, Args(user, std::move(args)), env);
  }

  static std::map<std::string, int64_t> Folders(int64_t user) {  // full name (lower case) to id
    std::string e;
    auto folders = StoreQueries(db_.get(), true).Folders(user, &e);
    EXPECT_TRUE(folders) << e;
    return folders.value_or(std::map<std::string, int64_t>{});
  }
  static std::vector<StoreQueries::Link> Links(int64_t folder_id) {
    std::string e;
    auto links = StoreQueries(db_.get(), true).Links(folder_id, &e);
    EXPECT_TRUE(links) << e;
    return links.value_or(std::vector<StoreQueries::Link>{});
  }

  // A journal record of an earlier run for `bytes` read from `path` (at
  // `offset` of an mbox, -1 elsewhere), in the form an earlier release wrote.
  static std::string JournalRecord(const std::string& state, const std::string& code,
                                   int64_t offset, const std::string& bytes,
                                   const std::string& path) {
    return state + "\t" + code + "\t" + std::to_string(offset) + "\t" +
           std::to_string(bytes.size()) + "\t" + HashText(bytes) + "\t" + path + "\n";
  }
  static std::string HashText(const std::string& bytes) {
    char hash[20];
    snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(ContentHash(bytes)));
    return hash;
  }

  static inline std::unique_ptr<StoreDatabase> db_;
  static inline std::string registry_;
  static inline int64_t company_ = 0;
};

}  // namespace Nauvik::Import::Test
