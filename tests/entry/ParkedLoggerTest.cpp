// The logger's thread outlives a call, parked, and stops with CloseDatabase and with the library's
// unload. This binary loads and unloads the library itself: no other handle may keep it loaded.

#include <sys/wait.h>

#include <thread>

#include "tests/entry/LibraryHarness.h"

// Once the library is unloaded, what it and the ODBC driver manager keep for the process's life is
// unreachable and lies in unmapped modules, where no suppression can name it: leak checking cannot
// tell it from a leak here. The other entry tests, which never unload, keep it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace mstest {
namespace {

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Each call's lines are in the file when it returns; one parked thread serves every call until
// CloseDatabase or the unload. A child forked after a call, without CloseDatabase, has the parked
// logger but not its thread: its first call must still log and return (a hang is killed).
TEST(ParkedLogger, OneThreadServesEveryCallUntilCloseDatabaseOrUnload) {
  // The thread sanitizer starts a thread of its own with the process's first new thread; let that
  // happen before any thread is counted.
  std::thread([] {}).join();
  void* handle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  const auto add = reinterpret_cast<AddMailToMailStoreFn>(dlsym(handle, "AddMailToMailStore"));
  const auto close = reinterpret_cast<CloseDatabaseFn>(dlsym(handle, "CloseDatabase"));
  ASSERT_TRUE(add != nullptr && close != nullptr);
  // A call for a file that does not exist: its result and log, its start and its error lines.
  const std::string missing = WriteMail("").string() + ".missing.";
  LogWatch log;
  const auto call = [&](const std::string& name) {
    const int32_t code = add((missing + name).c_str(), "INBOX", "1", "1", "", false, false, true);
    return std::to_string(code) + " " + log.Take();
  };
  const auto expected = [&](const std::string& name) {
    const std::string file = missing + name, tid = std::to_string(gettid());
    return "1023 STATUS: " + tid + ": AddMailToMailStore(): Adding file " + file +
           " to IMAP storage. User: 1. Folder: INBOX.\r\nERROR: " + tid +
           ": Failed to open memory mapped file: " + file + "\r\nERROR: " + tid +
           ": AddMailToMailStore(): Error when adding file: Invalid input to function. Last "
           "exception: \r\n";
  };
  const int before = ThreadCount();
  for (const std::string name : {"first", "again-1", "again-2", "again-3"}) {
    EXPECT_EQ(call(name), expected(name));
    EXPECT_EQ(ThreadCount(), before + 1)
        << name;  // the same parked thread, not a new one each call
  }
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);
    _exit(call("child") == expected("child") ? 0 : 1);  // lines under the child's own thread id
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "the child's wait status (signal 14: it hung in its first call)";
  log.Take();  // the child's lines; the parent's parked logger still serves the next call
  EXPECT_EQ(call("after-fork"), expected("after-fork"));
  close();
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_EQ(call("later"), expected("later"));
  EXPECT_EQ(ThreadCount(), before + 1);
  ASSERT_EQ(dlclose(handle), 0);
  EXPECT_EQ(ThreadCount(), before);
}

}  // namespace
}  // namespace mstest
