// The registry file reader over any bytes: whatever it keeps has names in
// their compared form (upper case, one "\" between the parts of a key).
// A DWORD written as hex(4) may hold any number of bytes; readers check.
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
    if ((!key.empty() && (key.front() == '\\' || key.back() == '\\')) ||
        key.find("\\\\") != std::string::npos) {
      __builtin_trap();
    }
    for (const auto& [name, value] : values) {
      for (char c : name) {
        if (c >= 'a' && c <= 'z') __builtin_trap();
      }
    }
  }
  return 0;
}
