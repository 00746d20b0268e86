#pragma once

// The parser's result type. Hostile mail is ordinary input, so parsers report
// failure by value and never throw. The reason is a static text (no
// allocation on the failure path); callers that keep it copy it.

#include <string_view>

namespace Nauvik::MimeParse {

class [[nodiscard]] Status {
 public:
  static constexpr Status Ok() { return Status(); }
  static constexpr Status Error(std::string_view reason) { return Status(reason); }

  constexpr bool ok() const { return reason_.empty(); }
  // Empty when ok().
  constexpr std::string_view reason() const { return reason_; }

 private:
  constexpr Status() = default;
  constexpr explicit Status(std::string_view reason) : reason_(reason) {}
  std::string_view reason_;  // always points at a string literal
};

}  // namespace Nauvik::MimeParse
