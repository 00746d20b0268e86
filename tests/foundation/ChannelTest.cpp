#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "foundation/Channel.h"
#include "foundation/SimpleThread.h"
#include "tests/TestSupport.h"

namespace KAVRO {
namespace {

TEST(Channel, CapacityTimeoutsAndWaits) {
  // A live log client holds one line at a time, however long the line.
  EXPECT_EQ(Channel<ByteVector>().GetHolder()->Capacity(), 1u);
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
