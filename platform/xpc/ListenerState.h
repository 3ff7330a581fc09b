// What a listener of the sd-bus transport shares with the connections it accepted: the accept
// handler and options, the counts its limits check, the worker that answers calls, the log of
// refusals and the report bytes that broadcasts queue on many connections at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/xpc/CallWorker.h"
#include "platform/xpc/RefusalLog.h"
#include "platform/xpc/ReportWriter.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// How long after a connection let go of much memory the listener hands it back to the system.
inline constexpr std::uint64_t kTrimDelay = 200'000;  // microseconds

// A broadcast hands the same bytes to every connection in turn; they are kept once, however many
// connections queue them, so that clients that fall behind together cost one copy. The buffers
// of reports that have been written are kept for the next ones (up to kSpareBytes), so a storm
// of reports does not cost one large allocation, and its free on the loop thread, per report.
class SharedPayloads {
 public:
  Payload get(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    if (last_ && *last_ == bytes) return last_;
    std::unique_ptr<std::string> buffer = spare_->take();
    // Buffers are made in a few sizes, so that a spare fits the next report of its kind.
    if (buffer->capacity() < bytes.size())
      buffer->reserve(std::bit_ceil(std::max(bytes.size(), kSmallest)));
    buffer->assign(bytes);
    last_ = Payload(buffer.release(), GiveBack{spare_});
    return last_;
  }

 private:
  static constexpr std::size_t kSpareBytes = 256 * 1024;
  static constexpr std::size_t kSmallest = 4096;
  static constexpr std::size_t kLargestKept = 64 * 1024;

  struct Spare {
    std::mutex mutex;
    std::vector<std::unique_ptr<std::string>> buffers;
    std::size_t bytes = 0;

    std::unique_ptr<std::string> take() {
      std::lock_guard lock(mutex);
      if (buffers.empty()) return std::make_unique<std::string>();
      std::unique_ptr<std::string> buffer = std::move(buffers.back());
      buffers.pop_back();
      bytes -= buffer->capacity();
      return buffer;
    }
    void give(std::unique_ptr<std::string> buffer) {
      const std::size_t size = buffer->capacity();
      if (size > kLargestKept) return;
      std::lock_guard lock(mutex);
      if (bytes + size > kSpareBytes) return;
      bytes += size;
      buffers.push_back(std::move(buffer));
    }
  };

  // The deleter of a payload: its buffer goes back to the spares (or is freed).
  struct GiveBack {
    std::shared_ptr<Spare> spare;
    void operator()(const std::string* buffer) const {
      spare->give(std::unique_ptr<std::string>(const_cast<std::string*>(buffer)));
    }
  };

  std::mutex mutex_;
  Payload last_;
  const std::shared_ptr<Spare> spare_ = std::make_shared<Spare>();
};

// What a listener shares with the connections it accepted.
struct ListenerState {
  explicit ListenerState(const std::string& path) : refusals("the listener at " + path) {}
  AcceptHandler accept;
  SdBusTransport::Options options;
  std::atomic<std::size_t> live{0};
  std::atomic<std::uint64_t> nextPeerName{1};
  CallWorker worker;  // runs the reply-bearing calls of every connection
  RefusalLog refusals;
  SharedPayloads payloads;
  std::uint64_t trimAt = 0;  // loop thread: when to hand freed memory back (0: nothing to do)
};

}  // namespace xpc
