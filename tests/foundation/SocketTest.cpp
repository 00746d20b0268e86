#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Socket.h"
#include "tests/foundation/FoundationTestSupport.h"

namespace KAVRO {
namespace {

using test::ErrorOf;

// A socket of the given type bound to a free port, held by this
// test (as if by another program).
struct PortHolder {
  explicit PortHolder(int type = SOCK_STREAM) : fd(socket(AF_INET, type, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_TRUE(type != SOCK_STREAM || listen(fd, 1) == 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~PortHolder() { close(fd); }
  int fd;
  int port = 0;
};

int FreePort() { return PortHolder().port; }  // free a moment ago

bool ConnectFails(int port) {
  return ErrorOf([&] { SocketClient c("127.0.0.1", port); }).find("connect failed") == 0;
}

std::string ReadExactly(const Socket& s, size_t n) {
  std::string out;
  char buffer[65536];
  while (out.size() < n) {
    const long got = s.Receive(buffer, std::min(sizeof buffer, n - out.size()));
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

// A listener thread on a free loopback port, handing accepted sockets over.
struct Listener {
  Listener() { EXPECT_TRUE(server.Listen(port)); }
  Socket* Accept() {
    Socket* s = nullptr;
    EXPECT_TRUE(accepted.Get(&s, -1));
    return s;
  }
  SocketInit init;
  Channel<Socket*> connections;
  ChannelReader<Socket*> accepted{connections};
  SocketServerServer server{connections};
  const int port = FreePort();
};

// The process-wide start-up count guards socket creation.
TEST(SocketInit, CountsUsersBindAndConnectErrors) {
  ASSERT_EQ(SocketInit::Count(), 0);
  EXPECT_EQ(ErrorOf([] { Socket s; }),
            "INVALID_SOCKET. Rememberd to Initialize WinSock (with WSAStartup or with "
            "KAVRO::SocketInit)");
  EXPECT_TRUE(SocketInit::Acquire());
  EXPECT_TRUE(SocketInit::Acquire());
  SocketInit::Release();
  EXPECT_EQ(SocketInit::Count(), 1);
  {
    Socket s;  // still started
    Socket copy = s;
    EXPECT_EQ(copy.Handle(), s.Handle());
    EXPECT_EQ(s.PeerAddress(), "");
  }
  SocketInit::Release();
  SocketInit::Release();  // never below 0
  SocketInit init;
  EXPECT_EQ(SocketInit::Count(), 1);

  int invalid = -1;
  EXPECT_EQ(ErrorOf([&] { BindAndListen(&invalid, 4711); }),
            "Internal Error in BindAndListen: INVALID_SOCKET passed as parameter. ");
  PortHolder occupied;
  Channel<Socket*> connections;
  SocketServerServer server(connections);
  EXPECT_EQ(ErrorOf([&] { server.Listen(occupied.port); }),
            "bind failed for server socket on port " + std::to_string(occupied.port) +
                ". Port occupied already?");
  EXPECT_FALSE(server.IsRunning());
  EXPECT_FALSE(server.Listen(0));
  SocketServerServer unbound;
  EXPECT_FALSE(unbound.Listen(FreePort()));

  EXPECT_EQ(ErrorOf([] { SocketClient c("::1", 80); }), "Bad Address Family");
  EXPECT_TRUE(ConnectFails(FreePort()));
}

// A real loopback connection: listener thread, redirector thread, client.
TEST(SocketRedirector, LoopbackRoundTrip) {
  Listener listener;
  const int port = listener.port;
  EXPECT_EQ(listener.server.GetName(), "SocketServerServer " + std::to_string(port));
  EXPECT_TRUE(listener.server.Listen(port));  // same port while running: nothing reopened
  SocketClient client("127.0.0.1", port);
  int peer_port = 0;
  EXPECT_EQ(client.PeerAddress(&peer_port), "127.0.0.1");
  EXPECT_EQ(peer_port, port);

  Channel<ReceivedBytes> received;
  ChannelReader<ReceivedBytes> received_reader(received);
  SocketRedirector redirector(listener.Accept(), true, received);
  EXPECT_EQ(redirector.GetName(), "SocketRedirector Server. Remote: 127.0.0.1");
  ASSERT_TRUE(redirector.Start());
  ASSERT_TRUE(client.SendAll("hello", 5));
  std::string got;
  ReceivedBytes item;
  while (got.size() < 5) {
    ASSERT_TRUE(received_reader.Get(&item, -1));
    EXPECT_EQ(item.first, &redirector);
    got.append(item.second.begin(), item.second.end());
  }
  EXPECT_EQ(got, "hello");

  // Two megabytes through the send channel (capacity 1), sent in pieces.
  ChannelWriter<ByteVector> send(redirector.SendChannel());
  std::string expected;
  for (int i = 0; i < 4; ++i) {
    ByteVector chunk(512 * 1024);
    for (size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>('a' + (k + i) % 26);
    expected.append(chunk.begin(), chunk.end());
    ASSERT_TRUE(send.Put(chunk, -1));
  }
  EXPECT_EQ(ReadExactly(client, expected.size()), expected);

  // Stopping sends the pending output first, then ends the connection.
  const std::string last_words(60000, 'z');
  ASSERT_TRUE(send.Put(ByteVector(last_words.begin(), last_words.end()), -1));
  redirector.Stop(-1);
  EXPECT_EQ(ReadExactly(client, last_words.size()), last_words);
  char c;
  EXPECT_EQ(client.Receive(&c, 1), 0);
  listener.server.Stop(-1);
  EXPECT_TRUE(ConnectFails(port));
}

TEST(SocketServerServer, SeveralClientsQueueAndStopUnblocksAccept) {
  Listener listener;
  std::vector<std::unique_ptr<SocketClient>> clients;
  std::vector<Socket*> accepted;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<SocketClient>("127.0.0.1", listener.port));
    accepted.push_back(listener.Accept());
    ASSERT_NE(accepted.back(), nullptr);
    EXPECT_EQ(accepted.back()->PeerAddress(), "127.0.0.1");
  }
  listener.server.Stop(-1);  // the thread sits in accept: closing the socket ends it
  EXPECT_TRUE(listener.server.Wait(0));

  // The clients leave: a redirector ends and abandons its received channel.
  Channel<ReceivedBytes> received;
  ChannelReader<ReceivedBytes> received_reader(received);
  SocketRedirector redirector(accepted[0], true, received);
  delete accepted[1];
  delete accepted[2];
  ASSERT_TRUE(redirector.Start());
  clients.clear();
  ASSERT_TRUE(redirector.Wait(-1));
  ReceivedBytes item;
  EXPECT_EQ(received_reader.GetResult(&item, -1).code, ChannelDefs::kAbandoned);

  PortHolder receiver(SOCK_DGRAM);
  ASSERT_TRUE(DatagramSocket().SendTo("127.0.0.1", receiver.port, "ping", 4));
  char buffer[16];
  ASSERT_EQ(recv(receiver.fd, buffer, sizeof buffer, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
}

}  // namespace
}  // namespace KAVRO
