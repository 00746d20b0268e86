#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SimpleThread.h"
#include "foundation/Syncronize.h"
#include "foundation/ThreadId.h"

namespace KAVRO {
namespace {

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST(Syncronize, ConditionStaysSetEventReleasesOneWait) {
  Condition c;
  EXPECT_FALSE(c.Wait(0));
  c.Signal();
  EXPECT_TRUE(c.Wait(0));
  EXPECT_TRUE(c.Wait(-1));
  c.UnSignal();
  EXPECT_FALSE(c.Wait(0));

  Event e;
  EXPECT_FALSE(e.Wait(0));
  e.Signal();
  e.Signal();  // signals do not count
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
}

TEST(Syncronize, TimedWaitWaitsAtLeastTheTimeout) {
  Condition never;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(never.Wait(30));
  EXPECT_GE(MillisecondsSince(start), 30);
}

// Two threads hand one token back and forth: a lost wakeup hangs the test.
TEST(Syncronize, EventPingPongLosesNoWakeup) {
  Event ping, pong;
  constexpr int kRounds = 2000;
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_TRUE(ping.Wait(-1));
      pong.Signal();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Signal();
    ASSERT_TRUE(pong.Wait(-1));
  }
  other.join();
}

TEST(MultiWait, EmptyAndTimeout) {
  MultiWait none;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(none.Wait(0), nullptr);
  EXPECT_EQ(none.Wait(20), nullptr);
  EXPECT_GE(MillisecondsSince(start), 20);

  Condition a;
  Event b;
  MultiWait mw;
  EXPECT_EQ(mw.Add(&a), 0u);
  EXPECT_EQ(mw.Add(&b), 1u);
  EXPECT_EQ(mw.Wait(10), nullptr);
  b.Signal();
  EXPECT_EQ(mw.Wait(-1), &b);
  EXPECT_EQ(mw.Wait(0), nullptr);  // the event's signal was taken
  a.Signal();
  b.Signal();
  EXPECT_EQ(mw.WaitIndex(0), 0);  // lowest index first; the condition stays set
  EXPECT_EQ(mw.WaitIndex(0), 0);
  EXPECT_TRUE(mw.Remove(&a));
  EXPECT_FALSE(mw.Remove(&a));
  EXPECT_EQ(mw.Wait(0), &b);
}

// Several producers signal their own event and wait for an acknowledgement;
// one consumer serves them all through one MultiWait.
TEST(MultiWait, SeveralProducersEachHeardEveryTime) {
  constexpr int kProducers = 4;
  constexpr int kRounds = 300;
  std::vector<std::unique_ptr<Event>> ready, ack;
  MultiWait mw;
  for (int i = 0; i < kProducers; ++i) {
    ready.push_back(std::make_unique<Event>());
    ack.push_back(std::make_unique<Event>());
    mw.Add(ready.back().get());
  }
  std::vector<std::thread> producers;
  for (int i = 0; i < kProducers; ++i) {
    producers.emplace_back([&, i] {
      for (int k = 0; k < kRounds; ++k) {
        ready[i]->Signal();
        ASSERT_TRUE(ack[i]->Wait(-1));
      }
    });
  }
  std::vector<int> heard(kProducers, 0);
  for (int n = 0; n < kProducers * kRounds; ++n) {
    const int index = mw.WaitIndex(-1);
    ASSERT_GE(index, 0);
    ++heard[index];
    ack[index]->Signal();
  }
  for (auto& t : producers) t.join();
  for (int i = 0; i < kProducers; ++i) EXPECT_EQ(heard[i], kRounds) << i;
  EXPECT_EQ(mw.Wait(0), nullptr);
}

// A thread whose work is a function; stops its thread before its members go.
class FunctionThread : public SimpleThread {
 public:
  explicit FunctionThread(std::function<void(FunctionThread*)> work, const char* name = "Worker")
      : work_(std::move(work)) {
    SetName(name);
  }
  ~FunctionThread() override { Stop(-1); }
  using SimpleThread::SetName;

 protected:
  void Run() override { work_(this); }

 private:
  std::function<void(FunctionThread*)> work_;
};

void WaitForStop(FunctionThread* self) { self->StopRequest().Wait(-1); }

TEST(SimpleThread, NeverStartedIsStopped) {
  FunctionThread t(WaitForStop);
  EXPECT_TRUE(t.Wait(0));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.GetThreadId(), -1);
  t.Stop(0);  // nothing to stop
  EXPECT_FALSE(t.IsRunning());
}

TEST(SimpleThread, StartStopRestart) {
  std::atomic<int32_t> seen_id{0};
  FunctionThread t([&](FunctionThread* self) {
    seen_id = static_cast<int32_t>(gettid());
    self->StopRequest().Wait(-1);
  });
  ASSERT_TRUE(t.Start());
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.Wait(0));
  const int32_t id = t.GetThreadId();
  EXPECT_GT(id, 0);
  EXPECT_NE(id, static_cast<int32_t>(gettid()));
  ASSERT_TRUE(t.Start());  // running already: no second thread
  EXPECT_EQ(t.GetThreadId(), id);
  t.Stop(-1);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_TRUE(t.Wait(0));
  EXPECT_EQ(seen_id.load(), id);
  EXPECT_EQ(t.GetErrorText(), "");

  // A second run starts with a fresh stop request.
  ASSERT_TRUE(t.Start());
  EXPECT_FALSE(t.StopRequest().Wait(0));
  EXPECT_TRUE(t.IsRunning());
  t.Stop(5000);
  EXPECT_FALSE(t.IsRunning());
}

// The id is the kernel's: the main thread's equals the process id, another
// thread's is what SimpleThread reports for it, and a thread keeps its own.
TEST(CurrentThreadId, IsTheKernelIdOfTheCaller) {
  const uint32_t main_id = CurrentThreadId();
  EXPECT_EQ(main_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(main_id, static_cast<uint32_t>(gettid()));

  std::atomic<uint32_t> first{0};
  std::atomic<uint32_t> second{0};
  FunctionThread t([&](FunctionThread*) {
    first = CurrentThreadId();
    second = CurrentThreadId();
  });
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.Wait(-1));
  const int32_t worker_id = t.GetThreadId();
  t.Stop(-1);
  EXPECT_EQ(first.load(), static_cast<uint32_t>(worker_id));
  EXPECT_EQ(second.load(), first.load());
  EXPECT_NE(first.load(), main_id);
  EXPECT_EQ(CurrentThreadId(), main_id);
}

TEST(SimpleThread, CallbacksGetNameAndId) {
  std::vector<std::string> events;
  std::mutex mu;
  FunctionThread t([](FunctionThread*) {}, "Cb");
  t.SetOnStart([&](const std::string& name, int32_t id) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back("start " + name + " " + std::to_string(id == static_cast<int32_t>(gettid())));
  });
  t.SetOnEnd([&](const std::string& name, int32_t) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back("end " + name);
  });
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.Wait(-1));
  t.Stop(-1);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(events, (std::vector<std::string>{"start Cb 1", "end Cb"}));
}

TEST(SimpleThread, ExceptionsEndTheThreadWithAReport) {
  {
    FunctionThread t([](FunctionThread*) { throw std::runtime_error("disk on fire"); }, "Burner");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.Wait(-1));
    t.Stop(-1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "exception killed thread: Burner: disk on fire\n");
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.GetErrorText(), "disk on fire");
  }
  {
    FunctionThread t([](FunctionThread*) { throw std::logic_error("bad"); }, "Cb");
    std::string reported;
    t.SetOnException([&](const std::string& text, const std::string& name, int32_t id) {
      reported = text + "|" + name + "|" + std::to_string(id > 0);
    });
    testing::internal::CaptureStdout();
    ASSERT_TRUE(t.Start());
    t.Stop(-1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(reported, "bad|Cb|1");
  }
  {
    FunctionThread t([](FunctionThread*) { throw 42; }, "Odd");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.Wait(-1));
    t.Stop(-1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown Exception killed thread: Odd\n");
    EXPECT_EQ(t.GetErrorText(), "Unknown exception");
    EXPECT_FALSE(t.IsRunning());
  }
}

TEST(SimpleThread, BaseRunReportsTheMistake) {
  class Plain : public SimpleThread {
   public:
    Plain() { SetName("Plain"); }
  };
  Plain t;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.Wait(-1));
  t.Stop(-1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Internal Error: SimpleThread::Run is called directly by thread: Plain\n");
}

// A thread that ignores its stop request while blocked on something else is
// terminated when the timeout runs out, and still reports its end.
TEST(SimpleThread, StopTerminatesAThreadThatIgnoresTheRequest) {
  Condition never;
  Channel<SimpleThread*> ended;
  ChannelReader<SimpleThread*> ended_reader(ended);
  FunctionThread t([&](FunctionThread*) { never.Wait(-1); }, "Stubborn");
  ASSERT_TRUE(t.StartReporting(ended));
  t.Stop(0);
  EXPECT_FALSE(t.IsRunning());
  ASSERT_TRUE(t.Wait(-1));  // the unwind set the stopped event
  SimpleThread* reported = nullptr;
  ASSERT_TRUE(ended_reader.Get(&reported, -1));
  EXPECT_EQ(reported, &t);
  // It can run again afterwards.
  never.Signal();
  ASSERT_TRUE(t.Start());
  t.Stop(-1);
  EXPECT_FALSE(t.IsRunning());
}

TEST(SimpleThread, StopWithTimeoutWaitsForACooperativeThread) {
  Event in_run;
  FunctionThread t([&](FunctionThread* self) {
    in_run.Signal();
    self->StopRequest().Wait(-1);
  });
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(in_run.Wait(-1));
  t.Stop(60000);
  EXPECT_TRUE(t.Wait(0));
  EXPECT_FALSE(t.IsRunning());
}

TEST(SimpleThread, WakeRousesASleepingRun) {
  std::atomic<int> wakes{0};
  Event counted;
  FunctionThread t([&](FunctionThread* self) {
    MultiWait mw;
    mw.Add(&self->StopRequest());
    mw.Add(&self->WakeEvent());
    while (mw.WaitIndex(-1) == 1) {
      ++wakes;
      counted.Signal();
    }
  });
  ASSERT_TRUE(t.Start());
  for (int i = 0; i < 3; ++i) {
    t.Wake();
    ASSERT_TRUE(counted.Wait(-1));
  }
  t.Stop(-1);
  EXPECT_EQ(wakes.load(), 3);
}

TEST(SimpleThread, EndReportsOfSeveralThreads) {
  Channel<SimpleThread*> ended;
  ChannelReader<SimpleThread*> reader(ended);
  std::vector<std::unique_ptr<FunctionThread>> threads;
  for (int i = 0; i < 6; ++i) {
    threads.push_back(std::make_unique<FunctionThread>([](FunctionThread*) {}));
    ASSERT_TRUE(threads.back()->StartReporting(ended));
  }
  std::set<SimpleThread*> seen;
  for (int i = 0; i < 6; ++i) {
    SimpleThread* t = nullptr;
    ASSERT_TRUE(reader.Get(&t, -1));
    EXPECT_FALSE(t->IsRunning());  // the report comes after the end
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 6u);
}

}  // namespace
}  // namespace KAVRO
