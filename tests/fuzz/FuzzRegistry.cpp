// The registry file reader over any bytes keeps names in their compared form (upper case,
// one "\" between key parts). A hex(4) DWORD may hold any number of bytes; readers check.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Nauvik::RegistryFile file = Nauvik::ParseRegistryFile(bytes);
  if (!file.loaded && file.keys.size() != 0) __builtin_trap();
  const auto lower = [](const std::string& s) {
    return std::ranges::any_of(s, [](char c) { return c >= 'a' && c <= 'z'; });
  };
  for (const auto& [key, values] : file.keys) {
    if (lower(key) || (!key.empty() && (key.front() == '\\' || key.back() == '\\')) ||
        key.find("\\\\") != std::string::npos) {
      __builtin_trap();
    }
    for (const auto& [name, value] : values) {
      if (lower(name)) __builtin_trap();
    }
  }
  return 0;
}
