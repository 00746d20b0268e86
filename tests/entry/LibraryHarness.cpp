#include "tests/entry/LibraryHarness.h"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

namespace mstest {
namespace {

std::string StoreDir() { return Env("MAILSTORAGE_TEST_STORE"); }

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

std::string Sql(const std::string& sql) {
  const std::string dir = StoreDir();
  if (dir.empty()) {
    ADD_FAILURE() << "MAILSTORAGE_TEST_STORE is not set";
    return "";
  }
  const std::string port = ReadFile(dir + "/port");
  const std::string command = "psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + ShellQuote(dir + "/run") +
                              " -p " + port.substr(0, port.find_first_of("\r\n")) +
                              " -U mailstore -d mailstore -c " + ShellQuote(sql) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "popen failed for " << sql;
    return "";
  }
  std::string out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  const int status = pclose(pipe);
  if (status != 0) ADD_FAILURE() << "psql failed: " << sql << "\n" << out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

TestUser MakeUser(int64_t id, const std::string& name) {
  TestUser user{id, id};
  std::string quoted = "'";
  for (char c : name) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  quoted += "'";
  Sql("INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (" + user.CompanyText() + ", " +
      quoted + ") ON CONFLICT DO NOTHING");
  Sql("INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, VES_VESSELID, USR_NAME, USR_ROWSTATUS, "
      "USR_VESSELUSER) VALUES (" +
      user.IdText() + ", " + user.CompanyText() + ", 7, " + quoted + ", 0, 1)");
  return user;
}

std::string MakeMail(const std::string& message_id, const std::string& subject, size_t size,
                     const std::string& date) {
  std::string head =
      "From: Sender <sender@example.invalid>\r\n"
      "To: Receiver <receiver@example.invalid>\r\n"
      "Date: " +
      date + "\r\n" + "Subject: " + subject + "\r\n";
  if (!message_id.empty()) head += "Message-ID: " + message_id + "\r\n";
  head += "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
  std::string body = "Hello from the tests.\r\n";
  std::string mail = head + body;
  if (size > mail.size()) mail.insert(head.size(), size - mail.size(), 'x');
  return mail;
}

fs::path LogWatch::Directory() {
  return fs::read_symlink("/proc/self/exe").parent_path() / "LogDir";
}

LogWatch::LogWatch() { Take(); }

std::string LogWatch::Take() {
  std::string text;
  std::error_code ec;
  if (!fs::is_directory(Directory(), ec)) return text;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(Directory(), ec)) {
    if (entry.path().filename().string().rfind("MailStorage_", 0) == 0) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return fs::last_write_time(a) < fs::last_write_time(b);
  });
  // Test binaries beside each other share the directory and its files: keep
  // the complete lines written for calls on this thread.
  const std::string mine = ": " + std::to_string(gettid()) + ": ";
  for (const fs::path& file : files) {
    const std::string content = ReadFile(file);
    uintmax_t& seen = sizes_[file];
    while (seen < content.size()) {
      const size_t end = content.find("\r\n", seen);
      if (end == std::string::npos) break;
      const std::string line = content.substr(seen, end + 2 - seen);
      if (line.find(mine) != std::string::npos) text += line;
      seen = end + 2;
    }
  }
  return text;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("ms-entry-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path ScratchDir::Write(const std::string& name, const std::string& bytes) {
  std::string safe = name;
  for (char& c : safe) {
    if (c == '/' || c == '<' || c == '>' || c == '\\' || c == '\'') c = '_';
  }
  const fs::path file = path_ / safe;
  WriteFile(file, bytes);
  return file;
}

std::string BlobPath(int64_t file_storage_id) {
  std::string path = SqlValue(
      "SELECT FSH_HOSTPATH || FIS_LOCATION FROM NS_FILESTORAGE FIS JOIN NS_FILESTORAGEHOST FSH "
      "ON FIS.FSH_FILESTORAGEHOSTID = FSH.FSH_FILESTORAGEHOSTID WHERE FIS_FILESTORAGEID = " +
      std::to_string(file_storage_id));
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

int64_t BackendWithLastStatement(const std::string& marker) {
  std::string pattern;
  for (char c : marker) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
    if (c == '\'') pattern += c;
  }
  const std::string value =
      SqlValue("SELECT pid FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND query LIKE '%" +
               pattern + "%' ORDER BY pid LIMIT 1");
  return value.empty() ? 0 : std::strtoll(value.c_str(), nullptr, 10);
}

}  // namespace mstest
