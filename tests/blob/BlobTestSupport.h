#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "log/Log.h"
#include "log/LogChannel.h"
#include "tests/TestSupport.h"

namespace Nauvik::testing {

// The test store's directory; the test fails (never skips) without it.
inline std::string StoreDir() {
  const char* dir = std::getenv("MAILSTORAGE_TEST_STORE");
  if (dir != nullptr && *dir != '\0' && std::getenv("MAILSTORAGE_REGISTRY") != nullptr) return dir;
  ADD_FAILURE() << "MAILSTORAGE_TEST_STORE / MAILSTORAGE_REGISTRY not set: run through ctest";
  return "/nonexistent-test-store";
}

inline void Sql(const std::string& sql) { DbSimpleAccess().ExecuteDirect(sql); }

inline int64_t CountRows(const std::string& table, const std::string& where) {
  return DbSimpleAccess(table).Count(where);
}

struct TestHost {
  int64_t id;
  std::string path;
  int online = 1, writable = 1, category = 0;
};

// A transaction that sees only the test's own hosts, the others switched offline inside
// it and the table locked against other writers. All rolled back at the end; files stay.
class IsolatedHosts {
 public:
  explicit IsolatedHosts(const std::vector<TestHost>& hosts) {
    Sql("LOCK TABLE NS_FILESTORAGEHOST IN SHARE MODE");
    Sql("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 0");
    for (const TestHost& h : hosts) {
      Sql("INSERT INTO NS_FILESTORAGEHOST (FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, "
          "FSH_ONLINE, FSH_WRITABLE, FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY) VALUES (" +
          std::to_string(h.id) + ", 'blob test', '" + h.path + "', " + std::to_string(h.online) +
          ", " + std::to_string(h.writable) + ", 1000, " + (h.writable ? "0" : "1000") + ", " +
          std::to_string(h.category) + ")");
    }
  }

 private:
  ManualCommit txn_;  // opened before the constructor's statements
};

// What Log() puts into the process-wide channel while it lives (no broker reads it here).
using Lines = std::vector<std::pair<int32_t, std::string>>;
class LogCapture {
 public:
  explicit LogCapture(int32_t level) : old_level_(GetLogLevel()) {
    Take();
    SetLogLevel(level);
  }
  ~LogCapture() {
    SetLogLevel(old_level_);
    Take();
  }
  // The messages logged since the last call, without their thread prefix.
  Lines Take() {
    Lines lines;
    LogChannelReader reader(GlobalLogChannel());
    ChLog::CHLogMessage m;
    while (reader.Get(&m, 0)) lines.emplace_back(m.level, m.text.substr(m.text.find(": ") + 2));
    return lines;
  }

 private:
  int32_t old_level_;
};

}  // namespace Nauvik::testing
