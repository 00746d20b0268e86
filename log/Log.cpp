// Scaffolding until the log channel and broker land: keeps the global level
// and drops every message.
#include "log/Log.h"

#include <atomic>

namespace Nauvik {

namespace {
std::atomic<int32_t> g_level{kLogInfo};
}

void Log(int32_t, bool, const std::string&) {}
bool LogLevelAtLeast(int32_t level) { return g_level.load() >= level; }
void SetLogLevel(int32_t level) { g_level.store(level); }
int32_t GetLogLevel() { return g_level.load(); }

}  // namespace Nauvik
