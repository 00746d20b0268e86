#pragma once

#include <stdexcept>
#include <string>

#include "tests/TestSupport.h"

namespace Nauvik::Testing {

// The content tests' mails are the body-part scanner's fuzz seeds (real shapes
// and broken ones), so the fuzz replay runs every cut of them too.
inline std::string Mail(const std::string& name) {
  const std::string bytes = mstest::ReadFile(std::string(MS_TEST_MAILS) + "/" + name);
  if (bytes.empty()) throw std::runtime_error("no test mail " + name);
  return bytes;
}

}  // namespace Nauvik::Testing
