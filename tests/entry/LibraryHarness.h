#pragma once

// What the end-to-end tests of libMailStorage.so share: loading the built
// library with dlopen (the test links none of the static libraries, so the
// library keeps its one copy of every process-wide object), reading the
// private PostgreSQL store through psql, mail files and the log files the
// library writes beside this executable.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "entry/MailStorage.h"

namespace mstest {

namespace fs = std::filesystem;

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The library, loaded once per process.
class Library {
 public:
  static Library& Get() {
    static Library library;
    return library;
  }
  AddMailToMailStoreFn add = nullptr;
  CloseDatabaseFn close = nullptr;
  std::string path;
  std::string error;

 private:
  Library() {
    path = Env("MS_BINARY_DIR") + "/entry/libMailStorage.so";
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      error = dlerror();
      return;
    }
    add = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle_, "AddMailToMailStore"));
    close = reinterpret_cast<CloseDatabaseFn>(dlsym(handle_, "CloseDatabase"));
  }
  void* handle_ = nullptr;
};

// Runs one SQL text through psql against the private store and returns its
// unaligned output ("|" between columns, one line per row, no trailing
// newline). The connection parameters come from the store's directory.
std::string Sql(const std::string& sql);

// The first row ("|" between columns), or "" when there is none.
inline std::string SqlValue(const std::string& sql) {
  std::string out = Sql(sql);
  const size_t end = out.find('\n');
  return end == std::string::npos ? out : out.substr(0, end);
}

inline int64_t SqlInt(const std::string& sql) {
  const std::string value = SqlValue(sql);
  return value.empty() ? -1 : std::strtoll(value.c_str(), nullptr, 10);
}

inline std::vector<std::string> SqlRows(const std::string& sql) {
  std::vector<std::string> rows;
  std::istringstream in(Sql(sql));
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  return rows;
}

// A user of the store with its own company; ids unique per test binary and
// test (the base keeps test binaries apart).
struct TestUser {
  int64_t id = 0;
  int64_t company = 0;
  std::string IdText() const { return std::to_string(id); }
  std::string CompanyText() const { return std::to_string(company); }
};

// Creates the company and the user rows (name as given).
TestUser MakeUser(int64_t id, const std::string& name);

// A mail with the given Message-ID header (omitted when empty), padded in its
// body to exactly `size` bytes when size is not 0.
std::string MakeMail(const std::string& message_id, const std::string& subject, size_t size = 0,
                     const std::string& date = "Tue, 15 Nov 1994 08:12:31 +0100");

// The lines the library logged for calls on the calling thread since the
// last call of Take() (or since construction).
class LogWatch {
 public:
  LogWatch();
  std::string Take();
  static fs::path Directory();

 private:
  std::map<fs::path, uintmax_t> sizes_;
};

// A scratch directory for mail files, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  fs::path Write(const std::string& name, const std::string& bytes);
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The full path of a stored blob file (host path + location, "\" as "/").
std::string BlobPath(int64_t file_storage_id);

// The server process serving the connection whose last statement contains
// `marker`; 0 when there is none.
int64_t BackendWithLastStatement(const std::string& marker);

}  // namespace mstest
