#pragma once

// libMailStorage.so through dlopen, the private store through psql, mail files and log lines.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>

#include "entry/MailStorage.h"
#include "tests/TestSupport.h"

namespace mstest {

namespace fs = std::filesystem;

constexpr int32_t kOk = 0;
constexpr int32_t kOracleError = 1001;
constexpr int32_t kAccessDenied = 1020;
constexpr int32_t kInvalidInput = 1023;
// `text` quoted for SQL, or for a psql command line with `quote` "'\\''".
inline std::string Quote(const std::string& text, const std::string& quote = "''") {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? quote : std::string(1, c);
  return out + "'";
}

inline std::string LibraryPath() {
  return std::string(std::getenv("MS_BINARY_DIR")) + "/entry/libMailStorage.so";
}

struct Library {
  static Library& Get() {
    static Library library;
    return library;
  }
  void* handle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string error = handle == nullptr ? dlerror() : "";
  AddMailToMailStoreFn add = reinterpret_cast<AddMailToMailStoreFn>(
      handle ? dlsym(handle, "AddMailToMailStore") : nullptr);
  CloseDatabaseFn close =
      reinterpret_cast<CloseDatabaseFn>(handle ? dlsym(handle, "CloseDatabase") : nullptr);
};

// The first line of a file of the test store.
inline std::string StoreValue(const std::string& name) {
  const std::string text =
      ReadFile(std::string(std::getenv("MAILSTORAGE_TEST_STORE")) + "/" + name);
  return text.substr(0, text.find_first_of("\r\n"));
}

// psql's output: "|" between columns, a line per row. Over TCP with the password, as the
// library connects (the socket admits only the server's account).
inline std::string Psql(const std::string& database, const std::string& account,
                        const std::string& args) {
  const std::string command = "PGPASSWORD=" + StoreValue("password") +
                              " psql -X -q -A -t -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
                              StoreValue("port") + " -U " + account + " -d " + database + " " +
                              args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  if (pclose(pipe) != 0) ADD_FAILURE() << "psql failed: " << args << "\n" << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline std::string Sql(const std::string& sql) {
  return Psql("mailstore", "mailstore", "-c " + Quote(sql, "'\\''"));
}

inline std::vector<std::string> Lines(const std::string& text) { return Split(text, '\n'); }

inline std::vector<std::string> SqlRows(const std::string& sql) { return Lines(Sql(sql)); }

inline int64_t SqlInt(const std::string& sql) {
  const std::string value = Sql(sql);
  return value.empty() ? -1 : std::strtoll(value.c_str(), nullptr, 10);
}

inline int64_t Count(const std::string& table, const std::string& where) {
  return SqlInt("SELECT COUNT(*) FROM " + table + " WHERE " + where);
}

// A user (its id text) with a company of the same id.
inline std::string MakeUser(int64_t id, const std::string& name) {
  Sql(UserSql(std::to_string(id), name));
  return std::to_string(id);
}

// The log lines since the last Take() of the calling thread, or with `mark`, without their time
// stamps (other binaries write there too).
class LogWatch {
 public:
  LogWatch() { Take(); }
  std::string Take(const std::string& mark = "") {
    const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path() / "LogDir";
    const std::string mine = mark.empty() ? ": " + std::to_string(gettid()) + ": " : mark;
    std::string text;
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(dir, ec)) {
      if (!file.path().filename().string().starts_with("MailStorage_")) continue;
      const std::string content = ReadFile(file.path());
      size_t& seen = seen_[file];
      for (size_t end; (end = content.find("\r\n", seen)) != std::string::npos; seen = end + 2) {
        const std::string line = content.substr(seen, end + 2 - seen);
        if (line.find(mine) != std::string::npos) text += line.substr(20);
      }
    }
    return text;
  }

 private:
  std::map<fs::path, size_t> seen_;
};

// Writes a mail file into this test binary's scratch directory in the build tree.
inline fs::path WriteMail(const std::string& bytes) {
  static std::atomic<int> counter{0};
  const fs::path dir = fs::read_symlink("/proc/self/exe").string() + "-scratch";
  fs::create_directories(dir);
  const fs::path file = dir / ("mail-" + std::to_string(counter++) + ".eml");
  std::ofstream(file, std::ios::binary) << bytes;
  return file;
}

inline int32_t Add(const fs::path& file, const std::string& folder, const std::string& user,
                   const std::string& date = kDate, bool seen = false, bool draft = false,
                   bool use_views = true) {
  const Library& library = Library::Get();
  if (library.add == nullptr) {
    ADD_FAILURE() << "cannot load " << LibraryPath() << ": " << library.error;
    return -1;
  }
  return library.add(file.c_str(), folder.c_str(), user.c_str(), user.c_str(), date.c_str(), seen,
                     draft, use_views);
}

// The folder id of a full name ("INBOX.a.b") of the user, or -1.
inline int64_t FolderId(const std::string& user, const std::string& full_name) {
  return SqlInt(
      "WITH RECURSIVE F(ID, NAME) AS (SELECT IMF_IMAPFOLDERID, COALESCE(IMF_FOLDERNAME, 'INBOX') "
      "FROM NS_IMAPFOLDER WHERE IMF_IMAPFOLDERID_PARENT IS NULL AND USR_USERID = " +
      user +
      " UNION ALL SELECT IMF_IMAPFOLDERID, NAME || '.' || IMF_FOLDERNAME FROM NS_IMAPFOLDER JOIN F "
      "ON IMF_IMAPFOLDERID_PARENT = ID) SELECT ID FROM F WHERE NAME = " +
      Quote(full_name));
}

// "uid|seen|draft|recent|answered|flagged|deleted|internal date" of the links in UID order.
inline std::vector<std::string> Links(int64_t folder, const std::string& message_id) {
  return SqlRows(
      "SELECT MIF_UID, COALESCE(MIF_SEEN,0), COALESCE(MIF_DRAFT,0), COALESCE(MIF_RECENT,0), "
      "COALESCE(MIF_ANSWERED,0), COALESCE(MIF_FLAGGED,0), COALESCE(MIF_DELETED,0), "
      "to_char(MIF_INTERNALDATE, 'YYYY/MM/DD HH24:MI:SS') FROM NS_IMAPMSGINFOLDER JOIN "
      "NS_IMAPMESSAGE USING (IMM_IMAPMESSAGEID) WHERE IMF_IMAPFOLDERID = " +
      std::to_string(folder) + " AND IMM_MESSAGEID = " + Quote(message_id) + " ORDER BY MIF_UID");
}

// The server process whose last statement read back the newest link of `message_id`, or 0.
inline int64_t BackendOfLastCall(const std::string& message_id) {
  return SqlInt(
      "SELECT COALESCE(MIN(pid), 0) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND query "
      "LIKE '%MIF\\_IMAPMSGINFOLDERID=' || (SELECT MAX(MIF_IMAPMSGINFOLDERID) FROM "
      "NS_IMAPMSGINFOLDER JOIN NS_IMAPMESSAGE USING (IMM_IMAPMESSAGEID) WHERE IMM_MESSAGEID = " +
      Quote(message_id) + ") || '%'");
}

}  // namespace mstest
