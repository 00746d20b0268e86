#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Nauvik {

// Runs one AddMailToMailStore call inside its own logger: takes a
// MailStorageInsertLogger on log_directory (a parked one, or a new one when
// none is idle), runs call, and turns any exception that comes out of it
// into code_on_exception with one ERROR line. The logger is parked last,
// after the process-wide log channel has been emptied and its drain is
// done, so every line of the call (that ERROR line included) is in the log
// file when this returns. Never throws: a C host cannot take an exception.
// Any thread may call.
int32_t RunLoggedCall(const std::string& log_directory, int32_t code_on_exception,
                      const std::function<int32_t()>& call) noexcept;

// Stops and joins the threads of the loggers parked between calls (those of
// calls still running are parked, and stopped by the next call of this).
// Unloading the library and process exit do the same.
void StopParkedLoggers();

}  // namespace Nauvik
