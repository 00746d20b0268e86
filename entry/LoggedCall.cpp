#include "entry/LoggedCall.h"

#include <exception>

#include "entry/MailStorageInsertLogger.h"
#include "log/Log.h"
#include "log/LogChannel.h"

namespace Nauvik {
namespace {
constexpr char kLogFilePattern[] = "MailStorage_$YEAR_$STRMONTH_$DAY.log";
}  // namespace

int32_t RunLoggedCall(const std::string& log_directory, int32_t code_on_exception,
                      const std::function<int32_t()>& call) noexcept {
  int32_t result = code_on_exception;
  try {
    MailStorageInsertLogger logger(log_directory, kLogFilePattern);
    const bool logging = logger.Start();
    // The store turns every database failure into a code. What could still
    // come out (memory exhaustion, a thread that cannot be started) is
    // logged while the logger still runs.
    try {
      result = call();
    } catch (const std::exception& e) {
      Log(kLogError, true, std::string("AddMailToMailStore(): Unexpected exception: ") + e.what());
    } catch (...) {
      Log(kLogError, true, "AddMailToMailStore(): Unexpected exception.");
    }
    // Everything this call logged is in the channel; once it is empty the
    // brokers have taken it, and stopping ours waits for its last line.
    // A logger that never started drains nothing: do not wait for it.
    if (logging) (void)GlobalLogChannel().WaitUntilEmpty(-1);
  } catch (...) {
    // The logger itself could not be built: there is nowhere to log to.
  }
  return result;
}

}  // namespace Nauvik
