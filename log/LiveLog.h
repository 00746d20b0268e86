#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Channel.h"

namespace Nauvik {

// The live log service of one broker run: a listener thread hands accepted
// connections to the broker, one redirector thread per client moves bytes,
// and the broker thread forwards each log line to every client. Lives on the
// broker thread only (created by Run, destroyed before Run returns); the
// listener and client threads talk to it through channels only.
//
// Guards it adds to the broker's Alternative: 3 a new connection, 4 bytes
// from a client, and each client's id (1000 up) for the end of its thread.
class LiveLogServer {
 public:
  // The Alternative is the broker's and must outlive this object.
  explicit LiveLogServer(KAVRO::Alternative* alternative);
  ~LiveLogServer();
  LiveLogServer(const LiveLogServer&) = delete;
  LiveLogServer& operator=(const LiveLogServer&) = delete;

  // Starts listening on every local address. Returns the error text, empty
  // on success.
  std::string Start(uint16_t port);
  // Registers the connection and received-bytes guards (3 and 4).
  void AddGuards();
  // True for the guard indexes this server owns.
  bool Handles(int index) const;
  // Handles a fired guard of this server.
  void Handle(int index);
  // Sends text, trimmed of CR and LF at both ends, as one CR LF line to every
  // client; a client whose send buffer stays full for 100 ms misses it.
  void Send(const std::string& text);
  // Stops the listener and every client thread.
  void Stop();

  // Connected clients and their ids, in order (the owner's thread only).
  size_t ClientCount() const;
  std::vector<uint32_t> ClientIds() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Nauvik
