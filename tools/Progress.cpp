#include "tools/Progress.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/System.h"

namespace Nauvik::Import {
namespace {

std::string Fixed(double v, int digits) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string Rate(const ProgressState& s, double* per_item) {
  const double rate = s.seconds > 0 ? s.done / s.seconds : 0;
  *per_item = rate;
  return Fixed(rate, 1) + " mails/s";
}

std::string MegabytesPerSecond(const ProgressState& s) {
  const double mb = s.seconds > 0 ? s.bytes / s.seconds / 1e6 : 0;
  return Fixed(mb, mb < 10 ? 2 : 1) + " MB/s";
}

std::string Eta(const ProgressState& s, double rate) {
  if (rate <= 0 || s.done >= s.total) return "ETA -";
  return "ETA " + FormatDuration((s.total - s.done) / rate);
}

int Percent(const ProgressState& s) {
  return s.total == 0 ? 100 : static_cast<int>(s.done * 100 / s.total);
}

}  // namespace

std::string FormatDuration(double seconds) {
  const int64_t t = static_cast<int64_t>(seconds + 0.5);
  char buf[32];
  if (t >= 3600) {
    snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(t / 3600),
             static_cast<long long>(t / 60 % 60), static_cast<long long>(t % 60));
  } else {
    snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(t / 60),
             static_cast<long long>(t % 60));
  }
  return buf;
}

std::string TimeStamp(int64_t unix_seconds) {
  const time_t t = static_cast<time_t>(unix_seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string RenderStatusJson(const ProgressState& s, const std::string& account,
                             int64_t unix_seconds, bool finished) {
  const double rate = s.seconds > 0 ? s.done / s.seconds : 0;
  const double eta = rate > 0 && s.done < s.total ? (s.total - s.done) / rate : 0;
  return "{\"time\": " + JsonString(TimeStamp(unix_seconds)) +
         ", \"finished\": " + (finished ? "true" : "false") +
         ", \"account\": " + JsonString(account) + ", \"folder\": " + JsonString(s.folder) +
         ", \"done\": " + std::to_string(s.done) + ", \"total\": " + std::to_string(s.total) +
         ", \"failed\": " + std::to_string(s.failed) + ", \"bytes\": " + std::to_string(s.bytes) +
         ", \"seconds\": " + Fixed(s.seconds, 1) + ", \"mails_per_second\": " + Fixed(rate, 2) +
         ", \"eta_seconds\": " + Fixed(eta, 0) + ", \"note\": " + JsonString(s.note) + "}\n";
}

std::string RenderProgressBar(const ProgressState& s, int width) {
  double rate = 0;
  const std::string speed = Rate(s, &rate);
  const std::string count = std::to_string(s.done) + "/" + std::to_string(s.total);
  const std::string percent = std::to_string(Percent(s)) + "%";
  // Most important first; trailing parts are dropped until the line fits.
  std::vector<std::string> parts = {count, percent, speed, MegabytesPerSecond(s), Eta(s, rate)};
  if (!s.note.empty()) parts.insert(parts.begin() + 2, s.note);
  if (s.failed > 0) parts.insert(parts.begin() + 2, std::to_string(s.failed) + " failed");
  const int limit = width - 1;
  while (true) {
    std::string text;
    for (const auto& p : parts) text += " " + p;
    const int bar = limit - static_cast<int>(text.size()) - 2;
    if (bar >= 10 || parts.size() == 1) {
      std::string line;
      if (bar >= 10) {
        const int cells = std::min(bar, 50);
        const int filled = s.total == 0 ? cells : static_cast<int>(s.done * cells / s.total);
        line = "[" + std::string(filled, '#') + std::string(cells - filled, ' ') + "]";
      }
      line += text;
      if (static_cast<int>(line.size()) > limit) line.resize(limit > 0 ? limit : 0);
      return line;
    }
    parts.pop_back();
  }
}

std::string RenderStatusLine(const ProgressState& s) {
  double rate = 0;
  const std::string speed = Rate(s, &rate);  // before Eta, which needs the rate
  std::string line = std::to_string(s.done) + "/" + std::to_string(s.total) + " items (" +
                     std::to_string(Percent(s)) + "%)";
  if (s.failed > 0) line += ", " + std::to_string(s.failed) + " failed";
  line += ", " + speed + ", " + MegabytesPerSecond(s) + ", " + Eta(s, rate);
  if (!s.note.empty()) line += ", " + s.note;
  return line;
}

ProgressPrinter::ProgressPrinter(bool quiet, bool terminal, std::string status_file,
                                 std::string account)
    : quiet_(quiet),
      terminal_(terminal),
      last_(std::chrono::steady_clock::now()),
      status_file_(std::move(status_file)),
      account_(std::move(account)) {}

// Written beside and renamed over the file: a monitor never reads half of it.
void ProgressPrinter::WriteStatus(const ProgressState& state, bool finished) {
  if (status_file_.empty()) return;
  const std::string text = RenderStatusJson(state, account_, time(nullptr), finished);
  const std::string temporary = status_file_ + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, status_file_, ec);
}

void ProgressPrinter::Update(const ProgressState& state) {
  latest_ = state;
  const auto now = std::chrono::steady_clock::now();
  if (!status_file_.empty() && now - status_written_ >= std::chrono::seconds(2)) {
    status_written_ = now;
    WriteStatus(state, false);
  }
  if (quiet_) return;
  const auto pace = terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
  // A terminal shows the bar at once; a log gets its first line after one pace.
  if ((drawn_ || !terminal_) && now - last_ < pace && state.note == note_) return;
  note_ = state.note;
  last_ = now;
  drawn_ = true;
  if (terminal_) {
    const std::string line = RenderProgressBar(state, TerminalWidth());
    fprintf(stderr, "\r%s\x1b[K", line.c_str());
  } else {
    fprintf(stderr, "mailstorage-import: %s %s\n", TimeStamp(time(nullptr)).c_str(),
            RenderStatusLine(state).c_str());
  }
  fflush(stderr);
}

void ProgressPrinter::Finish() {
  WriteStatus(latest_, true);
  if (!quiet_ && terminal_ && drawn_) {
    fprintf(stderr, "\r\x1b[K");
    fflush(stderr);
  }
}

}  // namespace Nauvik::Import
