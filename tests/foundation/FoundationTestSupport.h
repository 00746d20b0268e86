#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

namespace KAVRO::test {

// The text of the std::runtime_error f throws, or "(no error)".
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

inline int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

}  // namespace KAVRO::test
