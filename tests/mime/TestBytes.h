#pragma once

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace Nauvik::Testing {

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef MS_TEST_MAILS
// The content tests' mails are the body-part scanner's fuzz seeds (real shapes
// and broken ones), so the fuzz replay runs every cut of them too.
inline std::string Mail(const std::string& name) {
  const std::string bytes = ReadBytes(std::string(MS_TEST_MAILS) + "/" + name);
  if (bytes.empty()) throw std::runtime_error("no test mail " + name);
  return bytes;
}
#endif

}  // namespace Nauvik::Testing
