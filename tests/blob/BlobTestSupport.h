#pragma once

// Shared set-up of the blob tests: the private store's directory, a working
// directory of this binary inside it, SQL run as it is, and a transaction
// that hides every storage host but the test's own.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "log/Log.h"
#include "log/LogChannel.h"

namespace Nauvik::testing {

// The test store's directory; the test fails (never skips) without it.
inline std::string StoreDir() {
  const char* dir = std::getenv("MAILSTORAGE_TEST_STORE");
  if (dir == nullptr || *dir == '\0' || std::getenv("MAILSTORAGE_REGISTRY") == nullptr) {
    ADD_FAILURE() << "MAILSTORAGE_TEST_STORE / MAILSTORAGE_REGISTRY not set: run through ctest";
    return "/nonexistent-test-store";
  }
  return dir;
}

// A fresh directory of this binary inside the store.
inline std::string WorkDir(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(StoreDir()) / "blob-tests" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

inline void Sql(const std::string& sql) {
  DbSimpleAccess db;
  db.ExecuteDirect(sql);
}

inline int64_t CountRows(const std::string& table, const std::string& where) {
  DbSimpleAccess db(table);
  return db.Count(where);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every regular file below dir.
inline std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(it->path().string());
  }
  return files;
}

struct TestHost {
  int64_t id;
  std::string path;
  int online;
  int writable;
  int category;
};

// A transaction on the thread's connection that sees only the test's own
// hosts: other hosts are switched offline inside it, and the host table is
// locked against concurrent writers (readers and foreign-key checks of other
// tests go on). Everything is rolled back at the end; blob files stay.
class IsolatedHosts {
 public:
  explicit IsolatedHosts(const std::vector<TestHost>& hosts) {
    txn_.emplace();
    Sql("LOCK TABLE NS_FILESTORAGEHOST IN SHARE MODE");
    Sql("UPDATE NS_FILESTORAGEHOST SET FSH_ONLINE = 0");
    for (const TestHost& h : hosts) Add(h);
  }
  ~IsolatedHosts() { txn_.reset(); }

  static void Add(const TestHost& h) {
    std::string path = h.path;
    for (size_t at = path.find('\''); at != std::string::npos; at = path.find('\'', at + 2)) {
      path.insert(at, 1, '\'');
    }
    Sql("INSERT INTO NS_FILESTORAGEHOST (FSH_FILESTORAGEHOSTID, FSH_DESCRIPTION, FSH_HOSTPATH, "
        "FSH_ONLINE, FSH_WRITABLE, FSH_TOTALSIZE, FSH_USEDSIZE, FSH_CATEGORY) VALUES (" +
        std::to_string(h.id) + ", 'blob test', '" + path + "', " + std::to_string(h.online) + ", " +
        std::to_string(h.writable) + ", 1000, " + (h.writable ? "0" : "1000") + ", " +
        std::to_string(h.category) + ")");
  }

 private:
  std::optional<ManualCommit> txn_;
};

// Collects what Log() puts into the process-wide channel while it lives: no
// broker reads the channel in these tests, so messages wait there. The level
// is chosen so that a test's messages stay well below the channel's 100.
class LogCapture {
 public:
  using Line = std::pair<int32_t, std::string>;

  explicit LogCapture(int32_t level) : old_level_(GetLogLevel()) {
    Take();
    SetLogLevel(level);
  }
  ~LogCapture() {
    SetLogLevel(old_level_);
    Take();
  }

  // The messages logged since the last call, without their thread prefix.
  std::vector<Line> Take() {
    std::vector<Line> lines;
    LogChannelReader reader(GlobalLogChannel());
    ChLog::CHLogMessage message;
    while (reader.Get(&message, 0)) {
      const size_t colon = message.text.find(": ");
      lines.emplace_back(message.level, colon == std::string::npos
                                            ? message.text
                                            : message.text.substr(colon + 2));
    }
    return lines;
  }

 private:
  int32_t old_level_;
};

}  // namespace Nauvik::testing
