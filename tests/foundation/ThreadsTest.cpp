// Threads, their waits and the channels between them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Channel.h"
#include "foundation/SimpleThread.h"
#include "foundation/Syncronize.h"
#include "foundation/ThreadId.h"
#include "tests/TestSupport.h"

namespace KAVRO {
namespace {

using mstest::FunctionThread;
using namespace std::chrono_literals;

// A condition stays set, an event releases one wait; MultiWait takes the lowest index first
// and hears each of several producers every time. Channels time out both ways.
TEST(Syncronize, ConditionEventMultiWaitAndChannels) {
  Condition c;
  Event e;
  MultiWait mw;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mw.Wait(30), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(mw.Add(&c), 0u);
  EXPECT_EQ(mw.Add(&e), 1u);
  EXPECT_FALSE(c.Wait(10));
  e.Signal();
  e.Signal();  // signals do not count
  EXPECT_EQ(mw.Wait(-1), &e);
  EXPECT_EQ(mw.Wait(0), nullptr);
  c.Signal();
  e.Signal();
  EXPECT_EQ(mw.WaitIndex(0), 0);
  EXPECT_EQ(mw.WaitIndex(0), 0);
  EXPECT_TRUE(c.Wait(-1));
  c.UnSignal();
  EXPECT_EQ(mw.Wait(0), &e);
  EXPECT_TRUE(mw.Remove(&c));
  EXPECT_FALSE(mw.Remove(&c));
  c.Signal();
  EXPECT_EQ(mw.Wait(0), nullptr);

  // Each producer signals its event and waits for its acknowledgement.
  constexpr int kProducers = 4, kRounds = 300;
  std::vector<Event> ready(kProducers), ack(kProducers);
  MultiWait served;
  std::vector<std::thread> producers;
  for (int i = 0; i < kProducers; ++i) {
    served.Add(&ready[i]);
    producers.emplace_back([&, i] {
      for (int k = 0; k < kRounds; ++k) {
        ready[i].Signal();
        ASSERT_TRUE(ack[i].Wait(-1));
      }
    });
  }
  std::vector<int> heard(kProducers, 0);
  for (int n = 0; n < kProducers * kRounds; ++n) {
    const int index = served.WaitIndex(-1);
    ASSERT_GE(index, 0);
    ++heard[index];
    ack[index].Signal();
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(heard, std::vector<int>(kProducers, kRounds));
  EXPECT_EQ(served.Wait(0), nullptr);

  // Channels: a live log client holds one line at a time, however long the line.
  EXPECT_EQ(Channel<ByteVector>().GetHolder()->Capacity(), 1u);
  Channel<int> channel(2);
  ChannelWriter<int> writer(channel);
  ChannelReader<int> reader(channel);
  int v = -1;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.GetResult(&v, 20).code, ChannelDefs::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(writer.PutResult(1, 0).code, ChannelDefs::kDone);
  EXPECT_TRUE(writer.Put(2, 0));
  EXPECT_EQ(writer.PutResult(3, 0).code, ChannelDefs::kTimedOut);
  EXPECT_EQ(writer.PutResult(3, 15).code, ChannelDefs::kTimedOut);
  EXPECT_EQ(channel.Count(), 2u);
  ASSERT_TRUE(reader.Get(&v, 0));
  EXPECT_EQ(v, 1);

  // A put into the full channel waits until the reader takes a value.
  ASSERT_TRUE(writer.Put(3, 0));
  Event put_done;
  std::thread fourth([&] {
    EXPECT_TRUE(writer.Put(4, -1));
    put_done.Signal();
  });
  EXPECT_FALSE(put_done.Wait(20));
  for (int want : {2, 3, 4}) {
    ASSERT_TRUE(reader.Get(&v, -1));
    EXPECT_EQ(v, want);
  }
  fourth.join();
  EXPECT_TRUE(channel.Empty());
}

// The thread id is the kernel's: the main thread's is the process id.
TEST(SimpleThread, StartStopRestartThreadIdsAndExceptions) {
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(getpid()));
  std::atomic<uint32_t> seen_id{0};
  FunctionThread t([&](FunctionThread* self) {
    seen_id = CurrentThreadId();
    self->StopRequest().Wait(-1);
  });
  EXPECT_TRUE(t.Wait(0));  // never started: stopped
  EXPECT_EQ(t.GetThreadId(), -1);
  ASSERT_TRUE(t.Start());
  EXPECT_FALSE(t.Wait(0));
  const int32_t id = t.GetThreadId();
  EXPECT_GT(id, 0);
  ASSERT_TRUE(t.Start());  // running already: no second thread
  EXPECT_EQ(t.GetThreadId(), id);
  t.Stop(-1);
  EXPECT_TRUE(t.Wait(0));
  EXPECT_EQ(seen_id.load(), static_cast<uint32_t>(id));

  // A second run starts with a fresh stop request; a timed stop waits for it.
  ASSERT_TRUE(t.Start());
  EXPECT_FALSE(t.StopRequest().Wait(0));
  t.Stop(60000);
  EXPECT_TRUE(t.Wait(0));
  EXPECT_FALSE(t.IsRunning());

  // A thread deaf to its stop request is cancelled at the timeout and can run again. Its
  // unwind may use the thread object, which may go once Stop returns: Stop waits for it.
  Condition never;
  std::atomic<bool> unwound{false};
  FunctionThread stubborn(
      [&](FunctionThread*) {
        try {
          never.Wait(-1);
        } catch (...) {
          unwound = true;
          throw;
        }
      },
      "Stubborn");
  for (int round = 0; round < 20; ++round) {
    unwound = false;
    ASSERT_TRUE(stubborn.Start());
    stubborn.Stop(0);
    ASSERT_TRUE(unwound) << "round " << round;
    EXPECT_FALSE(stubborn.IsRunning());
    ASSERT_TRUE(stubborn.Wait(-1));  // the unwind set the stopped event
  }

  // An exception ends the thread with a report.
  const struct {
    std::function<void(FunctionThread*)> work;
    const char *name, *printed, *error_text;
  } cases[] = {
      {[](FunctionThread*) { throw std::runtime_error("disk on fire"); }, "Burner",
       "exception killed thread: Burner: disk on fire\n", "disk on fire"},
      {[](FunctionThread*) { throw 42; }, "Odd", "Unknown Exception killed thread: Odd\n",
       "Unknown exception"},
      {nullptr, "Plain", "Internal Error: SimpleThread::Run is called directly by thread: Plain\n",
       ""},
  };
  for (const auto& c : cases) {
    FunctionThread thrower(c.work, c.name);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(thrower.Start());
    ASSERT_TRUE(thrower.Wait(-1));
    thrower.Stop(-1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(thrower.GetErrorText(), c.error_text);
    EXPECT_FALSE(thrower.IsRunning());
  }
}

}  // namespace
}  // namespace KAVRO
