// The Date field reader of the time values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/NTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KAVRO::NTime t(133000000000000000ULL);
  const uint64_t before = t.Value();
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!t.ParseMailDate(text) && t.Value() != before) __builtin_trap();  // failure leaves it
  return 0;
}
