// The mbox splitter over any file: messages lie inside it, in order, without overlap, and
// unquoted and converted to CRLF they hold no bare LF.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/Inputs.h"
#include "tools/MailText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Nauvik::Import;
  // The splitter reads a file: each input goes to a memory file that ends with the process.
  static const std::string path = "/proc/self/fd/" + std::to_string(memfd_create("mbox", 0));
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  std::vector<ImportItem> items;
  std::string error;
  if (!ScanMbox(path, "Folder", &items, &error)) __builtin_trap();
  uint64_t end = 0;
  for (const ImportItem& item : items) {
    if (item.offset < 0 || static_cast<uint64_t>(item.offset) < end || !item.mbox) {
      __builtin_trap();
    }
    end = static_cast<uint64_t>(item.offset) + item.length;
    if (end > size) __builtin_trap();
    std::string crlf;
    (void)ConvertToCrlf(UnquoteMboxFrom(bytes.substr(item.offset, item.length)), &crlf);
    for (size_t i = crlf.find('\n'); i != std::string::npos; i = crlf.find('\n', i + 1)) {
      if (i == 0 || crlf[i - 1] != '\r') __builtin_trap();
    }
  }
  return 0;
}
