#include "platform/xpc/PayloadPool.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace xpc {

PayloadPool& PayloadPool::shared() {
  static PayloadPool pool;
  return pool;
}

namespace {
// Rounded up to an eighth of the next power of two, so that a spare fits the next report of
// about its size while wasting little.
std::size_t roundedCapacity(std::size_t size) {
  const std::size_t step = std::max<std::size_t>(std::bit_ceil(size) / 8, 64);
  return (size + step - 1) / step * step;
}

}  // namespace

Payload PayloadPool::copy(std::string_view bytes) {
  const std::size_t capacity = roundedCapacity(bytes.size());
  std::unique_ptr<std::string> buffer = spare_->take(capacity);
  if (!buffer) {
    buffer = std::make_unique<std::string>();
    buffer->reserve(capacity);
  }
  buffer->assign(bytes);
  return Payload(buffer.release(), GiveBack{spare_});
}

std::unique_ptr<std::string> PayloadPool::Spare::take(std::size_t capacity) {
  std::lock_guard lock(mutex);
  const auto spares = byCapacity.find(capacity);
  if (spares == byCapacity.end() || spares->second.empty()) return nullptr;
  std::unique_ptr<std::string> buffer = std::move(spares->second.back());
  spares->second.pop_back();
  bytes -= capacity;
  return buffer;
}

void PayloadPool::Spare::give(std::unique_ptr<std::string> buffer) {
  const std::size_t size = buffer->capacity();
  // Only a buffer of one of the steps is ever taken again (a string's own growth, or a small
  // buffer, may leave it at another capacity).
  if (size > kLargestKept || size != roundedCapacity(size)) return;
  buffer->clear();
  std::lock_guard lock(mutex);
  if (bytes + size > kSpareBytes) return;
  bytes += size;
  byCapacity[size].push_back(std::move(buffer));
}

void PayloadPool::GiveBack::operator()(const std::string* buffer) const {
  spare->give(std::unique_ptr<std::string>(const_cast<std::string*>(buffer)));
}

}  // namespace xpc
