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

// Whether a spare of `capacity` is spent on `size` bytes: growing it would double it, and a
// client that falls behind holds thousands of payloads while its limit counts their bytes, so a
// large spare is not spent on a small report either.
bool fits(std::size_t capacity, std::size_t size) {
  return capacity >= size && capacity <= size + size / 4 + 64;
}
}  // namespace

Payload PayloadPool::copy(std::string_view bytes) {
  std::unique_ptr<std::string> buffer;
  {
    std::lock_guard lock(spare_->mutex);
    if (!spare_->buffers.empty() && fits(spare_->buffers.back()->capacity(), bytes.size())) {
      buffer = std::move(spare_->buffers.back());
      spare_->buffers.pop_back();
      spare_->bytes -= buffer->capacity();
    }
  }
  if (!buffer) {
    buffer = std::make_unique<std::string>();
    buffer->reserve(roundedCapacity(bytes.size()));
  }
  buffer->assign(bytes);
  return Payload(buffer.release(), GiveBack{spare_});
}

void PayloadPool::Spare::give(std::unique_ptr<std::string> buffer) {
  const std::size_t size = buffer->capacity();
  if (size > kLargestKept) return;
  buffer->clear();
  std::lock_guard lock(mutex);
  if (bytes + size > kSpareBytes) return;
  bytes += size;
  buffers.push_back(std::move(buffer));
}

void PayloadPool::GiveBack::operator()(const std::string* buffer) const {
  spare->give(std::unique_ptr<std::string>(const_cast<std::string*>(buffer)));
}

}  // namespace xpc
