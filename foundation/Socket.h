#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "foundation/Channel.h"
#include "foundation/SimpleThread.h"

namespace KAVRO {

// Process-wide start-up count of the socket library. Every user of sockets
// holds one SocketInit for as long as it creates sockets; a Socket created
// while the count is 0 raises the INVALID_SOCKET text, as the platform's own
// socket library does before its start-up. Thread-safe.
class SocketInit {
 public:
  SocketInit() { Acquire(); }
  ~SocketInit() { Release(); }
  SocketInit(const SocketInit&) = delete;
  SocketInit& operator=(const SocketInit&) = delete;

  // Counts one user up (starting the library on the first); true on success.
  static bool Acquire();
  // Counts one user down; below 1 the library is shut down and the count is 0.
  static void Release();
  static int32_t Count();
};

// A TCP/IPv4 socket handle shared by its copies; the last copy to go closes
// it. Copies may live on different threads; one copy is used by one thread
// at a time.
class Socket {
 public:
  static constexpr const char* kInvalidSocketText =
      "INVALID_SOCKET. Rememberd to Initialize WinSock (with WSAStartup or with KAVRO::SocketInit)";

  // Creates a stream socket. Throws kInvalidSocketText when that fails or the
  // socket library has not been started (SocketInit).
  Socket();
  // Takes ownership of an open handle (an accepted connection).
  struct AdoptTag {};
  Socket(AdoptTag, int handle);
  virtual ~Socket();
  Socket(const Socket&) = default;
  Socket& operator=(const Socket&) = default;

  int Handle() const { return shared_ ? shared_->fd.load() : -1; }
  bool IsValid() const { return Handle() >= 0; }
  // Closes the handle for every copy now (shutdown first, so a thread
  // blocked on it returns).
  void Close();

  // Numeric host and port of the connected peer; "" and 0 if not connected.
  std::string PeerAddress(int* port = nullptr) const;
  // Sends every byte (no SIGPIPE); false when the connection fails.
  bool SendAll(const void* data, size_t len) const;
  // Receives up to len bytes; 0 when the peer closed, -1 on error.
  long Receive(void* data, size_t len) const;

 protected:
  struct Shared {
    explicit Shared(int handle) : fd(handle) {}
    ~Shared();
    std::atomic<int> fd;
  };
  // For SocketClient: a Socket with no handle yet.
  struct NoHandleTag {};
  explicit Socket(NoHandleTag) {}
  void CreateStream();

  std::shared_ptr<Shared> shared_;
};

// An outgoing connection: resolves host and port, connects, keep-alive on.
// Throws "Bad Address Family" when the host resolves to other than IPv4, and
// runtime errors with the system's text when resolving or connecting fails.
class SocketClient : public Socket {
 public:
  SocketClient(const std::string& host, int port);
};

// Binds *handle to port on every local IPv4 address and listens with the
// largest backlog. Throws "Internal Error in BindAndListen: INVALID_SOCKET
// passed as parameter. " for a handle of -1; on a failed bind closes the
// handle, sets it to -1 and throws "bind failed for server socket on port "
// + port + ". Port occupied already?".
void BindAndListen(int* handle, int port);

// A listening thread: every accepted connection goes into the connection
// channel as a new Socket* that the reader owns. Stop closes the listening
// socket. Thread-safe like SimpleThread.
class SocketServerServer : public SimpleThread {
 public:
  SocketServerServer();
  explicit SocketServerServer(const ChannelAccess<Socket*>& connections);
  ~SocketServerServer() override;

  // Binds the writing end to the channel accepted connections go to.
  void SetConnectionChannel(const ChannelAccess<Socket*>& connections);
  // Starts listening on port; true when the thread runs. Listening again on
  // the same port while running changes nothing. False for a port of 0 or
  // less or with no connection channel. Throws the bind and socket texts of
  // BindAndListen and Socket, leaving the thread stopped.
  bool Listen(int port);
  // Closes the listening socket, then stops the thread.
  void Stop(int64_t timeout_ms) override;
  int Port();

 protected:
  void Run() override;

 private:
  void CloseListening();

  std::atomic<int> listen_fd_{-1};
  ChannelWriter<Socket*> connections_;  // read by the thread while it runs
  std::mutex port_mu_;
  int port_ = -1;  // guarded by port_mu_
};

class SocketRedirector;
// Bytes received by a connection thread, with the thread that received them.
using ReceivedBytes = std::pair<SocketRedirector*, ByteVector>;

// A connection thread: sends what is put into its send channel (capacity 1)
// and puts what it receives into the received channel. Ends when the peer
// closes, on an error, or after a stop request once pending output is sent;
// then signals the received channel's third condition.
class SocketRedirector : public SimpleThread {
 public:
  // Serves an accepted connection. With owns_socket the redirector deletes
  // the socket when its loop ends; otherwise the socket must outlive it.
  SocketRedirector(Socket* socket, bool owns_socket, const ChannelAccess<ReceivedBytes>& received);
  ~SocketRedirector() override;

  // The channel of byte vectors to send.
  const Channel<ByteVector>& SendChannel() const { return send_channel_; }

 protected:
  void Run() override;

 private:
  void Loop();
  // Puts into the received channel; gives up when a stop is requested.
  bool PutReceived(ByteVector bytes);

  Channel<ByteVector> send_channel_;
  ChannelReader<ByteVector> send_;
  ChannelWriter<ReceivedBytes> received_;
  Socket* socket_;
  bool owns_socket_;
};

// A UDP socket with broadcast permission, guarded by its own lock.
class DatagramSocket {
 public:
  // Throws "Datagram Socket Creation Error: " + the system's text.
  DatagramSocket();
  ~DatagramSocket();
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // Sends one datagram to an IPv4 host (numeric or name) and port.
  bool SendTo(const std::string& host, int port, const void* data, size_t len);
  int Handle() const { return fd_; }

 private:
  std::mutex mu_;
  int fd_ = -1;
};

}  // namespace KAVRO
