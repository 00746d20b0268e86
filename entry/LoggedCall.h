#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Nauvik {

// Runs one AddMailToMailStore call inside its own logger: starts a
// MailStorageInsertLogger on log_directory, runs call, and turns any
// exception that comes out of it into code_on_exception with one ERROR line.
// The logger is stopped last, after the process-wide log channel has been
// emptied, so every line of the call (that ERROR line included) is in the
// log file when this returns. Never throws: a C host cannot take an
// exception. Any thread may call.
int32_t RunLoggedCall(const std::string& log_directory, int32_t code_on_exception,
                      const std::function<int32_t()>& call) noexcept;

}  // namespace Nauvik
