// The boundary every AddMailToMailStore call runs inside: what the call logs, an exception that
// comes out of it included, is in the log file by the time the boundary returns.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "entry/LoggedCall.h"
#include "log/Log.h"

namespace Nauvik {
namespace {

namespace fs = std::filesystem;

TEST(LoggedCall, WhatTheCallLogsIsInTheFileWhenItReturns) {
  const fs::path dir = fs::temp_directory_path() / ("mailstorage-call-" + std::to_string(getpid()));
  const std::string tid = std::to_string(gettid());
  // {what the call does, result, the lines it leaves}
  const std::tuple<std::function<int32_t()>, int32_t, std::string> cases[] = {
      {[] { return 1020; }, 1020, ""},
      {[]() -> int32_t { throw std::runtime_error("no thread left"); }, 1024,
       "ERROR: " + tid + ": AddMailToMailStore(): Unexpected exception: no thread left\r\n"},
      {[]() -> int32_t { throw 42; }, 1024,
       "ERROR: " + tid + ": AddMailToMailStore(): Unexpected exception.\r\n"},
  };
  for (const auto& [call, result, lines] : cases) {
    SCOPED_TRACE(lines);
    fs::remove_all(dir);
    SetLogLevel(kLogInfo);
    const int32_t code = RunLoggedCall(dir.string(), 1024, [&] {
      Log(kLogStatus, true, "in the call");
      return call();
    });
    // The lines without their time stamps ("20260304,070809.004 "), read at once: no waiting.
    std::string text = std::to_string(code) + " ";
    for (const auto& file : fs::directory_iterator(dir)) {
      std::ifstream in(file.path(), std::ios::binary);
      for (std::string line; std::getline(in, line);) text += line.substr(20) + "\n";
    }
    EXPECT_EQ(text, std::to_string(result) + " STATUS: " + tid + ": in the call\r\n" + lines);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace Nauvik
