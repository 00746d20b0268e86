#include "entry/MailStorageInsertLogger.h"

#include "log/LogChannel.h"

namespace Nauvik {
namespace {
constexpr char kStampFormat[] = "$YEAR$MONTH$DAY,$HOUR$MIN$SEC.$MSEC ";
}  // namespace

MailStorageInsertLogger::MailStorageInsertLogger(const std::string& log_directory,
                                                 const std::string& file_pattern)
    : LogBroker("MailStorageInsertLogger", GlobalLogChannel()),
      log_directory_(log_directory),
      file_pattern_(file_pattern) {}

// The broker thread calls WriteLine until it has drained the channel, so it
// must end while this object is still whole.
MailStorageInsertLogger::~MailStorageInsertLogger() { Stop(-1); }

bool MailStorageInsertLogger::Start() { return Open(log_directory_, 0); }

void MailStorageInsertLogger::WriteLine(int32_t level, const std::string& text) {
  WriteToFile(level, kStampFormat, file_pattern_, text);
}

}  // namespace Nauvik
