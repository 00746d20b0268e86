#pragma once

#include <cstdint>
#include <string>

#include "log/LogBroker.h"

namespace Nauvik {

// The log broker of one AddMailToMailStore call: it writes every message of
// the process-wide log channel as a line of the daily file named by its
// pattern in its directory, stamped "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ".
// The live log service stays off (port 0). Constructed idle; Start() runs the
// broker thread, the destructor stops and joins it. Used by one thread at a
// time (with parking, by each call that takes it in turn).
class MailStorageInsertLogger final : public LogBroker {
 public:
  MailStorageInsertLogger(const std::string& log_directory, const std::string& file_pattern);
  ~MailStorageInsertLogger() override;

  // Opens the broker on the configured directory with live-log port 0.
  bool Start() override;

  const std::string& ConfiguredDirectory() const { return log_directory_; }

 protected:
  void WriteLine(int32_t level, const std::string& text) override;

 private:
  std::string log_directory_;
  std::string file_pattern_;
};

}  // namespace Nauvik
