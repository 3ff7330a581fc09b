// What a listener of the sd-bus transport shares with the connections it accepted: the accept
// handler and options, the counts its limits check, the worker that answers calls and the log of
// refusals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/xpc/CallWorker.h"
#include "platform/xpc/RefusalLog.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// How long after a connection let go of much memory the listener hands it back to the system.
inline constexpr std::uint64_t kTrimDelay = 200'000;  // microseconds

// What a listener shares with the connections it accepted.
struct ListenerState {
  explicit ListenerState(const std::string& path) : refusals("the listener at " + path) {}
  AcceptHandler accept;
  SdBusTransport::Options options;
  std::atomic<std::size_t> live{0};
  std::atomic<std::uint64_t> nextPeerName{1};
  CallWorker worker;  // runs the reply-bearing calls of every connection
  RefusalLog refusals;
  std::uint64_t trimAt = 0;  // loop thread: when to hand freed memory back (0: nothing to do)
};

}  // namespace xpc
