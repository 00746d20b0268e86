#include "foundation/ThreadId.h"

#include <pthread.h>
#include <unistd.h>

namespace KAVRO {
namespace {

thread_local uint32_t cached_id = 0;

// A forked child runs on a copy of the forking thread, cache included; its
// log lines must carry the child's id, not the parent's.
[[maybe_unused]] const int forget_in_child =
    pthread_atfork(nullptr, nullptr, [] { cached_id = 0; });

}  // namespace

uint32_t CurrentThreadId() {
  if (cached_id == 0) cached_id = static_cast<uint32_t>(gettid());
  return cached_id;
}

}  // namespace KAVRO
