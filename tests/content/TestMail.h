#pragma once

// The mails the body-part and header tests use are the seed corpus of the
// body-part scanner's fuzz target (real shapes and broken ones), so the fuzz
// replay runs every cut of them under the sanitizers.

#include <stdexcept>
#include <string>

#include "tests/mime/TestBytes.h"

namespace Nauvik::Testing {

inline std::string Mail(const std::string& name) {
  const std::string bytes = ReadBytes(std::string(MS_TEST_MAILS) + "/" + name);
  if (bytes.empty()) throw std::runtime_error("no test mail " + name);
  return bytes;
}

}  // namespace Nauvik::Testing
