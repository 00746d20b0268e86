// The live log service with real TCP clients on 127.0.0.1: lines to every
// client, the answer to input, the stop with clients connected, and a port
// that is taken.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "foundation/Socket.h"
#include "log/LogBroker.h"
#include "log/LogChannel.h"
#include "tests/log/LogTestSupport.h"

namespace Nauvik {
namespace {

using testing::RecordingLogger;

// A port nobody listens on right now, probed with a listener of our own.
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
    while (buffer_.find("\r\n") == std::string::npos) {
      if (!Receive()) return std::string();
    }
    const size_t end = buffer_.find("\r\n") + 2;
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return line;
  }
  // True when the server closed the connection (after any pending lines).
  bool ReadsEndOfStream() {
    while (Receive()) {
    }
    return closed_;
  }

 private:
  bool Receive() {
    char chunk[512];
    const long n = socket_->Receive(chunk, sizeof chunk);
    if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
    closed_ = n == 0;
    return n > 0;
  }
  KAVRO::SocketInit init_;
  std::unique_ptr<KAVRO::SocketClient> socket_;
  std::string buffer_;
  bool closed_ = false;
};

class LiveLogBroker : public ::testing::Test {
 protected:
  testing::ScratchDir scratch_;
  LogChannel channel_;
  LogChannelWriter writer_{channel_};
  const int port_ = FreePort();
};

// Clients come and go while the broker runs; each live line reaches every
// client connected, input is answered to its sender alone, and the broker's
// stop closes the clients still connected.
TEST_F(LiveLogBroker, ClientsGetLinesAndAnswersAndAreClosedOnStop) {
  ASSERT_GT(port_, 0);
  std::unique_ptr<Client> a, b, c;
  {
    RecordingLogger logger("TestLogger", channel_);
    ASSERT_TRUE(logger.Open(scratch_.str(), static_cast<uint16_t>(port_)));
    ASSERT_TRUE(logger.WaitForLoopStart());
    // The answer also proves the broker has taken the client on.
    const auto connect = [this] {
      auto client = std::make_unique<Client>(port_);
      client->Send("level 8\r\n");
      EXPECT_EQ(client->ReadLine(), "Input Not Accepted\r\n");
      return client;
    };
    a = connect();
    b = connect();
    ASSERT_TRUE(writer_.Put({kLogWarning, "\r\n"}, 30000));  // nothing to send live
    ASSERT_TRUE(writer_.Put({kLogWarning, "4412: Imap thing happened\r\n"}, 30000));
    EXPECT_EQ(a->ReadLine(), "4412: Imap thing happened\r\n");
    EXPECT_EQ(b->ReadLine(), "4412: Imap thing happened\r\n");
    a.reset();
    c = connect();
    ASSERT_TRUE(writer_.Put({kLogInfo, "4412: later"}, 30000));
    EXPECT_EQ(b->ReadLine(), "4412: later\r\n");
    EXPECT_EQ(c->ReadLine(), "4412: later\r\n");
  }  // stopped with clients still connected
  EXPECT_TRUE(b->ReadsEndOfStream());
  EXPECT_TRUE(c->ReadsEndOfStream());
  // The file keeps the text as given, its own CR LF included; only the live
  // line is trimmed.
  const auto lines = testing::FileLines(testing::FilesIn(scratch_.path).at(0));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].substr(20), "WARNING: 4412: Imap thing happened");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4].substr(20), "INFO: 4412: later");
}

TEST_F(LiveLogBroker, TakenPortIsReportedOnceAndTheBrokerRunsOn) {
  ASSERT_GT(port_, 0);
  KAVRO::SocketInit init;
  KAVRO::Channel<KAVRO::Socket*> connections;
  KAVRO::SocketServerServer holder(connections);
  ASSERT_TRUE(holder.Listen(port_));
  RecordingLogger logger("TestLogger", channel_);
  ASSERT_TRUE(logger.Open(scratch_.str(), static_cast<uint16_t>(port_)));
  ASSERT_TRUE(writer_.Put({kLogInfo, "still logging"}, 30000));
  ASSERT_TRUE(logger.WaitForLines(2));
  const auto lines = logger.Lines();
  EXPECT_EQ(lines[0].level, kLogError);
  EXPECT_EQ(lines[0].text, "Failed to start livelog: bind failed for server socket on port " +
                               std::to_string(port_) + ". Port occupied already?");
  EXPECT_EQ(lines[1].text, "still logging");
  holder.Stop(-1);
}

}  // namespace
}  // namespace Nauvik
