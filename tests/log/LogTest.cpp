// The process-wide log function: level filter, thread id prefix, console
// mode, the bounded channel and the wait for an empty channel.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogChannel.h"
#include "tests/log/LogTestSupport.h"

namespace Nauvik {
namespace {

using testing::DrainGlobalChannel;
using testing::FunctionThread;

class LogFunction : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainGlobalChannel();
    SetLogLevel(kLogInfo);
  }
  void TearDown() override {
    SetConsoleMode(false);
    SetLogLevel(kLogInfo);
    DrainGlobalChannel();
  }
  std::vector<ChLog::CHLogMessage> Take() {
    std::vector<ChLog::CHLogMessage> taken;
    ChLog::CHLogMessage message;
    while (reader_.Get(&message, 0)) taken.push_back(message);
    return taken;
  }
  LogChannelReader reader_{GlobalLogChannel()};
};

TEST_F(LogFunction, CheckedMessagesAboveTheGlobalLevelAreDropped) {
  const struct {
    int32_t level;
    bool check;
    bool kept;
  } cases[] = {
      {kLogError, true, true},  {kLogInfo, true, true},    {4, true, false},
      {kLogDebug, true, false}, {kLogDebug4, true, false}, {kLogDebug, false, true},
      {-1, true, true},  // negative levels are never filtered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + (c.check ? " checked" : " unchecked"));
    Log(c.level, c.check, "text");
    const auto taken = Take();
    ASSERT_EQ(taken.size(), c.kept ? 1u : 0u);
    if (c.kept) {
      EXPECT_EQ(taken[0].level, c.level);
    }
  }
}

TEST_F(LogFunction, GlobalLevelDecidesAndIsSeenByLogLevelAtLeast) {
  SetLogLevel(kLogDebug4);
  EXPECT_TRUE(LogLevelAtLeast(kLogDebug4));
  Log(kLogDebug4, true, "deep");
  EXPECT_EQ(Take().size(), 1u);
  SetLogLevel(kLogError);
  EXPECT_EQ(GetLogLevel(), kLogError);
  EXPECT_FALSE(LogLevelAtLeast(kLogWarning));
  Log(kLogWarning, true, "dropped");
  EXPECT_TRUE(Take().empty());
}

TEST_F(LogFunction, TextIsPrefixedWithTheCallingThreadsKernelId) {
  KAVRO::Condition go;
  FunctionThread thread([&go] {
    go.Wait(30000);
    Log(kLogError, true, "from a worker");
    Log(-3, true, "raw text");
  });
  ASSERT_TRUE(thread.Start());
  const int32_t id = thread.GetThreadId();  // valid while the thread waits
  ASSERT_GT(id, 0);
  go.Signal();
  ASSERT_TRUE(thread.Wait(30000));
  const auto taken = Take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].text, std::to_string(id) + ": from a worker");
  EXPECT_EQ(taken[0].level, kLogError);
  EXPECT_EQ(taken[1].text, "raw text");
  EXPECT_EQ(taken[1].level, -3);

  // Two threads never share an id prefix.
  Log(kLogError, true, "main");
  const auto main_taken = Take();
  ASSERT_EQ(main_taken.size(), 1u);
  EXPECT_NE(main_taken[0].text.substr(0, main_taken[0].text.find(':')),
            taken[0].text.substr(0, taken[0].text.find(':')));
}

TEST_F(LogFunction, ConsoleModeWritesToStandardOutputInstead) {
  SetConsoleMode(true);
  ::testing::internal::CaptureStdout();
  Log(kLogInfo, true, "to the console");
  Log(kLogDebug, true, "filtered first");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "to the console\r\n");
  EXPECT_TRUE(LogChannelEmpty());
}

TEST_F(LogFunction, FullChannelDropsTheNewMessageAfterShortWait) {
  for (int i = 0; i < 100; ++i) Log(kLogInfo, true, "m" + std::to_string(i));
  EXPECT_EQ(GlobalLogChannel().Count(), 100u);
  Log(kLogInfo, true, "one too many");  // returns after its 5 ms wait
  const auto taken = Take();
  ASSERT_EQ(taken.size(), 100u);
  for (size_t i = 0; i < taken.size(); ++i) {
    EXPECT_NE(taken[i].text.find(": m" + std::to_string(i)), std::string::npos) << i;
  }
}

// A thread terminated by force while Log waits for room must unwind, not
// have its cancellation swallowed (which would abort the process).
TEST_F(LogFunction, ThreadTerminatedWhileWaitingForRoomUnwinds) {
  for (int i = 0; i < 100; ++i) Log(kLogInfo, true, "filler");
  std::atomic<int> calls{0};
  {
    FunctionThread thread([&calls] {
      for (;;) {
        Log(kLogInfo, true, "no room");
        ++calls;
      }
    });
    ASSERT_TRUE(thread.Start());
    while (calls.load() < 3) std::this_thread::yield();
    thread.Stop(0);
  }
  EXPECT_EQ(GlobalLogChannel().Count(), 100u);
}

TEST_F(LogFunction, WaitForEmptyChannelWakesWhenTheReaderTakesTheLast) {
  for (int i = 0; i < 50; ++i) Log(kLogInfo, true, "queued");
  EXPECT_FALSE(LogChannelEmpty());
  EXPECT_FALSE(WaitForLogChannelEmpty(0));
  std::thread reader([this] {
    ChLog::CHLogMessage message;
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(reader_.Get(&message, 30000));
  });
  EXPECT_TRUE(WaitForLogChannelEmpty(-1));
  EXPECT_TRUE(LogChannelEmpty());
  reader.join();
}

TEST(LogLevelName, NamesAndNumbers) {
  const struct {
    int32_t level;
    const char* name;
  } cases[] = {{0, "ERROR"},  {1, "WARNING"}, {2, "STATUS"}, {3, "INFO"},
               {4, "4"},      {5, "DEBUG"},   {6, "DEBUG2"}, {7, "DEBUG3"},
               {8, "DEBUG4"}, {9, "9"},       {-1, "-1"},    {1000, "1000"}};
  for (const auto& c : cases) EXPECT_EQ(LogLevelName(c.level), c.name) << c.level;
}

}  // namespace
}  // namespace Nauvik
