// The logger's thread outlives a call, parked, and stops with CloseDatabase and with the library's
// unload. This binary loads and unloads the library itself: no other handle may keep it loaded.

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

// Once the library is unloaded, what it and the ODBC driver manager keep for the process's life is
// unreachable and lies in unmapped modules, where no suppression can name it: leak checking cannot
// tell it from a leak here. The other entry tests, which never unload, keep it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

namespace fs = std::filesystem;
using mstest::Occurrences;

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Every log line the library wrote for this process's threads, in file order.
std::string LogText() {
  std::string text;
  std::error_code ec;
  for (const auto& file :
       fs::directory_iterator(fs::read_symlink("/proc/self/exe").parent_path() / "LogDir", ec)) {
    if (file.path().filename().string().starts_with("MailStorage_")) {
      text += mstest::ReadFile(file.path());
    }
  }
  return text;
}

size_t Started(const std::string& path) {
  return Occurrences(LogText(), "Adding file " + path + " ");
}

class ParkedLogger : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thread sanitizer starts a thread of its own with the process's first new thread; let that
    // happen before any thread is counted.
    std::thread([] {}).join();
    const std::string path = std::string(std::getenv("MS_BINARY_DIR")) + "/entry/libMailStorage.so";
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    add_ = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle_, "AddMailToMailStore"));
    close_ = reinterpret_cast<CloseDatabaseFn>(dlsym(handle_, "CloseDatabase"));
    ASSERT_TRUE(add_ != nullptr && close_ != nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      close_();
      dlclose(handle_);
    }
  }
  // One call for a file that does not exist: it logs its start and its error line, and touches no
  // row.
  int32_t Call(const std::string& missing) {
    return add_(missing.c_str(), "INBOX", "1", "1", "", false, false, true);
  }
  const std::string mail_ =
      (fs::temp_directory_path() / "parked-").string() + std::to_string(getpid()) + ".eml.";

  void* handle_ = nullptr;
  AddMailToMailStoreFn add_ = nullptr;
  CloseDatabaseFn close_ = nullptr;
};

// Each call's lines are in the file when it returns; one parked thread serves every call until
// CloseDatabase, a call after it starts one again, and the unload stops it.
TEST_F(ParkedLogger, OneThreadServesEveryCallUntilCloseDatabaseOrUnload) {
  const int before = ThreadCount();
  ASSERT_EQ(Call(mail_ + "first"), 1023);
  EXPECT_EQ(Started(mail_ + "first"), 1u);
  EXPECT_EQ(ThreadCount(), before + 1);
  // Each call's two lines, in order, before it returns.
  const std::string error = ": " + std::to_string(gettid()) +
                            ": AddMailToMailStore(): Error when adding file: Invalid input";
  for (int i = 0; i < 5; ++i) {
    const size_t errors = Occurrences(LogText(), error);
    const std::string again = mail_ + "again" + std::to_string(i);
    EXPECT_EQ(Call(again), 1023);
    const std::string text = LogText();
    const size_t start = text.find("Adding file " + again + " ");
    ASSERT_NE(start, std::string::npos);
    EXPECT_NE(text.find(error, start), std::string::npos);
    EXPECT_EQ(Occurrences(text, error), errors + 1);
  }
  EXPECT_EQ(ThreadCount(), before + 1);  // the same parked thread, not a new one each call
  close_();
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(Call(mail_ + "later"), 1023);
  EXPECT_EQ(Started(mail_ + "later"), 1u);
  EXPECT_EQ(ThreadCount(), before + 1);
  ASSERT_EQ(dlclose(handle_), 0);
  handle_ = nullptr;
  EXPECT_EQ(ThreadCount(), before);
}

// A host that forks after a call, without CloseDatabase: the child has the parked logger but not
// its thread, and its first call must still log and return. The child reports through its exit
// status; a hang is killed.
TEST_F(ParkedLogger, ChildOfAForkStartsItsOwnLogger) {
  Call(mail_ + "before-fork");
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    _exit(Call(mail_ + "child") == 1023 && Started(mail_ + "child") == 1 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the child hung in its first call (signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  EXPECT_EQ(Call(mail_ + "after-fork"), 1023);  // the parent's parked logger still serves it
}

}  // namespace
