#include "foundation/Channel.h"

#include <chrono>

namespace KAVRO {

int Alternative::Select(int64_t timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<Syncronize*> objects;
  std::vector<int> indexes;
  for (;;) {
    objects.clear();
    indexes.clear();
    for (const auto& [index, guard] : guards_) {
      objects.push_back(guard.watch);
      indexes.push_back(index);
    }
    int64_t left = timeout_ms;
    if (timeout_ms > 0) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      left = spent >= timeout_ms ? 0 : timeout_ms - spent;
    }
    const int fired = WaitForAny(objects, left);
    if (fired < 0) return -1;
    if (Execute(indexes[fired])) return indexes[fired];
    // Another thread took the value or the slot first.
    if (left == 0) return -1;
  }
}

bool Alternative::Execute(int index) {
  auto it = guards_.find(index);
  if (it == guards_.end()) {
    throw std::runtime_error("Internal error in Alternative::Execute: missing map entry");
  }
  const Guard& g = it->second;
  if (g.cmd == kNoChannel) return true;
  if (g.value == nullptr) {
    throw std::runtime_error("Internal error in Alternative::Execute: Data pointer is null");
  }
  if (g.channel == nullptr) {
    throw std::runtime_error("Internal error in Alternative::Execute: Channel pointer is null");
  }
  ChannelDefs::Result result;
  if (g.cmd == kPut) {
    g.channel->_PutAlternative(&result, g.value, g.flag);
  } else if (g.cmd == kGet) {
    g.channel->_GetAlternative(&result, g.value);
  } else {
    throw std::runtime_error("Internal error in Alternative::Execute: Illegal cmd");
  }
  return result.success;
}

}  // namespace KAVRO
