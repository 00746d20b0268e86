#pragma once

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

}  // namespace KAVRO::test
