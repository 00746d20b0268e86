#include "log/LiveLog.h"

#include <exception>
#include <utility>
#include <vector>

#include "foundation/Socket.h"

namespace Nauvik {

namespace {

constexpr int kGuardConnection = 3;
constexpr int kGuardReceived = 4;
constexpr uint32_t kFirstClientId = 1000;

constexpr int64_t kLineSendTimeoutMs = 100;
constexpr int64_t kAnswerSendTimeoutMs = 200;
// A client that does not read keeps its redirector busy sending; when the
// broker ends it waits this long before the thread is terminated.
constexpr int64_t kClientStopTimeoutMs = 2000;

constexpr const char* kInputNotAccepted = "Input Not Accepted\r\n";

}  // namespace

struct LiveLogServer::State {
  explicit State(KAVRO::Alternative* alt) : alternative(alt) {}

  KAVRO::Alternative* alternative;
  KAVRO::SocketInit socket_init;  // keeps the socket library started
  KAVRO::Channel<KAVRO::Socket*> connections;
  KAVRO::ChannelReader<KAVRO::Socket*> connection_reader{connections};
  KAVRO::Channel<KAVRO::ReceivedBytes> received;
  KAVRO::ChannelReader<KAVRO::ReceivedBytes> received_reader{received};
  KAVRO::SocketServerServer listener;
  std::map<uint32_t, std::unique_ptr<KAVRO::SocketRedirector>> clients;
  KAVRO::Socket* new_socket = nullptr;  // target of the connection guard
  KAVRO::ReceivedBytes received_bytes;  // target of the received guard

  // The smallest id from 1000 up that no client holds.
  uint32_t NextClientId() const {
    uint32_t id = kFirstClientId;
    for (const auto& [held, client] : clients) {
      if (held != id) break;
      ++id;
    }
    return id;
  }
};

LiveLogServer::LiveLogServer(KAVRO::Alternative* alternative)
    : state_(std::make_unique<State>(alternative)) {}

LiveLogServer::~LiveLogServer() { Stop(); }

std::string LiveLogServer::Start(uint16_t port) {
  try {
    state_->listener.SetConnectionChannel(state_->connections);
    if (!state_->listener.Listen(port)) return "cannot listen on port " + std::to_string(port);
  } catch (const std::exception& e) {
    return e.what();
  }
  return std::string();
}

void LiveLogServer::AddGuards() {
  state_->alternative->AddGet(kGuardConnection, state_->connection_reader, &state_->new_socket);
  state_->alternative->AddGet(kGuardReceived, state_->received_reader, &state_->received_bytes);
}

bool LiveLogServer::Handles(int index) const {
  return index == kGuardConnection || index == kGuardReceived ||
         index >= static_cast<int>(kFirstClientId);
}

void LiveLogServer::Handle(int index) {
  State& s = *state_;
  if (index == kGuardConnection) {
    KAVRO::Socket* socket = std::exchange(s.new_socket, nullptr);
    if (socket == nullptr) return;
    // The redirector owns the socket from here on, started or not.
    auto client = std::make_unique<KAVRO::SocketRedirector>(socket, true, s.received);
    if (!client->Start()) return;
    const uint32_t id = s.NextClientId();
    s.alternative->AddWaitable(static_cast<int>(id), client.get());
    s.clients.emplace(id, std::move(client));
  } else if (index == kGuardReceived) {
    KAVRO::SocketRedirector* from = std::exchange(s.received_bytes.first, nullptr);
    s.received_bytes.second.clear();
    // The bytes may outlive their client, which is then already gone.
    for (const auto& [id, client] : s.clients) {
      if (client.get() != from) continue;
      const std::string answer = kInputNotAccepted;
      KAVRO::ChannelWriter<KAVRO::ByteVector>(client->SendChannel())
          .Put(KAVRO::ByteVector(answer.begin(), answer.end()), kAnswerSendTimeoutMs);
      break;
    }
  } else {
    // A client's thread ended (the peer closed or the connection failed).
    const auto it = s.clients.find(static_cast<uint32_t>(index));
    if (it == s.clients.end()) return;
    s.alternative->Remove(index);
    it->second->Stop(-1);
    s.clients.erase(it);
  }
}

void LiveLogServer::Send(const std::string& text) {
  if (state_->clients.empty()) return;
  const size_t first = text.find_first_not_of("\r\n");
  if (first == std::string::npos) return;
  const size_t last = text.find_last_not_of("\r\n");
  std::string line = text.substr(first, last - first + 1);
  line += "\r\n";
  const KAVRO::ByteVector bytes(line.begin(), line.end());
  for (const auto& [id, client] : state_->clients) {
    KAVRO::ChannelWriter<KAVRO::ByteVector>(client->SendChannel()).Put(bytes, kLineSendTimeoutMs);
  }
}

void LiveLogServer::Stop() {
  State& s = *state_;
  s.alternative->Remove(kGuardConnection);
  s.alternative->Remove(kGuardReceived);
  s.listener.Stop(-1);
  for (auto& [id, client] : s.clients) {
    s.alternative->Remove(static_cast<int>(id));
    client->Stop(kClientStopTimeoutMs);
  }
  s.clients.clear();
  // Connections accepted but never taken over are the reader's to close.
  KAVRO::Socket* socket = nullptr;
  while (s.connection_reader.Get(&socket, 0)) delete socket;
  delete std::exchange(s.new_socket, nullptr);
}

size_t LiveLogServer::ClientCount() const { return state_->clients.size(); }

std::vector<uint32_t> LiveLogServer::ClientIds() const {
  std::vector<uint32_t> ids;
  for (const auto& [id, client] : state_->clients) ids.push_back(id);
  return ids;
}

}  // namespace Nauvik
