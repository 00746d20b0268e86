#pragma once

#include <cstdint>

namespace KAVRO {

// The kernel's id of the calling thread (gettid), as the system tools show it.
// Read once per thread and kept, so it is cheap enough for every log line and
// every connection lookup.
uint32_t CurrentThreadId();

}  // namespace KAVRO
