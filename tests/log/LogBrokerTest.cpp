// The log broker with real files: daily names from UTC, the line format,
// concurrent writers, a full channel, the drain on stop, an unwritable
// directory and the broker level channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tests/log/LogTestSupport.h"

namespace Nauvik {
namespace {

using testing::FileLines;
using testing::FilesIn;
using testing::RecordingLogger;
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// The stamp "YYYYMMDD,HHMMSS.mmm" and the daily file name of a UTC time,
// computed apart from the library's own time formatting.
struct UtcText {
  std::string stamp;
  std::string daily;
};
UtcText UtcTextOf(Clock::time_point tp) {
  const std::time_t seconds = Clock::to_time_t(tp);
  const std::tm utc = *std::gmtime(&seconds);  // %b: English month names in the C locale
  char stamp[32];
  char daily[64];
  std::strftime(stamp, sizeof stamp, "%Y%m%d,%H%M%S", &utc);
  std::strftime(daily, sizeof daily, "MailStorage_%Y_%b_%d.log", &utc);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch());
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms.count() % 1000));
  return {stamp + std::string(millis), daily};
}

// Logs "writer <w> line <n>" from four threads, 100 messages in all: as many
// as the channel holds.
void LogRound(int round) {
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([=] {
      for (int i = 0; i < 25; ++i) {
        Log(kLogInfo, true,
            "writer " + std::to_string(w) + " line " + std::to_string(round * 25 + i));
      }
    });
  }
  for (auto& t : threads) t.join();
}

// Per writer, the numbers of its lines in file order. Any line that is not a
// whole "<stamp> INFO: <thread id>: writer <w> line <n>" fails the test.
std::map<int, std::vector<int>> WriterSequences(const fs::path& file) {
  static const std::regex kLine(R"(\d{8},\d{6}\.\d{3} INFO: \d+: writer (\d+) line (\d+))");
  std::map<int, std::vector<int>> sequences;
  for (const std::string& line : FileLines(file)) {
    std::smatch m;
    if (std::regex_match(line, m, kLine)) {
      sequences[std::stoi(m[1])].push_back(std::stoi(m[2]));
    } else {
      ADD_FAILURE() << "torn or foreign line: " << line;
    }
  }
  return sequences;
}

std::vector<int> ZeroTo(int n) {
  std::vector<int> numbers(static_cast<size_t>(n));
  std::iota(numbers.begin(), numbers.end(), 0);
  return numbers;
}

class LogBrokerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::DrainGlobalChannel();
    SetLogLevel(kLogInfo);
  }
  void TearDown() override { testing::DrainGlobalChannel(); }
  testing::ScratchDir scratch_;
  LogChannel channel_{2000};
  LogChannelWriter writer_{channel_};
};

// The entry point's flow: a logger on the global channel, Log, a wait for the
// channel to empty, the logger's end.
TEST_F(LogBrokerFiles, DailyFileNamedFromUtcWithStampedLines) {
  const std::string dir = scratch_.str() + "/nested/LogDir";  // missing levels
  const UtcText before = UtcTextOf(Clock::now());
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
  const UtcText after = UtcTextOf(Clock::now());
  const std::vector<fs::path> files = FilesIn(dir);
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0].filename().string();
  EXPECT_TRUE(name == before.daily || name == after.daily) << name;

  const auto lines = FileLines(files[0]);
  ASSERT_EQ(lines.size(), 3u);
  const char* const expected[][2] = {{"STATUS", "AddMailToMailStore(): Adding file a.eml"},
                                     {"ERROR", "AddMailToMailStore(): Error when adding file: x"},
                                     {"4", "level four"}};
  static const std::regex kLine(R"((\d{8},\d{6}\.\d{3}) (\w+): \d+: (.*))");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
    EXPECT_GE(m[1].str(), before.stamp);
    EXPECT_LE(m[1].str(), after.stamp);
    EXPECT_EQ(m[2], expected[i][0]);
    EXPECT_EQ(m[3], expected[i][1]);
  }
}

// One broker keeps every writer's lines in order. Concurrent insertions each
// run their own broker on the one global channel: both append to the same
// daily file, and no line may be torn, lost or written twice.
TEST_F(LogBrokerFiles, ConcurrentWritersWithOneAndTwoBrokers) {
  for (int brokers : {1, 2}) {
    SCOPED_TRACE(brokers);
    const fs::path dir = scratch_.path / std::to_string(brokers);
    {
      std::vector<std::unique_ptr<RecordingLogger>> loggers;
      for (int b = 0; b < brokers; ++b) {
        loggers.push_back(std::make_unique<RecordingLogger>("TestLogger", GlobalLogChannel()));
        ASSERT_TRUE(loggers.back()->Open(dir.string(), 0));
      }
      for (int round = 0; round < 10; ++round) {
        LogRound(round);
        ASSERT_TRUE(WaitForLogChannelEmpty(30000));
      }
    }  // stopped: every taken message is written
    auto sequences = WriterSequences(FilesIn(dir).at(0));
    ASSERT_EQ(sequences.size(), 4u);
    for (auto& [writer, numbers] : sequences) {
      if (brokers == 2) std::sort(numbers.begin(), numbers.end());
      EXPECT_EQ(numbers, ZeroTo(250)) << "writer " << writer;
    }
  }
}

// While the broker is held, the writers fill the channel to its last slot;
// released, it writes every message.
TEST_F(LogBrokerFiles, ChannelFullForAMomentLosesNothing) {
  {
    RecordingLogger logger("TestLogger", GlobalLogChannel());
    logger.CloseGate();
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    Log(kLogInfo, true, "writer 9 line 0");
    ASSERT_TRUE(logger.WaitUntilHeld());  // that message is out of the channel
    LogRound(0);
    EXPECT_EQ(GlobalLogChannel().Count(), 100u);
    logger.OpenGate();
    ASSERT_TRUE(logger.WaitForLines(101));
  }
  auto sequences = WriterSequences(FilesIn(scratch_.path).at(0));
  EXPECT_EQ(sequences[9], ZeroTo(1));
  for (int w = 0; w < 4; ++w) EXPECT_EQ(sequences[w], ZeroTo(25)) << w;
}

// A stop request with messages queued: the broker writes what it holds and
// then at most 1,000 more, and leaves the rest in the channel.
TEST_F(LogBrokerFiles, StopDrainsUpToOneThousandQueuedMessages) {
  {
    RecordingLogger logger("TestLogger", channel_);
    logger.CloseGate();
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    ASSERT_TRUE(writer_.Put({kLogInfo, "first"}, 0));
    ASSERT_TRUE(logger.WaitUntilHeld());
    for (int i = 0; i < 1500; ++i) ASSERT_TRUE(writer_.Put({kLogInfo, std::to_string(i)}, 0));
    logger.RequestStop();
    logger.OpenGate();
    ASSERT_TRUE(logger.Wait(60000));  // the thread ends by itself
    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[0].text, "first");
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(lines[size_t(i) + 1].text, std::to_string(i));
  }
  EXPECT_EQ(channel_.Count(), 500u);
  EXPECT_EQ(FileLines(FilesIn(scratch_.path).at(0)).size(), 1001u);
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
  size_t count = 0;
  for (const auto& [writer, numbers] : WriterSequences(FilesIn(scratch_.path).at(0))) {
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()),
              numbers.end())
        << "writer " << writer << " out of order";
    count += numbers.size();
  }
  EXPECT_GE(count, 300u);
}

// Tests run as root, where file modes do not stop writes; a directory whose
// parent is a regular file cannot be created by anyone.
TEST_F(LogBrokerFiles, UnwritableDirectoryReportsEachLineAndKeepsRunning) {
  const std::string blocker = scratch_.str() + "/not-a-directory";
  std::ofstream(blocker) << "x";
  const std::string dir = blocker + "/LogDir";
  const std::string report = "Exception in MailStorageInsertLogger logger: Cannot open for "
                             "writing file: " + dir + "\\" + UtcTextOf(Clock::now()).daily;
  ::testing::internal::CaptureStdout();
  {
    RecordingLogger logger("MailStorageInsertLogger", channel_);
    ASSERT_TRUE(logger.Open(dir, 0));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(writer_.Put({kLogError, "lost"}, 30000));
    ASSERT_TRUE(logger.WaitForLines(3));
    EXPECT_TRUE(logger.IsRunning());
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  // (A day change during the test would change the name; the risk is accepted.)
  EXPECT_EQ(out, report + "\r\n" + report + "\r\n" + report + "\r\n");
  EXPECT_TRUE(fs::is_regular_file(blocker));
}

// With a pattern down to the millisecond, a line goes to the file named from
// the same instant as its stamp: the mechanism that moves the daily file on
// at midnight UTC.
TEST_F(LogBrokerFiles, EachLineGoesToTheFileOfItsOwnTime) {
  {
    RecordingLogger logger("TestLogger", channel_, "t_$YEAR$MONTH$DAY_$HOUR$MIN$SEC$MSEC.log");
    ASSERT_TRUE(logger.Open(scratch_.str(), 0));
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(writer_.Put({kLogInfo, std::to_string(i)}, 30000));
    ASSERT_TRUE(logger.WaitForLines(2000));
  }
  const auto files = FilesIn(scratch_.path);
  EXPECT_GE(files.size(), 2u);
  int total = 0;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();  // t_YYYYMMDD_HHMMSSmmm.log
    ASSERT_EQ(name.size(), 24u) << name;
    const std::string want = name.substr(2, 8) + "," + name.substr(11, 6) + "." + name.substr(17, 3);
    for (const std::string& line : FileLines(file)) {
      EXPECT_EQ(line.substr(0, 19), want) << name;
      ++total;
    }
  }
  EXPECT_EQ(total, 2000);
}

TEST_F(LogBrokerFiles, LevelChannelFiltersForwardedMessages) {
  RecordingLogger logger("TestLogger", channel_);
  ASSERT_TRUE(logger.Open(scratch_.str(), 0));
  KAVRO::ChannelWriter<int> level(logger.LevelChannel());
  ASSERT_TRUE(level.Put(kLogWarning, 30000));
  ASSERT_TRUE(logger.WaitForLines(1));
  for (int32_t l : {kLogError, kLogWarning, kLogInfo, kLogDebug, 4, kLogError}) {
    ASSERT_TRUE(writer_.Put({l, "level " + std::to_string(l)}, 30000));
  }
  ASSERT_TRUE(logger.WaitForLines(4));
  const auto lines = logger.Lines();
  EXPECT_EQ(lines.at(0).level, kLogInfo);
  std::vector<std::string> texts;
  for (const auto& line : lines) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Log Level Changed: 1", "level 0", "level 1",
                                             "level 0"}));
}

}  // namespace
}  // namespace Nauvik
