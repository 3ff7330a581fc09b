// Buffers for report bytes. A broadcast copies its document into one, once, and every connection
// it reaches queues that payload by reference. The pool keeps its own reference to each buffer it
// hands out, up to kPooledBytes of them: once every connection has written the payload (or let it
// go), the pool's is the only one left and the buffer serves a later report of about its size.
// A storm of reports then costs no allocation and no free per report, and the loop threads that
// write them never touch the pool. Buffers are sized to their bytes, not to what the encoder
// reserved, since a client that falls behind holds thousands of them. Any thread.
#pragma once

#include <cstddef>
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

  // `bytes` as an immutable payload, in a kept buffer when one of its size is free.
  Payload copy(std::string_view bytes);

 private:
  static constexpr std::size_t kPooledBytes = 256 * 1024;
  static constexpr std::size_t kLargestKept = 64 * 1024;

  // The buffers of one capacity step, in the order they were last handed out: connections write
  // their reports in order, so the one handed out longest ago is the first to be free again.
  struct Ring {
    std::vector<std::shared_ptr<std::string>> buffers;
    std::size_t next = 0;  // the one handed out longest ago
  };

  std::mutex mutex_;  // guards the fields below
  // By capacity, each one of roundedCapacity()'s steps: the documents of a storm alternate
  // between sizes (fork, exec, exit), and each takes a buffer of its own step.
  std::unordered_map<std::size_t, Ring> rings_;
  std::size_t pooledBytes_ = 0;
};

}  // namespace xpc
