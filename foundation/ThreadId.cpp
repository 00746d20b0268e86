#include "foundation/ThreadId.h"

#include <unistd.h>

namespace KAVRO {

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(gettid());
  return id;
}

}  // namespace KAVRO
