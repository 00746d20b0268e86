// Header value decoding (folding, encoded words in any charset, 8-bit text)
// and the sort subject made from its result.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "content/HeaderSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string utf8 = Nauvik::DecodeHeaderValue(raw);
  const std::string sort = Nauvik::MakeSortSubject(utf8);
  if (sort.size() > utf8.size() * 2 + 16) __builtin_trap();
  std::u16string wide;
  std::string error;
  (void)Nauvik::Utf8ToUtf16(utf8, &wide, &error);
  return 0;
}
