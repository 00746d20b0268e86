// The live log service with real TCP clients on 127.0.0.1: lines to every
// client, the answer to input, client ids with reuse, clean stops with
// clients connected, and a port that is taken.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/Socket.h"
#include "log/LiveLog.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tests/log/LogTestSupport.h"

namespace Nauvik {
namespace {

using testing::RecordingLogger;
using testing::ScratchDir;

// A port nobody listens on right now: probed with a listener of our own that
// is closed again before the port is handed out.
int FreePort() {
  KAVRO::SocketInit init;
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int port = 20000 + static_cast<int>(rd() % 30000);
    KAVRO::Channel<KAVRO::Socket*> connections;
    KAVRO::SocketServerServer probe(connections);
    try {
      if (probe.Listen(port)) {
        probe.Stop(-1);
        return port;
      }
    } catch (const std::exception&) {
    }
  }
  ADD_FAILURE() << "no free port found";
  return 0;
}

// A test's end of a connection, reading whole CR LF lines.
class Client {
 public:
  explicit Client(int port) : socket_(std::make_unique<KAVRO::SocketClient>("127.0.0.1", port)) {}

  void Send(const std::string& text) { ASSERT_TRUE(socket_->SendAll(text.data(), text.size())); }

  // The next line with its CR LF; "" when the connection ends first.
  std::string ReadLine() {
    for (;;) {
      const size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 2);
        return line;
      }
      char chunk[512];
      const long n = socket_->Receive(chunk, sizeof chunk);
      if (n <= 0) return std::string();
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // True when the server closed the connection (after any pending lines).
  bool ReadsEndOfStream() {
    char chunk[512];
    for (;;) {
      const long n = socket_->Receive(chunk, sizeof chunk);
      if (n <= 0) return n == 0;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  void Close() { socket_.reset(); }

 private:
  KAVRO::SocketInit init_;
  std::unique_ptr<KAVRO::SocketClient> socket_;
  std::string buffer_;
};

// Drives a server on the test thread the way the broker loop does.
class LiveLogServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ASSERT_GT(port_, 0);
    ASSERT_EQ(server_.Start(static_cast<uint16_t>(port_)), "");
    server_.AddGuards();
  }

  // Handles fired guards until done() holds.
  void PumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      const int index = alternative_.Select(30000);
      ASSERT_GE(index, 0) << "nothing happened for 30 s";
      ASSERT_TRUE(server_.Handles(index)) << index;
      server_.Handle(index);
    }
  }
  void PumpUntilIds(const std::vector<uint32_t>& ids) {
    PumpUntil([&] { return server_.ClientIds() == ids; });
  }

  int port_ = 0;
  KAVRO::Alternative alternative_;
  LiveLogServer server_{&alternative_};
};

TEST_F(LiveLogServerTest, LinesReachEveryClientAndFreedIdsAreReused) {
  Client a(port_);
  PumpUntilIds({1000});
  Client b(port_);
  PumpUntilIds({1000, 1001});

  server_.Send("\r\n4412: first line\r\n");
  EXPECT_EQ(a.ReadLine(), "4412: first line\r\n");
  EXPECT_EQ(b.ReadLine(), "4412: first line\r\n");

  // Nothing but line ends is not sent at all: the next line is the next one.
  server_.Send("\r\n\r\n");
  server_.Send("4412: second line");
  EXPECT_EQ(a.ReadLine(), "4412: second line\r\n");
  EXPECT_EQ(b.ReadLine(), "4412: second line\r\n");

  a.Close();
  PumpUntilIds({1001});
  Client c(port_);
  PumpUntilIds({1000, 1001});  // the gap is filled first
  Client d(port_);
  PumpUntilIds({1000, 1001, 1002});

  server_.Send("4412: third line");
  EXPECT_EQ(b.ReadLine(), "4412: third line\r\n");
  EXPECT_EQ(c.ReadLine(), "4412: third line\r\n");
  EXPECT_EQ(d.ReadLine(), "4412: third line\r\n");
}

TEST_F(LiveLogServerTest, InputIsAnsweredOnlyToItsSender) {
  Client a(port_);
  PumpUntilIds({1000});
  Client b(port_);
  PumpUntilIds({1000, 1001});

  a.Send("level 8\r\n");
  const int index = alternative_.Select(30000);
  ASSERT_EQ(index, 4);  // bytes from a client
  server_.Handle(index);
  EXPECT_EQ(a.ReadLine(), "Input Not Accepted\r\n");

  // b got no answer: its next line is the next log line.
  server_.Send("4412: after input");
  EXPECT_EQ(b.ReadLine(), "4412: after input\r\n");
  EXPECT_EQ(a.ReadLine(), "4412: after input\r\n");
}

TEST_F(LiveLogServerTest, StopWithConnectedClientsClosesThem) {
  Client a(port_);
  Client b(port_);
  PumpUntilIds({1000, 1001});
  server_.Send("4412: last words");
  server_.Stop();
  EXPECT_EQ(server_.ClientCount(), 0u);
  EXPECT_EQ(a.ReadLine(), "4412: last words\r\n");
  EXPECT_TRUE(a.ReadsEndOfStream());
  EXPECT_TRUE(b.ReadsEndOfStream());
}

class LiveLogBroker : public ::testing::Test {
 protected:
  ScratchDir scratch_;
  LogChannel channel_;
  LogChannelWriter writer_{channel_};
};

TEST_F(LiveLogBroker, ClientSeesTheMessageTextAndTheFileGetsTheLine) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  Client* raw = nullptr;
  std::unique_ptr<Client> client;
  {
    RecordingLogger logger("TestLogger", channel_);
    ASSERT_TRUE(logger.Open(scratch_.str(), static_cast<uint16_t>(port)));
    ASSERT_TRUE(logger.WaitForLoopStart());
    client = std::make_unique<Client>(port);
    raw = client.get();
    // The answer proves the broker has taken the client on.
    raw->Send("hello?\r\n");
    EXPECT_EQ(raw->ReadLine(), "Input Not Accepted\r\n");
    ASSERT_TRUE(writer_.Put({kLogWarning, "4412: Imap thing happened\r\n"}, 30000));
    EXPECT_EQ(raw->ReadLine(), "4412: Imap thing happened\r\n");
    ASSERT_TRUE(logger.WaitForLines(1));
  }  // stopped with the client still connected
  EXPECT_TRUE(raw->ReadsEndOfStream());
  const auto files = testing::FilesIn(scratch_.path());
  ASSERT_EQ(files.size(), 1u);
  const auto lines = testing::SplitCrLf(testing::ReadFile(files[0]));
  // The file keeps the text as given, its own CR LF included; only the live
  // line is trimmed.
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(20), "WARNING: 4412: Imap thing happened");
  EXPECT_EQ(lines[1], "");
}

TEST_F(LiveLogBroker, TakenPortIsReportedOnceAndTheBrokerRunsOn) {
  const int port = FreePort();
  ASSERT_GT(port, 0);
  KAVRO::SocketInit init;
  KAVRO::Channel<KAVRO::Socket*> connections;
  KAVRO::SocketServerServer holder(connections);
  ASSERT_TRUE(holder.Listen(port));

  RecordingLogger logger("TestLogger", channel_);
  ASSERT_TRUE(logger.Open(scratch_.str(), static_cast<uint16_t>(port)));
  ASSERT_TRUE(writer_.Put({kLogInfo, "still logging"}, 30000));
  ASSERT_TRUE(logger.WaitForLines(2));
  const auto lines = logger.Lines();
  EXPECT_EQ(lines[0].level, kLogError);
  EXPECT_EQ(lines[0].text, "Failed to start livelog: bind failed for server socket on port " +
                               std::to_string(port) + ". Port occupied already?");
  EXPECT_EQ(lines[1].text, "still logging");
  holder.Stop(-1);
}

}  // namespace
}  // namespace Nauvik
