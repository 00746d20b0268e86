// Maildir file names (delivery time, flags) and modified UTF-7 folder names over any bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/MailText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Nauvik::Import;
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  (void)MaildirDeliveryTime(name);
  const MaildirFlags flags = ParseMaildirFlags(name);
  if (flags.other.size() > size) __builtin_trap();
  const auto decoded = DecodeModifiedUtf7(name);
  // At most four UTF-8 bytes per input byte pair; anything far beyond is a runaway.
  if (decoded && decoded->size() > 4 * size + 4) __builtin_trap();
  return 0;
}
