#include "platform/xpc/PayloadPool.h"

#include <algorithm>
#include <bit>

#include "platform/Unshared.h"

namespace xpc {

PayloadPool& PayloadPool::shared() {
  static PayloadPool pool;
  return pool;
}

namespace {
// Rounded up to an eighth of the next power of two, so that a kept buffer fits the next report of
// about its size while wasting little.
std::size_t roundedCapacity(std::size_t size) {
  const std::size_t step = std::max<std::size_t>(std::bit_ceil(size) / 8, 64);
  return (size + step - 1) / step * step;
}

std::shared_ptr<std::string> newBuffer(std::size_t capacity) {
  auto buffer = std::make_shared<std::string>();
  buffer->reserve(capacity);
  return buffer;
}

}  // namespace

Payload PayloadPool::copy(std::string_view bytes) {
  const std::size_t capacity = roundedCapacity(bytes.size());
  std::shared_ptr<std::string> buffer;
  if (capacity <= kLargestKept) {
    std::lock_guard lock(mutex_);
    Ring& ring = rings_[capacity];
    if (!ring.buffers.empty() && platform::onlyHolder(ring.buffers[ring.next])) {
      buffer = ring.buffers[ring.next];
    } else if (pooledBytes_ + capacity <= kPooledBytes) {
      buffer = newBuffer(capacity);
      // Just before the one handed out longest ago: this one is now the newest.
      ring.buffers.insert(ring.buffers.begin() + static_cast<std::ptrdiff_t>(ring.next), buffer);
      pooledBytes_ += capacity;
    }
    // Taken, or still held by a client that falls behind: the next report looks at the next one,
    // so one slow connection does not keep the others' buffers from coming back.
    if (!ring.buffers.empty()) ring.next = (ring.next + 1) % ring.buffers.size();
  }
  // Too large to keep, or the pool is spent (its buffers all wait to be written): the payload's
  // own.
  if (!buffer) buffer = newBuffer(capacity);
  buffer->assign(bytes);
  return buffer;
}

}  // namespace xpc
