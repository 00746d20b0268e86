#pragma once

// Progress output: on a terminal a one-line bar that is redrawn a few times a
// second and fits the terminal's width; otherwise a plain status line with a
// time stamp every few seconds, so that logs of unattended runs stay
// readable. For a monitor, a status file rewritten as JSON.

#include <chrono>
#include <cstdint>
#include <string>

namespace Nauvik::Import {

struct ProgressState {
  uint64_t done = 0;   // items finished (any outcome)
  uint64_t total = 0;  // items of this run
  uint64_t failed = 0;
  uint64_t bytes = 0;  // bytes given to the library so far
  double seconds = 0;  // since the run started
  std::string note;    // what holds the run up ("database unreachable, retrying in 8s"), if anything
  std::string folder;  // the target folder of the item taken last
};

// The bar line for a terminal of `width` columns (never longer than width - 1,
// so the cursor does not wrap): "[#####    ] 120/500 24% 40.0 mails/s 1.2 MB/s ETA 0:09".
// Parts that do not fit are left out, least important first.
std::string RenderProgressBar(const ProgressState& state, int width);

// The status line for a log: "120/500 items (24%), 3 failed, 40.0 mails/s, 1.2 MB/s, ETA 0:09".
std::string RenderStatusLine(const ProgressState& state);

// "1:02:03" or "2:03".
std::string FormatDuration(double seconds);

// "2026-02-03T04:05:06Z" for seconds since the epoch.
std::string TimeStamp(int64_t unix_seconds);

// The status file's content: one JSON object with the counts, rate, ETA,
// account and folder, the time it was written and whether the run is over.
std::string RenderStatusJson(const ProgressState& state, const std::string& account,
                             int64_t unix_seconds, bool finished);

// Writes progress to standard error at the right pace, and to the status
// file (if any) every two seconds. Not thread-safe: one thread (the main
// thread) calls Update.
class ProgressPrinter {
 public:
  ProgressPrinter(bool quiet, bool terminal, std::string status_file = "",
                  std::string account = "");
  void Update(const ProgressState& state);
  // Clears the bar (terminal) so that the summary starts on a clean line,
  // and writes the status file a last time.
  void Finish();

 private:
  void WriteStatus(const ProgressState& state, bool finished);

  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
  std::string note_;  // the last note shown: a new one is shown at once
  std::chrono::steady_clock::time_point last_;
  std::string status_file_;
  std::string account_;
  ProgressState latest_;
  std::chrono::steady_clock::time_point status_written_;
};

}  // namespace Nauvik::Import
