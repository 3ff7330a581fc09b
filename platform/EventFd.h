// An eventfd that another thread's poll() waits on: the way a thread is told to stop, or to look
// at work queued for it.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/UniqueFd.h"

namespace platform {

// Non-blocking and closed on exec; invalid (errno set) when the system refuses one.
inline UniqueFd makeEventFd() {
  return UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

// Makes `eventFd` readable; nothing when it is invalid.
inline void signalEventFd(const UniqueFd& eventFd) {
  if (!eventFd) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(eventFd.get(), &one, sizeof one);
}

}  // namespace platform
