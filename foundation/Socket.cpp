#include "foundation/Socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <stdexcept>

#include "foundation/Files.h"

namespace KAVRO {
namespace {

// Start-up state of the socket library: one lock, one count.
std::mutex g_init_mu;
int32_t g_init_count = 0;  // guarded by g_init_mu

int NewStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

// Makes a poll loop hear the library's wait handles: Fire writes to an
// eventfd that the loop polls beside its socket.
class FdWaiter final : public detail::Waiter {
 public:
  FdWaiter() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~FdWaiter() {
    if (fd_ >= 0) close(fd_);
  }
  FdWaiter(const FdWaiter&) = delete;
  FdWaiter& operator=(const FdWaiter&) = delete;
  void Fire() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }
  void Drain() {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool SocketInit::Acquire() {
  std::lock_guard<std::mutex> lock(g_init_mu);
  // BSD sockets need no start-up call: the count alone records that the
  // process has started the library.
  if (g_init_count <= 0) {
    g_init_count = 1;
  } else {
    ++g_init_count;
  }
  return true;
}

void SocketInit::Release() {
  std::lock_guard<std::mutex> lock(g_init_mu);
  --g_init_count;
  if (g_init_count < 1) g_init_count = 0;
}

int32_t SocketInit::Count() {
  std::lock_guard<std::mutex> lock(g_init_mu);
  return g_init_count;
}

Socket::Shared::~Shared() {
  const int handle = fd.exchange(-1);
  if (handle >= 0) ::close(handle);
}

Socket::Socket() { CreateStream(); }

Socket::Socket(AdoptTag, int handle) : shared_(std::make_shared<Shared>(handle)) {}

Socket::~Socket() = default;

void Socket::CreateStream() {
  if (SocketInit::Count() <= 0) throw std::runtime_error(kInvalidSocketText);
  const int handle = NewStreamSocket();
  if (handle < 0) throw std::runtime_error(kInvalidSocketText);
  shared_ = std::make_shared<Shared>(handle);
}

void Socket::Close() {
  if (!shared_) return;
  const int handle = shared_->fd.exchange(-1);
  if (handle >= 0) {
    ::shutdown(handle, SHUT_RDWR);
    ::close(handle);
  }
}

std::string Socket::PeerAddress(int* port) const {
  if (port != nullptr) *port = 0;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (!IsValid() || getpeername(Handle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return "";
  }
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, service,
                  sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "";
  }
  if (port != nullptr) *port = atoi(service);
  return host;
}

bool Socket::SendAll(const void* data, size_t len) const {
  const auto* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::send(Handle(), p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

long Socket::Receive(void* data, size_t len) const {
  ssize_t n;
  do {
    n = ::recv(Handle(), data, len, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

SocketClient::SocketClient(const std::string& host, int port) : Socket(NoHandleTag{}) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    throw std::runtime_error("getaddrinfo failed for " + host + ":" + service + ": " +
                             gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, freeaddrinfo);
  if (found->ai_family != AF_INET) throw std::runtime_error("Bad Address Family");
  CreateStream();
  const int on = 1;
  setsockopt(Handle(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  int c;
  do {
    c = ::connect(Handle(), found->ai_addr, found->ai_addrlen);
  } while (c != 0 && errno == EINTR);
  if (c != 0) {
    const int err = errno;
    Close();
    throw std::runtime_error("connect failed to " + host + ":" + service + ": " +
                             SystemErrorText(err));
  }
}

void BindAndListen(int* handle, int port) {
  if (*handle < 0) {
    throw std::runtime_error(
        "Internal Error in BindAndListen: INVALID_SOCKET passed as parameter. ");
  }
  // A restarted listener may bind while old connections are in TIME_WAIT;
  // a port that another socket listens on still fails.
  const int on = 1;
  setsockopt(*handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(*handle, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(*handle);
    *handle = -1;
    throw std::runtime_error("bind failed for server socket on port " + std::to_string(port) +
                             ". Port occupied already?");
  }
  listen(*handle, SOMAXCONN);
}

SocketServerServer::SocketServerServer() { SetName("SocketServerServer"); }

SocketServerServer::SocketServerServer(const ChannelAccess<Socket*>& connections)
    : SocketServerServer() {
  SetConnectionChannel(connections);
}

SocketServerServer::~SocketServerServer() {
  Stop(-1);
  CloseListening();
}

void SocketServerServer::SetConnectionChannel(const ChannelAccess<Socket*>& connections) {
  connections_.Bind(connections);
}

int SocketServerServer::Port() {
  std::lock_guard<std::mutex> lock(port_mu_);
  return port_;
}

bool SocketServerServer::Listen(int port) {
  SetName("SocketServerServer " + std::to_string(port));
  if (IsRunning()) {
    if (port != 0 && port == Port()) return true;
    Stop(-1);
  }
  if (port <= 0 || !connections_.IsBound()) return false;
  CloseListening();
  if (SocketInit::Count() <= 0) throw std::runtime_error(Socket::kInvalidSocketText);
  int handle = NewStreamSocket();
  if (handle < 0) throw std::runtime_error(Socket::kInvalidSocketText);
  BindAndListen(&handle, port);  // closes the handle itself when it throws
  listen_fd_ = handle;
  {
    std::lock_guard<std::mutex> lock(port_mu_);
    port_ = port;
  }
  return Start();
}

void SocketServerServer::Stop(int64_t timeout_ms) {
  // shutdown wakes a thread blocked in accept; the descriptor itself is
  // closed only once the thread is gone, so it cannot be reused under it.
  const int handle = listen_fd_.load();
  if (handle >= 0) ::shutdown(handle, SHUT_RDWR);
  SimpleThread::Stop(timeout_ms);
  if (!IsRunning()) CloseListening();
}

void SocketServerServer::CloseListening() {
  const int handle = listen_fd_.exchange(-1);
  if (handle >= 0) ::close(handle);
}

void SocketServerServer::Run() {
  if (!connections_.IsBound()) {
    CloseListening();
    return;
  }
  const int handle = listen_fd_.load();
  while (!stop_request_.Wait(0)) {
    const int accepted = accept4(handle, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    auto* socket = new Socket(Socket::AdoptTag{}, accepted);
    // Wait for room in the channel, but not past a stop request.
    Alternative alt;
    alt.AddPut(0, connections_, &socket);
    alt.AddWaitable(1, &stop_request_);
    if (alt.Select(-1) != 0) delete socket;
  }
  connections_.Unbind();
}

SocketRedirector::SocketRedirector(Socket* socket, bool owns_socket,
                                   const ChannelAccess<ReceivedBytes>& received)
    : send_(send_channel_), received_(received), socket_(socket), owns_socket_(owns_socket) {
  SetName("SocketRedirector");
  if (socket_ != nullptr) {
    SetName("SocketRedirector Server. Remote: " + socket_->PeerAddress());
  }
}

SocketRedirector::~SocketRedirector() {
  Stop(-1);
  if (owns_socket_) delete socket_;
}

void SocketRedirector::Run() {
  try {
    Loop();
  } catch (...) {
    received_.SignalThird();
    throw;
  }
  received_.SignalThird();
  if (owns_socket_) delete socket_;
  socket_ = nullptr;
}

bool SocketRedirector::PutReceived(ByteVector bytes) {
  ReceivedBytes item(this, std::move(bytes));
  Alternative alt;
  alt.AddPut(0, received_, &item);
  alt.AddWaitable(1, &stop_request_);
  return alt.Select(-1) == 0;
}

void SocketRedirector::Loop() {
  if (socket_ == nullptr || !socket_->IsValid()) return;
  const int fd = socket_->Handle();
  FdWaiter waiter;
  if (waiter.fd() < 0) return;
  detail::WaiterRegistration registration(
      {stop_request_.GetHandle(), send_channel_.GetHolder()->DataAvailable()->GetHandle()},
      &waiter);
  ByteVector pending;
  size_t offset = 0;
  bool has_pending = false;
  bool stopping = false;
  for (;;) {
    // Drain first, then look: a signal after the look is left in the eventfd
    // for the poll below.
    waiter.Drain();
    if (stop_request_.IsSignalled()) stopping = true;
    if (!has_pending && send_.Get(&pending, 0)) {
      has_pending = true;
      offset = 0;
    }
    if (stopping && !has_pending) return;
    pollfd fds[2] = {{fd, 0, 0}, {waiter.fd(), POLLIN, 0}};
    if (!stopping) fds[0].events |= POLLIN;
    if (has_pending) fds[0].events |= POLLOUT;
    const int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::cerr << "select FAILED socket: " << SystemErrorText() << std::endl;
      return;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (stopping && !(fds[0].revents & POLLOUT)) return;
      if (!stopping) {
        int available = 0;
        if (ioctl(fd, FIONREAD, &available) != 0 || available <= 0) return;
        ByteVector bytes(static_cast<size_t>(available));
        const long n = socket_->Receive(bytes.data(), bytes.size());
        if (n <= 0) return;
        bytes.resize(static_cast<size_t>(n));
        if (!PutReceived(std::move(bytes))) stopping = true;
      }
    }
    if (has_pending && (fds[0].revents & POLLOUT)) {
      const size_t chunk = std::min<size_t>(pending.size() - offset, 32768);
      ssize_t n;
      do {
        n = ::send(fd, pending.data() + offset, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
      if (n > 0) offset += static_cast<size_t>(n);
      if (offset >= pending.size()) {
        has_pending = false;
        pending.clear();
      }
    }
  }
}

DatagramSocket::DatagramSocket() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  const int on = 1;
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    const std::string text = LastErrorText();
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("Datagram Socket Creation Error: " + text);
  }
}

DatagramSocket::~DatagramSocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool DatagramSocket::SendTo(const std::string& host, int port, const void* data, size_t len) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, freeaddrinfo);
  std::lock_guard<std::mutex> lock(mu_);
  return ::sendto(fd_, data, len, 0, found->ai_addr, found->ai_addrlen) ==
         static_cast<ssize_t>(len);
}

}  // namespace KAVRO
