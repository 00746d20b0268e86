// The body-part scanner over any bytes: rows stay inside the mail, parents come earlier.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "content/BodyStructure.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view mail(reinterpret_cast<const char*>(data), size);
  int64_t next_id = 0;
  const bool ok = Nauvik::ScanBodyStructure(mail, 0, 0, 1, [&](Nauvik::BodyPartRow& row) {
    row.id = ++next_id;
    if (row.body_end > size || row.hdr_start > row.body_end || row.body_start > row.body_end ||
        (row.body_start != 0 && row.body_start < row.hdr_start) || row.parent_id >= row.id) {
      __builtin_trap();
    }
    return true;
  });
  if (!ok || next_id == 0) __builtin_trap();
  return 0;
}
