// The registry file reader over any bytes: whatever it keeps has names in
// their compared (upper-case) form and readable values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Nauvik::RegistryFile file = Nauvik::ParseRegistryFile(bytes);
  if (!file.loaded && file.keys.size() != 0) __builtin_trap();
  for (const auto& [key, values] : file.keys) {
    for (char c : key) {
      if (c >= 'a' && c <= 'z') __builtin_trap();
    }
    for (const auto& [name, value] : values) {
      for (char c : name) {
        if (c >= 'a' && c <= 'z') __builtin_trap();
      }
      if (value.type == Nauvik::kRegDword && value.data.size() != 4) __builtin_trap();
    }
  }
  return 0;
}
