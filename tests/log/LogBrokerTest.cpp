// The log broker with real files: daily names from UTC, the line format,
// concurrent writers, a full channel, the drain on stop, an unwritable
// directory and the broker level channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/Syncronize.h"
#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tests/log/LogTestSupport.h"

namespace Nauvik {
namespace {

using testing::DrainGlobalChannel;
using testing::FilesIn;
using testing::ReadFile;
using testing::RecordingLogger;
using testing::ScratchDir;
using testing::SplitCrLf;

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// Calendar text of a UTC time point, computed apart from the library's own
// time formatting.
struct UtcText {
  std::string stamp;  // "YYYYMMDD,HHMMSS.mmm"
  std::string daily;  // "MailStorage_YYYY_Mon_DD.log"
};

UtcText UtcTextOf(Clock::time_point tp) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto day = std::chrono::floor<std::chrono::days>(tp);
  const std::chrono::year_month_day ymd(day);
  const std::chrono::hh_mm_ss hms(std::chrono::floor<std::chrono::milliseconds>(tp - day));
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02u%02u,%02d%02d%02d.%03d", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                int(hms.minutes().count()), int(hms.seconds().count()),
                int(hms.subseconds().count()));
  char daily[64];
  std::snprintf(daily, sizeof daily, "MailStorage_%04d_%s_%02u.log", int(ymd.year()),
                kMonths[unsigned(ymd.month()) - 1], unsigned(ymd.day()));
  return {stamp, daily};
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A file line "YYYYMMDD,HHMMSS.mmm LEVEL: rest" cut into its parts.
struct FileLine {
  std::string stamp;
  std::string level;
  std::string rest;
};

bool ParseFileLine(const std::string& line, FileLine* out) {
  if (line.size() < 20 || line[8] != ',' || line[15] != '.' || line[19] != ' ') return false;
  if (!AllDigits(line.substr(0, 8)) || !AllDigits(line.substr(9, 6)) ||
      !AllDigits(line.substr(16, 3))) {
    return false;
  }
  const size_t colon = line.find(": ", 20);
  if (colon == std::string::npos) return false;
  *out = {line.substr(0, 19), line.substr(20, colon - 20), line.substr(colon + 2)};
  return true;
}

// "<thread id>: <writer> <sequence>" as logged by the concurrent writers.
struct WriterLine {
  std::string thread;
  int writer;
  int sequence;
};

bool ParseWriterLine(const std::string& file_line, WriterLine* out) {
  FileLine parsed;
  if (!ParseFileLine(file_line, &parsed) || parsed.level != "INFO") return false;
  int thread = 0, writer = 0, sequence = 0, used = 0;
  if (std::sscanf(parsed.rest.c_str(), "%d: writer %d line %d%n", &thread, &writer, &sequence,
                  &used) != 3 ||
      static_cast<size_t>(used) != parsed.rest.size()) {
    return false;
  }
  *out = {std::to_string(thread), writer, sequence};
  return true;
}

class LogBrokerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainGlobalChannel();
    SetLogLevel(kLogInfo);
  }
  void TearDown() override { DrainGlobalChannel(); }
  ScratchDir scratch_;
};

// The entry point's flow: level 3, a logger on the global channel, logging
// through Log, a wait for the channel to empty, and the logger's end.
TEST_F(LogBrokerFiles, DailyFileNamedFromUtcWithStampedLines) {
  const std::string dir = scratch_.str() + "/nested/LogDir";  // missing levels
  const auto before = Clock::now();
  {
    RecordingLogger logger("MailStorageInsertLogger", GlobalLogChannel());
    ASSERT_TRUE(logger.Open(dir, 0));
    EXPECT_EQ(logger.LogDirectory(), dir + "\\");
    Log(kLogStatus, true, "AddMailToMailStore(): Adding file a.eml");
    Log(kLogDebug, true, "dropped by the global level");
    Log(kLogError, true, "AddMailToMailStore(): Error when adding file: x");
    Log(4, false, "level four");
    ASSERT_TRUE(WaitForLogChannelEmpty(30000));
  }
  const auto after = Clock::now();

  const std::vector<fs::path> files = FilesIn(dir);
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0].filename().string();
  EXPECT_TRUE(name == UtcTextOf(before).daily || name == UtcTextOf(after).daily) << name;

  const auto lines = SplitCrLf(ReadFile(files[0]));
  ASSERT_EQ(lines.size(), 3u);
  const char* const expected[][2] = {
      {"STATUS", "AddMailToMailStore(): Adding file a.eml"},
      {"ERROR", "AddMailToMailStore(): Error when adding file: x"},
      {"4", "level four"},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    FileLine m;
    ASSERT_TRUE(ParseFileLine(lines[i], &m));
    EXPECT_GE(m.stamp, UtcTextOf(before).stamp);
    EXPECT_LE(m.stamp, UtcTextOf(after).stamp);
    EXPECT_EQ(m.level, expected[i][0]);
    // "<thread id>: <text>"
    const std::string& rest = m.rest;
    const size_t colon = rest.find(": ");
    ASSERT_NE(colon, std::string::npos);
    EXPECT_TRUE(AllDigits(rest.substr(0, colon)));
    EXPECT_EQ(rest.substr(colon + 2), expected[i][1]);
  }
}

TEST_F(LogBrokerFiles, LevelPrefixesPlainAndAligned) {
  const struct {
    int32_t level;
    const char* plain;
    const char* aligned;
  } cases[] = {
      {0, "ERROR: ", "ERROR:   "}, {1, "WARNING: ", "WARNING: "}, {2, "STATUS: ", "STATUS:  "},
      {3, "INFO: ", "INFO:    "},  {4, "4: ", "4:       "},       {8, "DEBUG4: ", "DEBUG4:  "},
      {12, "12: ", "12:      "},   {-7, "-7: ", "-7:      "},
  };
  for (bool align : {false, true}) {
    const std::string dir = scratch_.str() + (align ? "/aligned" : "/plain");
    LogChannel channel;
    LogChannelWriter writer(channel);
    {
      RecordingLogger logger("TestLogger", channel);
      logger.SetAlignment(align);
      ASSERT_TRUE(logger.Open(dir, 0));
      for (const auto& c : cases) ASSERT_TRUE(writer.Put({c.level, "text"}, 30000));
      ASSERT_TRUE(logger.WaitForLines(std::size(cases)));
    }
    const auto files = FilesIn(dir);
    ASSERT_EQ(files.size(), 1u);
    const auto lines = SplitCrLf(ReadFile(files[0]));
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
      // "YYYYMMDD,HHMMSS.mmm " is 20 characters.
      EXPECT_EQ(lines[i].substr(20),
                std::string(align ? cases[i].aligned : cases[i].plain) + "text")
          << "level " << cases[i].level;
    }
  }
}

// Writers log in rounds of at most 100 messages in all, so the channel never
// has to drop one; every writer's lines must arrive complete and in order.
TEST_F(LogBrokerFiles, LinesInOrderFromConcurrentWriters) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 10;
  constexpr int kPerRound = 25;
  {
    RecordingLogger logger("TestLogger", GlobalLogChannel());
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::thread> writers;
      for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, round] {
          for (int i = 0; i < kPerRound; ++i) {
            Log(kLogInfo, true,
                "writer " + std::to_string(w) + " line " + std::to_string(round * kPerRound + i));
          }
        });
      }
      for (auto& t : writers) t.join();
      ASSERT_TRUE(WaitForLogChannelEmpty(30000));
    }
    ASSERT_TRUE(logger.WaitForLines(kWriters * kRounds * kPerRound));
  }
  const auto files = FilesIn(scratch_.path());
  ASSERT_EQ(files.size(), 1u);
  std::map<int, int> next;  // writer -> next expected sequence
  std::map<int, std::string> thread_of;
  int count = 0;
  for (const std::string& line : SplitCrLf(ReadFile(files[0]))) {
    WriterLine parsed;
    ASSERT_TRUE(ParseWriterLine(line, &parsed)) << line;
    EXPECT_EQ(parsed.sequence, next[parsed.writer]) << line;
    next[parsed.writer] = parsed.sequence + 1;
    ++count;
  }
  EXPECT_EQ(count, kWriters * kRounds * kPerRound);
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], kRounds * kPerRound);
}

// Concurrent insertions each run their own logger on the one global channel:
// both append to the same daily file, and no line may be torn or lost.
TEST_F(LogBrokerFiles, TwoBrokersShareTheDailyFileWithWholeLines) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 10;
  constexpr int kPerRound = 25;
  {
    RecordingLogger first("TestLogger", GlobalLogChannel());
    RecordingLogger second("TestLogger", GlobalLogChannel());
    ASSERT_TRUE(first.Open(scratch_.str(), 0));
    ASSERT_TRUE(second.Open(scratch_.str(), 0));
    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::thread> writers;
      for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, round] {
          for (int i = 0; i < kPerRound; ++i) {
            Log(kLogInfo, true,
                "writer " + std::to_string(w) + " line " + std::to_string(round * kPerRound + i));
          }
        });
      }
      for (auto& t : writers) t.join();
      ASSERT_TRUE(WaitForLogChannelEmpty(30000));
    }
  }  // both stopped: every taken message is written
  const auto files = FilesIn(scratch_.path());
  ASSERT_EQ(files.size(), 1u);
  std::map<int, std::vector<bool>> seen;
  for (const std::string& line : SplitCrLf(ReadFile(files[0]))) {
    WriterLine parsed;
    ASSERT_TRUE(ParseWriterLine(line, &parsed)) << line;
    auto& marks = seen[parsed.writer];
    marks.resize(kRounds * kPerRound);
    ASSERT_LT(parsed.sequence, kRounds * kPerRound);
    EXPECT_FALSE(marks[size_t(parsed.sequence)]) << "twice: " << line;
    marks[size_t(parsed.sequence)] = true;
  }
  ASSERT_EQ(seen.size(), size_t{kWriters});
  for (const auto& [writer, marks] : seen) {
    EXPECT_EQ(std::count(marks.begin(), marks.end(), true), kRounds * kPerRound) << writer;
  }
}

// While the broker is held, the writers fill the channel to its last slot;
// released, it writes every message.
TEST_F(LogBrokerFiles, ChannelFullForAMomentLosesNothing) {
  RecordingLogger logger("TestLogger", GlobalLogChannel());
  logger.CloseGate();
  ASSERT_TRUE(logger.Open(scratch_.str(), 0));
  Log(kLogInfo, true, "writer 9 line 0");
  ASSERT_TRUE(logger.WaitUntilHeld());  // that message is out of the channel
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < 25; ++i) {
        Log(kLogInfo, true, "writer " + std::to_string(w) + " line " + std::to_string(i));
      }
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(GlobalLogChannel().Count(), 100u);
  logger.OpenGate();
  ASSERT_TRUE(logger.WaitForLines(101));
  ASSERT_TRUE(WaitForLogChannelEmpty(30000));
  const auto lines = SplitCrLf(ReadFile(FilesIn(scratch_.path()).at(0)));
  EXPECT_EQ(lines.size(), 101u);
  std::map<int, int> next;
  for (const std::string& line : lines) {
    WriterLine parsed;
    ASSERT_TRUE(ParseWriterLine(line, &parsed)) << line;
    EXPECT_EQ(parsed.sequence, next[parsed.writer]++) << line;
  }
}

// A stop request with messages queued: the broker writes what it holds and
// then at most 1,000 more, and leaves the rest in the channel.
TEST_F(LogBrokerFiles, StopDrainsUpToOneThousandQueuedMessages) {
  LogChannel channel(2000);
  LogChannelWriter writer(channel);
  {
    RecordingLogger logger("TestLogger", channel);
    logger.CloseGate();
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    ASSERT_TRUE(writer.Put({kLogInfo, "first"}, 0));
    ASSERT_TRUE(logger.WaitUntilHeld());
    for (int i = 0; i < 1500; ++i) ASSERT_TRUE(writer.Put({kLogInfo, std::to_string(i)}, 0));
    logger.RequestStop();
    logger.OpenGate();
    ASSERT_TRUE(logger.Wait(60000));  // the thread ends by itself
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[0].text, "first");
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(lines[size_t(i) + 1].text, std::to_string(i));
  }
  EXPECT_EQ(channel.Count(), 500u);
  EXPECT_EQ(SplitCrLf(ReadFile(FilesIn(scratch_.path()).at(0))).size(), 1001u);
}

// The logger of one call is destroyed while other threads keep logging: the
// destructor returns and what reached the file is whole and in order.
TEST_F(LogBrokerFiles, CleanStopWhileWritersStillLog) {
  std::atomic<bool> running{true};
  std::vector<std::thread> writers;
  {
    RecordingLogger logger("TestLogger", GlobalLogChannel());
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    for (int w = 0; w < 3; ++w) {
      writers.emplace_back([w, &running] {
        for (int i = 0; running.load(); ++i) {
          Log(kLogInfo, true, "writer " + std::to_string(w) + " line " + std::to_string(i));
        }
      });
    }
    ASSERT_TRUE(logger.WaitForLines(300));
  }  // stopped here, writers still busy
  running = false;
  for (auto& t : writers) t.join();

  std::map<int, int> last;
  size_t count = 0;
  for (const std::string& line : SplitCrLf(ReadFile(FilesIn(scratch_.path()).at(0)))) {
    WriterLine parsed;
    ASSERT_TRUE(ParseWriterLine(line, &parsed)) << line;
    auto it = last.find(parsed.writer);
    if (it != last.end()) {
      EXPECT_GT(parsed.sequence, it->second) << line;
    }
    last[parsed.writer] = parsed.sequence;
    ++count;
  }
  EXPECT_GE(count, 300u);
}

// Tests run as root, where file modes do not stop writes; a directory whose
// parent is a regular file cannot be created by anyone.
TEST_F(LogBrokerFiles, UnwritableDirectoryReportsEachLineAndKeepsRunning) {
  const std::string blocker = scratch_.str() + "/not-a-directory";
  { std::ofstream(blocker) << "x"; }
  const std::string dir = blocker + "/LogDir";
  LogChannel channel;
  LogChannelWriter writer(channel);
  ::testing::internal::CaptureStdout();
  std::vector<testing::Line> lines;
  {
    RecordingLogger logger("MailStorageInsertLogger", channel);
    ASSERT_TRUE(logger.Open(dir, 0));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer.Put({kLogError, "lost"}, 30000));
    ASSERT_TRUE(logger.WaitForLines(3));
    EXPECT_TRUE(logger.IsRunning());
    lines = logger.Lines();
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string today = UtcTextOf(Clock::now()).daily;
  const std::string report =
      "Exception in MailStorageInsertLogger logger: Cannot open for writing file: ";
  size_t reports = 0;
  for (size_t at = out.find(report); at != std::string::npos; at = out.find(report, at + 1)) {
    ++reports;
    const size_t end = out.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string path = out.substr(at + report.size(), end - at - report.size());
    // The path as the broker builds it: directory, "\", the daily name.
    EXPECT_EQ(path.substr(0, dir.size() + 1), dir + "\\") << path;
    EXPECT_EQ(path.size(), dir.size() + 1 + today.size()) << path;
    EXPECT_EQ(path.substr(dir.size() + 1, 12), "MailStorage_") << path;
  }
  EXPECT_EQ(reports, 3u) << out;
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_TRUE(fs::is_regular_file(blocker));
}

// With a pattern down to the millisecond, a line goes to the file named from
// the same instant as its stamp: the mechanism that moves the daily file on
// at midnight UTC.
TEST_F(LogBrokerFiles, EachLineGoesToTheFileOfItsOwnTime) {
  LogChannel channel(2000);
  LogChannelWriter writer(channel);
  constexpr int kLines = 2000;
  {
    RecordingLogger logger("TestLogger", channel, "t_$YEAR$MONTH$DAY_$HOUR$MIN$SEC$MSEC.log");
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(writer.Put({kLogInfo, std::to_string(i)}, 30000));
    ASSERT_TRUE(logger.WaitForLines(kLines));
  }
  const auto files = FilesIn(scratch_.path());
  EXPECT_GE(files.size(), 2u);
  int total = 0;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();  // t_YYYYMMDD_HHMMSSmmm.log
    ASSERT_EQ(name.size(), 24u) << name;
    const std::string want =
        name.substr(2, 8) + "," + name.substr(11, 6) + "." + name.substr(17, 3);
    for (const std::string& line : SplitCrLf(ReadFile(file))) {
      EXPECT_EQ(line.substr(0, 19), want) << name;
      ++total;
    }
  }
  EXPECT_EQ(total, kLines);
}

TEST_F(LogBrokerFiles, StoppedBrokerOpensAgainWithNewDirectory) {
  LogChannel channel;
  LogChannelWriter writer(channel);
  RecordingLogger logger("TestLogger", channel);
  ASSERT_TRUE(logger.Open(scratch_.str() + "/one", 0));
  ASSERT_TRUE(logger.Open(scratch_.str() + "/ignored", 0));  // running: no change
  ASSERT_TRUE(writer.Put({kLogInfo, "first run"}, 30000));
  ASSERT_TRUE(logger.WaitForLines(1));
  logger.Stop(-1);
  EXPECT_FALSE(logger.IsRunning());
  ASSERT_TRUE(logger.Open(scratch_.str() + "/two", 0));
  ASSERT_TRUE(writer.Put({kLogInfo, "second run"}, 30000));
  ASSERT_TRUE(logger.WaitForLines(2));
  logger.Stop(-1);
  ASSERT_EQ(FilesIn(scratch_.path()).size(), 2u);
  for (const char* run : {"one", "two"}) {
    const auto files = FilesIn(scratch_.path() / run);
    ASSERT_EQ(files.size(), 1u) << run;
    const auto lines = SplitCrLf(ReadFile(files[0]));
    ASSERT_EQ(lines.size(), 1u) << run;
    EXPECT_EQ(lines[0].substr(20),
              std::string("INFO: ") + (run[0] == 'o' ? "first" : "second") + " run");
  }
}

TEST_F(LogBrokerFiles, LevelChannelFiltersForwardedMessages) {
  LogChannel channel;
  LogChannelWriter writer(channel);
  RecordingLogger logger("TestLogger", channel);
  ASSERT_TRUE(logger.Open(scratch_.str(), 0));
  KAVRO::ChannelWriter<int> level(logger.LevelChannel());
  ASSERT_TRUE(level.Put(kLogWarning, 30000));
  ASSERT_TRUE(logger.WaitForLines(1));
  for (int32_t l : {kLogError, kLogWarning, kLogInfo, kLogDebug, 4, kLogError}) {
    ASSERT_TRUE(writer.Put({l, "level " + std::to_string(l)}, 30000));
  }
  ASSERT_TRUE(logger.WaitForLines(4));
  const auto lines = logger.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].level, kLogInfo);
  EXPECT_EQ(lines[0].text, "Log Level Changed: 1");
  EXPECT_EQ(lines[1].text, "level 0");
  EXPECT_EQ(lines[2].text, "level 1");
  EXPECT_EQ(lines[3].text, "level 0");
}

TEST(LogBrokerBase, WritesToStandardErrorWithoutADerivedWriter) {
  LogChannel channel;
  LogChannelWriter writer(channel);
  ::testing::internal::CaptureStderr();
  {
    LogBroker broker("Plain", channel);
    ASSERT_TRUE(broker.Open("/unused", 0));
    ASSERT_TRUE(writer.Put({kLogWarning, "careful"}, 30000));
    ASSERT_TRUE(channel.WaitUntilEmpty(30000));
  }  // the drain writes the message if the loop had not yet
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "LOG-1:   careful\n");
}

}  // namespace
}  // namespace Nauvik
