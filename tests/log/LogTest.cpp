// The process-wide log function: level filter, thread id prefix,
// the bounded channel and the wait for an empty channel.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogChannel.h"
#include "tests/TestSupport.h"

namespace Nauvik {
namespace {

using mstest::FunctionThread;

class LogFunction : public ::testing::Test {
 protected:
  void SetUp() override { SetLogLevel(kLogInfo); }
  void TearDown() override { Take(); }
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
    int32_t global;
    int32_t level;
    bool check;
    bool kept;
  } cases[] = {
      {kLogInfo, kLogError, true, true},   {kLogInfo, kLogInfo, true, true},
      {kLogInfo, 4, true, false},          {kLogInfo, kLogDebug4, true, false},
      {kLogInfo, kLogDebug, false, true},  {kLogInfo, -1, true, true},  // never filtered
      {kLogDebug4, kLogDebug4, true, true}, {kLogError, kLogWarning, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.global << " " << c.level << " " << c.check);
    SetLogLevel(c.global);
    EXPECT_TRUE(!c.check || LogLevelAtLeast(c.level) == c.kept);
    Log(c.level, c.check, "text");
    const auto taken = Take();
    ASSERT_EQ(taken.size(), c.kept ? 1u : 0u);
    for (const auto& message : taken) EXPECT_EQ(message.level, c.level);
  }
}

TEST_F(LogFunction, TextIsPrefixedWithTheCallingThreadsKernelId) {
  KAVRO::Condition go;
  FunctionThread thread([&go](FunctionThread*) {
    go.Wait(30000);
    Log(kLogError, true, "from a worker");
    Log(-3, true, "raw text");
  });
  ASSERT_TRUE(thread.Start());
  const int32_t id = thread.GetThreadId();  // valid while the thread waits
  go.Signal();
  ASSERT_TRUE(thread.Wait(30000));
  Log(kLogError, true, "main");
  const auto taken = Take();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].text, std::to_string(id) + ": from a worker");
  EXPECT_EQ(taken[1].text, "raw text");  // negative levels carry no prefix
  EXPECT_EQ(taken[1].level, -3);
  EXPECT_TRUE(taken[2].text.ends_with(": main") && taken[2].text != std::to_string(id) + ": main")
      << taken[2].text;  // each thread its own id
}

// A full channel drops the new message after a short wait. A thread terminated
// by force while Log waits for room must unwind, not have its cancellation
// swallowed (which would abort the process).
TEST_F(LogFunction, FullChannelDropsTheNewMessageAndTerminatedWaitersUnwind) {
  for (int i = 0; i < 100; ++i) Log(kLogInfo, true, "m" + std::to_string(i));
  std::atomic<int> calls{0};
  {
    FunctionThread thread([&calls](FunctionThread*) {
      for (;; ++calls) Log(kLogInfo, true, "no room");  // returns after its 5 ms wait
    });
    ASSERT_TRUE(thread.Start());
    while (calls.load() < 3) std::this_thread::yield();
    thread.Stop(0);
  }
  const auto taken = Take();
  ASSERT_EQ(taken.size(), 100u);
  for (size_t i = 0; i < taken.size(); ++i) {
    EXPECT_NE(taken[i].text.find(": m" + std::to_string(i)), std::string::npos) << i;
  }
}

TEST_F(LogFunction, WaitForEmptyChannelWakesWhenTheReaderTakesTheLast) {
  for (int i = 0; i < 50; ++i) Log(kLogInfo, true, "queued");
  EXPECT_FALSE(WaitForLogChannelEmpty(0));
  std::thread reader([this] {
    ChLog::CHLogMessage message;
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(reader_.Get(&message, 30000));
  });
  EXPECT_TRUE(WaitForLogChannelEmpty(-1));
  EXPECT_TRUE(LogChannelEmpty());
  reader.join();
}

}  // namespace
}  // namespace Nauvik
