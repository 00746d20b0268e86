#pragma once

#include <cstdint>
#include <string>

namespace Nauvik {

// Log levels. Level 4 has no name and is written as "4".
inline constexpr int32_t kLogError = 0;
inline constexpr int32_t kLogWarning = 1;
inline constexpr int32_t kLogStatus = 2;
inline constexpr int32_t kLogInfo = 3;
inline constexpr int32_t kLogDebug = 5;
inline constexpr int32_t kLogDebug2 = 6;
inline constexpr int32_t kLogDebug3 = 7;
inline constexpr int32_t kLogDebug4 = 8;

// The process-wide log function. With `check` set, a message whose level is
// above the global level is dropped here; call sites that build expensive
// texts test LogLevelAtLeast() first and pass check = false. The text is
// prefixed with the calling thread's id and put into the process-wide log
// channel, waiting at most 5 ms for room; a message that finds no room is
// dropped. Never throws. Thread-safe.
void Log(int32_t level, bool check, const std::string& text);

// The global level, guarded by its own spin lock.
[[nodiscard]] bool LogLevelAtLeast(int32_t level);
void SetLogLevel(int32_t level);
[[nodiscard]] int32_t GetLogLevel();

// Console mode: Log writes each text with "\r\n" to the standard output
// instead of the channel (off unless set; the library never sets it).
void SetConsoleMode(bool on);
[[nodiscard]] bool GetConsoleMode();

// The name a level is written with: "ERROR" ... "DEBUG4"; 4 and every level
// outside 0-8 as the number in decimal.
[[nodiscard]] std::string LogLevelName(int32_t level);

// True when the process-wide log channel holds no message (a broker has
// taken every message logged so far).
[[nodiscard]] bool LogChannelEmpty();

// Blocks until the process-wide log channel holds no message, woken by the
// broker's takes rather than by polling. False when timeout_ms (negative: no
// limit) runs out first. Someone must be reading the channel, or an unlimited
// wait never returns.
bool WaitForLogChannelEmpty(int64_t timeout_ms = -1);

}  // namespace Nauvik
