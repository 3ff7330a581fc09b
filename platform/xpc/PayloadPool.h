// Buffers for report bytes. A broadcast copies its document into one, once, and every connection
// it reaches queues that payload by reference; once the last of them has written it (or let it
// go), the buffer comes back here for a later report of about its size, up to kSpareBytes of
// them, so that a storm
// of reports does not cost one allocation, and its free on a loop thread, per report. Buffers are
// sized to their bytes, not to what the encoder reserved, since a client that falls behind holds
// thousands of them. Any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xpc/Values.h"

namespace xpc {

class PayloadPool {
 public:
  static PayloadPool& shared();

  // `bytes` as an immutable payload, in a spare buffer when one is at hand.
  Payload copy(std::string_view bytes);

 private:
  static constexpr std::size_t kSpareBytes = 256 * 1024;
  static constexpr std::size_t kLargestKept = 64 * 1024;

  // Spare buffers by capacity, each capacity one of roundedCapacity()'s steps: the documents of
  // a storm alternate between sizes (fork, exec, exit), and a report takes a spare of its own
  // step rather than missing whenever the last one given back was of another.
  struct Spare {
    std::mutex mutex;
    std::unordered_map<std::size_t, std::vector<std::unique_ptr<std::string>>> byCapacity;
    std::size_t bytes = 0;
    std::unique_ptr<std::string> take(std::size_t capacity);
    void give(std::unique_ptr<std::string> buffer);
  };

  // The deleter of a payload: its buffer goes back to the spares (or is freed). It holds them,
  // so payloads may outlive the pool.
  struct GiveBack {
    std::shared_ptr<Spare> spare;
    void operator()(const std::string* buffer) const;
  };

  const std::shared_ptr<Spare> spare_ = std::make_shared<Spare>();
};

}  // namespace xpc
