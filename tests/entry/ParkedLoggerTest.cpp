// The logger's thread outlives a call, parked, and stops with CloseDatabase
// and with the library's unload. This binary loads and unloads the library
// itself: no other handle may keep it loaded.

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "entry/MailStorage.h"
#include "tests/TestSupport.h"

// Once the library is unloaded, what it and the ODBC driver manager keep for
// the process's life is unreachable and lies in unmapped modules, where no
// suppression can name it: leak checking cannot tell it from a leak here.
// The other entry tests, which never unload, keep it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

namespace fs = std::filesystem;
using mstest::Occurrences;

int ThreadCount() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

// Every log line the library wrote for this process's threads, in file order.
std::string LogText() {
  const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path() / "LogDir";
  std::string text;
  std::error_code ec;
  for (const auto& file : fs::directory_iterator(dir, ec)) {
    if (!file.path().filename().string().starts_with("MailStorage_")) continue;
    text += mstest::ReadFile(file.path());
  }
  return text;
}

class ParkedLogger : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thread sanitizer starts a thread of its own with the process's
    // first new thread; let that happen before any thread is counted.
    std::thread([] {}).join();
    const std::string path = std::string(std::getenv("MS_BINARY_DIR")) + "/entry/libMailStorage.so";
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    add_ = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle_, "AddMailToMailStore"));
    close_ = reinterpret_cast<CloseDatabaseFn>(dlsym(handle_, "CloseDatabase"));
    ASSERT_NE(add_, nullptr);
    ASSERT_NE(close_, nullptr);
    mail_ = fs::temp_directory_path() / ("parked-" + std::to_string(getpid()) + ".eml");
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      close_();
      dlclose(handle_);
    }
    fs::remove(mail_);
  }

  // One call for a file that does not exist: it logs its start and its
  // error line, and touches no row.
  std::string Call(const std::string& tag) {
    const std::string missing = mail_.string() + "." + tag;
    EXPECT_EQ(add_(missing.c_str(), "INBOX", "1", "1", "", false, false, true), 1023);
    return missing;
  }

  void* handle_ = nullptr;
  AddMailToMailStoreFn add_ = nullptr;
  CloseDatabaseFn close_ = nullptr;
  fs::path mail_;
};

TEST_F(ParkedLogger, OneThreadServesEveryCallUntilCloseDatabase) {
  const int before = ThreadCount();
  const std::string first = Call("first");
  // The call's lines are in the file when it returns; its logger waits.
  EXPECT_EQ(Occurrences(LogText(), "Adding file " + first + " "), 1u);
  EXPECT_EQ(ThreadCount(), before + 1);
  // Each call's two lines, in order, before it returns.
  const std::string error_line = ": " + std::to_string(gettid()) +
                                 ": AddMailToMailStore(): Error when adding file: Invalid input";
  for (int i = 0; i < 5; ++i) {
    const size_t errors = Occurrences(LogText(), error_line);
    const std::string again = Call("again" + std::to_string(i));
    const std::string text = LogText();
    const size_t start = text.find("Adding file " + again + " ");
    ASSERT_NE(start, std::string::npos);
    EXPECT_NE(text.find(error_line, start), std::string::npos);
    EXPECT_EQ(Occurrences(text, error_line), errors + 1);
  }
  EXPECT_EQ(ThreadCount(), before + 1);  // the same parked thread, not a new one each call
  close_();
  EXPECT_EQ(ThreadCount(), before);
  // A call after CloseDatabase starts a logger again.
  const std::string later = Call("later");
  EXPECT_EQ(Occurrences(LogText(), "Adding file " + later + " "), 1u);
  EXPECT_EQ(ThreadCount(), before + 1);
}

// A host that forks after a call, without CloseDatabase: the child has the
// parked logger but not its thread, and its first call must still log and
// return. The child reports through its exit status; a hang is killed.
TEST_F(ParkedLogger, ChildOfAForkStartsItsOwnLogger) {
  Call("before-fork");
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    const std::string missing = mail_.string() + ".child";
    const int32_t code = add_(missing.c_str(), "INBOX", "1", "1", "", false, false, true);
    _exit(code == 1023 && Occurrences(LogText(), "Adding file " + missing + " ") == 1 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the child hung in its first call (signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  Call("after-fork");  // the parent's parked logger still serves it
}

TEST_F(ParkedLogger, UnloadStopsTheParkedThread) {
  const int before = ThreadCount();
  const std::string path = Call("unload");
  EXPECT_EQ(ThreadCount(), before + 1);
  ASSERT_EQ(dlclose(handle_), 0);
  handle_ = nullptr;
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(Occurrences(LogText(), "Adding file " + path + " "), 1u);
}

}  // namespace
