#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/Channel.h"
#include "foundation/SimpleThread.h"
#include "tests/TestSupport.h"

namespace KAVRO {
namespace {


TEST(Channel, CapacityTimeoutsAndWaits) {
  EXPECT_EQ(Channel<int>().GetHolder()->Capacity(), 5u);
  EXPECT_EQ(Channel<ByteVector>().GetHolder()->Capacity(), 1u);
  EXPECT_EQ((Channel<std::pair<SocketRedirector*, ByteVector>>().GetHolder()->Capacity()), 5u);

  Channel<int> channel(2);
  ChannelWriter<int> writer(channel);
  ChannelReader<int> reader(channel);
  int v = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reader.GetResult(&v, 20).code, ChannelDefs::kTimedOut);
  EXPECT_GE(mstest::MillisecondsSince(start), 20);
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

// Several writers and readers: every value arrives once, and each reader
// sees each writer's values in the order they were put.
TEST(Channel, ManyWritersManyReadersKeepOrderAndLoseNothing) {
  constexpr int kWriters = 4, kReaders = 3, kPerWriter = 3000;
  Channel<int> channel(5);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      ChannelWriter<int> writer(channel);
      for (int i = 0; i < kPerWriter; ++i) ASSERT_TRUE(writer.Put(w * kPerWriter + i, -1));
    });
  }
  std::vector<std::vector<int>> got(kReaders);
  std::atomic<int> remaining{kWriters * kPerWriter};
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      ChannelReader<int> reader(channel);
      while (remaining.fetch_sub(1) > 0) {
        int v;
        ASSERT_TRUE(reader.Get(&v, -1));
        got[r].push_back(v);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<int> seen(kWriters * kPerWriter, 0);
  for (const auto& values : got) {
    std::vector<int> last(kWriters, -1);
    for (int v : values) {
      ++seen[v];
      EXPECT_GT(v, last[v / kPerWriter]);
      last[v / kPerWriter] = v;
    }
  }
  EXPECT_EQ(seen, std::vector<int>(kWriters * kPerWriter, 1));
}

TEST(Alternative, PutGuardAndAThreadAsWaitable) {
  Channel<int> out(1);
  ChannelWriter<int> writer(out);
  ChannelReader<int> reader(out);
  class Quick : public SimpleThread {
   public:
    ~Quick() override { Stop(-1); }
    void Run() override { StopRequest().Wait(-1); }
  } quick;
  ASSERT_TRUE(quick.Start());
  const int value = 5;
  Alternative alt;
  alt.AddPut(1, writer, &value);
  alt.AddWaitable(2, &quick);  // selected when the thread ends
  EXPECT_EQ(alt.Select(0), 1);
  EXPECT_EQ(alt.Select(0), -1);  // full now, and the thread runs
  quick.RequestStop();
  EXPECT_EQ(alt.Select(-1), 2);
  int got = 0;
  ASSERT_TRUE(reader.Get(&got, 0));
  EXPECT_EQ(got, 5);
}

}  // namespace
}  // namespace KAVRO
