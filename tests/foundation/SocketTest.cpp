#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/Socket.h"

namespace KAVRO {
namespace {

template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

// A socket listening on a free loopback port, held by this test (as if by
// another program).
struct PortHolder {
  PortHolder() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~PortHolder() { Release(); }
  void Release() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int fd = -1;
  int port = 0;
};

// A port that was free a moment ago.
int FreePort() {
  PortHolder holder;
  return holder.port;
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

TEST(SocketInit, CountsUsersAndGuardsSocketCreation) {
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
    EXPECT_TRUE(s.IsValid());
    Socket copy = s;
    EXPECT_EQ(copy.Handle(), s.Handle());
    EXPECT_EQ(s.PeerAddress(), "");
  }
  SocketInit::Release();
  SocketInit::Release();  // never below 0
  EXPECT_EQ(SocketInit::Count(), 0);
  {
    SocketInit init;
    EXPECT_EQ(SocketInit::Count(), 1);
  }
  EXPECT_EQ(SocketInit::Count(), 0);
}

TEST(SocketServerServer, BindErrors) {
  SocketInit init;
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
  EXPECT_FALSE(unbound.IsRunning());
}

TEST(SocketClient, RefusesOtherAddressFamiliesAndClosedPorts) {
  SocketInit init;
  EXPECT_EQ(ErrorOf([] { SocketClient c("::1", 80); }), "Bad Address Family");
  const int port = FreePort();
  EXPECT_NE(ErrorOf([&] { SocketClient c("127.0.0.1", port); }).find("connect failed"),
            std::string::npos);
}

// A real loopback connection: listener thread, redirector thread, client.
TEST(SocketRedirector, LoopbackRoundTrip) {
  SocketInit init;
  Channel<Socket*> connections;
  ChannelReader<Socket*> accepted(connections);
  SocketServerServer server(connections);
  const int port = FreePort();
  ASSERT_TRUE(server.Listen(port));
  EXPECT_EQ(server.GetName(), "SocketServerServer " + std::to_string(port));
  EXPECT_TRUE(server.Listen(port));  // same port while running: nothing reopened
  EXPECT_EQ(server.Port(), port);

  SocketClient client("127.0.0.1", port);
  int peer_port = 0;
  EXPECT_EQ(client.PeerAddress(&peer_port), "127.0.0.1");
  EXPECT_EQ(peer_port, port);

  Socket* connection = nullptr;
  ASSERT_TRUE(accepted.Get(&connection, -1));
  ASSERT_NE(connection, nullptr);
  Channel<ReceivedBytes> received;
  ChannelReader<ReceivedBytes> received_reader(received);
  SocketRedirector redirector(connection, true, received);
  EXPECT_EQ(redirector.GetName(), "SocketRedirector Server. Remote: 127.0.0.1");
  ASSERT_TRUE(redirector.Start());

  ASSERT_TRUE(client.SendAll("hello", 5));
  std::string got;
  while (got.size() < 5) {
    ReceivedBytes item;
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

  // The client leaves: the redirector ends and abandons the received channel.
  client.Close();
  ASSERT_TRUE(redirector.Wait(-1));
  ReceivedBytes item;
  EXPECT_EQ(received_reader.GetResult(&item, -1).code, ChannelDefs::kAbandoned);

  server.Stop(-1);
  EXPECT_FALSE(server.IsRunning());
  EXPECT_NE(ErrorOf([&] { SocketClient c("127.0.0.1", port); }).find("connect failed"),
            std::string::npos);
}

TEST(SocketRedirector, StopSendsPendingOutputFirst) {
  SocketInit init;
  Channel<Socket*> connections;
  ChannelReader<Socket*> accepted(connections);
  SocketServerServer server(connections);
  const int port = FreePort();
  ASSERT_TRUE(server.Listen(port));
  SocketClient client("127.0.0.1", port);
  Socket* connection = nullptr;
  ASSERT_TRUE(accepted.Get(&connection, -1));
  Channel<ReceivedBytes> received;
  auto redirector = std::make_unique<SocketRedirector>(connection, true, received);
  ASSERT_TRUE(redirector->Start());
  ChannelWriter<ByteVector> send(redirector->SendChannel());
  const std::string last_words(60000, 'z');
  ASSERT_TRUE(send.Put(ByteVector(last_words.begin(), last_words.end()), -1));
  redirector->Stop(-1);
  EXPECT_FALSE(redirector->IsRunning());
  // Everything arrives, then the end of the connection.
  EXPECT_EQ(ReadExactly(client, last_words.size()), last_words);
  char c;
  EXPECT_EQ(client.Receive(&c, 1), 0);
  redirector.reset();
  server.Stop(-1);
}

TEST(SocketServerServer, StopUnblocksAcceptAndSeveralClientsQueue) {
  SocketInit init;
  Channel<Socket*> connections;
  ChannelReader<Socket*> accepted(connections);
  SocketServerServer server(connections);
  const int port = FreePort();
  ASSERT_TRUE(server.Listen(port));
  std::vector<std::unique_ptr<SocketClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<SocketClient>("127.0.0.1", port));
  std::set<int> peer_ports;
  for (int i = 0; i < 3; ++i) {
    Socket* s = nullptr;
    ASSERT_TRUE(accepted.Get(&s, -1));
    int p = 0;
    EXPECT_EQ(s->PeerAddress(&p), "127.0.0.1");
    peer_ports.insert(p);
    delete s;
  }
  EXPECT_EQ(peer_ports.size(), 3u);
  server.Stop(-1);  // the thread sits in accept: closing the socket ends it
  EXPECT_FALSE(server.IsRunning());
  EXPECT_TRUE(server.Wait(0));
}

TEST(DatagramSocket, SendsToALocalReceiver) {
  SocketInit init;
  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(receiver, reinterpret_cast<sockaddr*>(&addr), &len);
  DatagramSocket sender;
  ASSERT_TRUE(sender.SendTo("127.0.0.1", ntohs(addr.sin_port), "ping", 4));
  char buffer[16];
  EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  close(receiver);
}

}  // namespace
}  // namespace KAVRO
