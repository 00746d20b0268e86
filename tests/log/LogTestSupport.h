#pragma once

// Shared pieces of the log tests: a broker that records what it writes (and
// can be held inside WriteLine), scratch directories and file helpers.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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

#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"

namespace Nauvik::testing {

// A file logger in the manner of the entry point's, which also records each
// line. CloseGate holds the broker thread inside WriteLine until OpenGate, so
// messages pile up in the channel.
class RecordingLogger : public LogBroker {
 public:
  RecordingLogger(const std::string& name, const KAVRO::ChannelAccess<ChLog::CHLogMessage>& channel,
                  std::string pattern = "MailStorage_$YEAR_$STRMONTH_$DAY.log")
      : LogBroker(name, channel), pattern_(std::move(pattern)) {}
  ~RecordingLogger() override {
    OpenGate();
    Stop(-1);
  }

  void CloseGate() { Locked([this] { gate_closed_ = true; }); }
  void OpenGate() { Locked([this] { gate_closed_ = false; }); }
  // Each waits up to 30 s: the broker is held at the gate, has taken n
  // lines, has started its loop (and the live log, if any).
  bool WaitUntilHeld() { return WaitFor([this] { return held_; }); }
  bool WaitForLines(size_t n) { return WaitFor([&] { return lines_.size() >= n; }); }
  bool WaitForLoopStart() { return WaitFor([this] { return loop_started_; }); }
  std::vector<ChLog::CHLogMessage> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 protected:
  void OnLoopStart() override { Locked([this] { loop_started_ = true; }); }

  void WriteLine(int32_t level, const std::string& text) override {
    {
      std::unique_lock<std::mutex> lock(mu_);
      held_ = gate_closed_;
      cv_.notify_all();
      cv_.wait(lock, [this] { return !gate_closed_; });
      held_ = false;
    }
    // Recorded first, so attempts count even when the write throws; the file
    // is complete once the broker has stopped.
    Locked([&] { lines_.push_back({level, text}); });
    WriteToFile(level, "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ", pattern_, text);
  }

 private:
  void Locked(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lock(mu_);
    change();
    cv_.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), done);
  }

  const std::string pattern_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool gate_closed_ = false;   // guarded by mu_
  bool held_ = false;          // guarded by mu_
  bool loop_started_ = false;  // guarded by mu_
  std::vector<ChLog::CHLogMessage> lines_; // guarded by mu_
};

// A fresh directory under the system's temporary directory, removed at the end.
struct ScratchDir {
  ScratchDir() { std::filesystem::create_directories(path); }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string str() const { return path.string(); }
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("mailstorage-log-" + std::to_string(std::random_device()()));
};

// The lines of a CR LF file without their line ends; a last line without CR
// LF is returned as it is, so a test sees the damage.
inline std::vector<std::string> FileLines(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream read;
  read << in.rdbuf();
  const std::string text = read.str();
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find("\r\n", start), text.size());
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

// Takes whatever earlier tests left in the process-wide channel.
inline void DrainGlobalChannel() {
  LogChannelReader reader(GlobalLogChannel());
  ChLog::CHLogMessage message;
  while (reader.Get(&message, 0)) {
  }
}

}  // namespace Nauvik::testing
