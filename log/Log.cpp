// The process-wide log function, its level and the log channel.
#include "log/Log.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "foundation/SimpleThread.h"
#include "foundation/ThreadId.h"
#include "log/LogChannel.h"

namespace Nauvik {

namespace {

// A one-byte lock taken by atomic exchange. The sections it guards are a few
// instructions (the level) or one console write, so spinning costs less than
// sleeping would.
class SpinLock {
 public:
  void lock() {
    while (flag_.exchange(true, std::memory_order_acquire)) {
      while (flag_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() { flag_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> flag_{false};
};

class SpinGuard {
 public:
  explicit SpinGuard(SpinLock& lock) : lock_(lock) { lock_.lock(); }
  ~SpinGuard() { lock_.unlock(); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  SpinLock& lock_;
};

constexpr int64_t kPutTimeoutMs = 5;

SpinLock g_level_lock;
int32_t g_level = kLogInfo;  // guarded by g_level_lock

SpinLock g_console_lock;  // serialises console output
std::atomic<bool> g_console{false};

// The writer end every Log call puts through; puts are thread-safe.
const LogChannelWriter& GlobalWriter() {
  static const LogChannelWriter* const writer = new LogChannelWriter(GlobalLogChannel());
  return *writer;
}

void WriteStdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Created while the library loads, as the broker and every producer expect.
[[maybe_unused]] const bool g_channel_created = (GlobalWriter(), true);

}  // namespace

LogChannel& GlobalLogChannel() {
  // Never destroyed: a thread may log while static objects are torn down.
  static LogChannel* const channel = new LogChannel();
  return *channel;
}

// The forced unwind of a terminated thread carries no exception object, which
// the null-reference check of the undefined-behaviour sanitizer misreads.
__attribute__((no_sanitize("null"))) void Log(int32_t level, bool check, const std::string& text) {
  try {
    if (check && level >= 0 && !LogLevelAtLeast(level)) return;
    if (g_console.load(std::memory_order_relaxed)) {
      SpinGuard guard(g_console_lock);
      WriteStdout(text + "\r\n");
      return;
    }
    ChLog::CHLogMessage message;
    message.level = level;
    message.text = level >= 0 ? std::to_string(KAVRO::CurrentThreadId()) + ": " + text : text;
    // A channel that stays full for the whole wait loses this message.
    (void)GlobalWriter().Put(message, kPutTimeoutMs);
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being terminated while it waits for room must unwind
  } catch (...) {
    WriteStdout("EXCEPTION IN LOG\r\n");
  }
}

bool LogLevelAtLeast(int32_t level) {
  SpinGuard guard(g_level_lock);
  return g_level >= level;
}

void SetLogLevel(int32_t level) {
  SpinGuard guard(g_level_lock);
  g_level = level;
}

int32_t GetLogLevel() {
  SpinGuard guard(g_level_lock);
  return g_level;
}

void SetConsoleMode(bool on) { g_console.store(on); }

bool GetConsoleMode() { return g_console.load(); }

std::string LogLevelName(int32_t level) {
  switch (level) {
    case 0:
      return "ERROR";
    case 1:
      return "WARNING";
    case 2:
      return "STATUS";
    case 3:
      return "INFO";
    case 5:
      return "DEBUG";
    case 6:
      return "DEBUG2";
    case 7:
      return "DEBUG3";
    case 8:
      return "DEBUG4";
    default:
      return std::to_string(level);
  }
}

bool LogChannelEmpty() { return GlobalLogChannel().Empty(); }

bool WaitForLogChannelEmpty(int64_t timeout_ms) {
  return GlobalLogChannel().WaitUntilEmpty(timeout_ms);
}

}  // namespace Nauvik
