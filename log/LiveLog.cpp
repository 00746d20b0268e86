// Placeholder until the socket layer lands: the live log cannot start.
#include "log/LiveLog.h"

namespace Nauvik {

struct LiveLogServer::State {};

LiveLogServer::LiveLogServer(KAVRO::Alternative*) {}
LiveLogServer::~LiveLogServer() = default;
std::string LiveLogServer::Start(uint16_t) { return "live log not available in this build"; }
void LiveLogServer::AddGuards() {}
bool LiveLogServer::Handles(int) const { return false; }
void LiveLogServer::Handle(int) {}
void LiveLogServer::Send(const std::string&) {}
void LiveLogServer::Stop() {}
size_t LiveLogServer::ClientCount() const { return 0; }

}  // namespace Nauvik
