#pragma once

// The message type of the process-wide log channel and the channel itself.
// Kept apart from log/Log.h so that code which only logs does not pull in the
// channel templates.

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Channel.h"

namespace ChLog {

// One message on its way to the broker.
struct CHLogMessage {
  int32_t level = 0;
  std::string text;  // for levels >= 0 already prefixed with "<thread id>: "
};

}  // namespace ChLog

namespace KAVRO {
// Log producers may run up to 100 messages ahead of the broker.
template <>
struct ChannelCapacity<ChLog::CHLogMessage> {
  static constexpr size_t kValue = 100;
};
}  // namespace KAVRO

namespace Nauvik {

using LogChannel = KAVRO::Channel<ChLog::CHLogMessage>;
using LogChannelReader = KAVRO::ChannelReader<ChLog::CHLogMessage>;
using LogChannelWriter = KAVRO::ChannelWriter<ChLog::CHLogMessage>;

// The process-wide log channel that Log() puts into, created when the library
// is loaded and never destroyed (threads may still log while the process
// exits). Thread-safe.
LogChannel& GlobalLogChannel();

}  // namespace Nauvik
