#pragma once

// Shared pieces of the log tests: a broker that records what it writes (and
// can be held inside WriteLine), scratch directories and file helpers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/SimpleThread.h"
#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"

namespace Nauvik::testing {

inline constexpr const char* kStampFormat = "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ";
inline constexpr const char* kDailyPattern = "MailStorage_$YEAR_$STRMONTH_$DAY.log";

struct Line {
  int32_t level;
  std::string text;
};

// A file logger in the manner of the entry point's: every line goes to
// WriteToFile with the stamp format and a pattern, and is also recorded so a
// test can wait for it. CloseGate makes the broker thread block inside
// WriteLine until OpenGate, to hold messages in the channel.
class RecordingLogger : public LogBroker {
 public:
  RecordingLogger(const std::string& name, const KAVRO::ChannelAccess<ChLog::CHLogMessage>& channel,
                  std::string pattern = kDailyPattern)
      : LogBroker(name, channel), pattern_(std::move(pattern)) {}
  ~RecordingLogger() override {
    OpenGate();
    Stop(-1);
  }

  void CloseGate() {
    std::lock_guard<std::mutex> lock(mu_);
    gate_closed_ = true;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(mu_);
    gate_closed_ = false;
    cv_.notify_all();
  }
  // Waits until the broker thread is held at the closed gate.
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return held_; });
  }
  // Waits until at least n lines were written (or 30 s passed).
  bool WaitForLines(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return lines_.size() >= n; });
  }
  // Waits until the loop runs (the live log, if any, has started).
  bool WaitForLoopStart() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return loop_started_; });
  }
  std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  using LogBroker::BrokerLevel;

 protected:
  void OnLoopStart() override {
    std::lock_guard<std::mutex> lock(mu_);
    loop_started_ = true;
    cv_.notify_all();
  }

  void WriteLine(int32_t level, const std::string& text) override {
    {
      std::unique_lock<std::mutex> lock(mu_);
      held_ = gate_closed_;
      cv_.notify_all();
      cv_.wait(lock, [this] { return !gate_closed_; });
      held_ = false;
    }
    // Recorded even when the file write throws, so a test can count attempts.
    try {
      WriteToFile(level, kStampFormat, pattern_, text);
    } catch (...) {
      Record(level, text);
      throw;
    }
    Record(level, text);
  }

  void Record(int32_t level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back({level, text});
    cv_.notify_all();
  }

 private:
  const std::string pattern_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool gate_closed_ = false;   // guarded by mu_
  bool held_ = false;          // guarded by mu_
  bool loop_started_ = false;  // guarded by mu_
  std::vector<Line> lines_;    // guarded by mu_
};

// A thread of the library's own kind, so that its kernel id is known.
class FunctionThread : public KAVRO::SimpleThread {
 public:
  explicit FunctionThread(std::function<void()> body) : body_(std::move(body)) {}
  ~FunctionThread() override { Stop(-1); }

 protected:
  void Run() override { body_(); }

 private:
  std::function<void()> body_;
};

// Takes whatever earlier tests left in the process-wide channel.
inline void DrainGlobalChannel() {
  LogChannelReader reader(GlobalLogChannel());
  ChLog::CHLogMessage message;
  while (reader.Get(&message, 0)) {
  }
}

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("mailstorage-log-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The lines of a CR LF file, without their line ends. A line that does not
// end in CR LF is returned as it is, so a test sees the damage.
inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

inline std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace Nauvik::testing
