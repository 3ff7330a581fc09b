// Whether a buffer handed out by reference has come back: only its keeper still holds it.
#pragma once

#include <atomic>
#include <memory>

namespace platform {

// True when `kept` is the only reference left, so its keeper may write to what it points to:
// whoever let go last (on any thread) did so before this returns (the fence pairs with the
// release in that reference count's decrement).
template <class T>
bool onlyHolder(const std::shared_ptr<T>& kept) {
  if (!kept || kept.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

}  // namespace platform
