#pragma once

// Progress output: on a terminal a one-line bar that is redrawn a few times a
// second and fits the terminal's width; otherwise a plain status line every
// few seconds, so that logs of unattended runs stay readable.

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
};

// The bar line for a terminal of `width` columns (never longer than width - 1,
// so the cursor does not wrap): "[#####    ] 120/500 24% 40.0 mails/s 1.2 MB/s ETA 0:09".
// Parts that do not fit are left out, least important first.
std::string RenderProgressBar(const ProgressState& state, int width);

// The status line for a log: "120/500 items (24%), 3 failed, 40.0 mails/s, 1.2 MB/s, ETA 0:09".
std::string RenderStatusLine(const ProgressState& state);

// "1:02:03" or "2:03".
std::string FormatDuration(double seconds);

// Writes progress to standard error at the right pace. Not thread-safe: one
// thread (the main thread) calls Update.
class ProgressPrinter {
 public:
  ProgressPrinter(bool quiet, bool terminal);
  void Update(const ProgressState& state);
  // Clears the bar (terminal) so that the summary starts on a clean line.
  void Finish();

 private:
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
  std::string note_;  // the last note shown: a new one is shown at once
  std::chrono::steady_clock::time_point last_;
};

}  // namespace Nauvik::Import
