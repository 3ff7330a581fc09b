#include "platform/endpoint_security/client/ReaderThread.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/EventFd.h"
#include "platform/ThreadName.h"
#include "platform/log/Log.h"

namespace platform::es {

bool ReaderThread::open() {
  wake_ = platform::makeEventFd();
  return static_cast<bool>(wake_);
}

void ReaderThread::start(const char* name, std::function<void()> body) {
  name_ = name;
  stopping_.store(false, std::memory_order_release);
  thread_ = std::thread([this, body = std::move(body)] {
    platform::nameThisThread(name_.c_str());
    body();
  });
}

void ReaderThread::wake() {
  platform::signalEventFd(wake_);
}

void ReaderThread::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true, std::memory_order_release);
  platform::signalEventFd(wake_);
  thread_.join();
}

ReaderThread::Wakeup ReaderThread::wait(std::span<pollfd> fds, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  if (stopping()) return Wakeup{.stop = true};
  polled_.assign(1, pollfd{wake_.get(), POLLIN, 0});
  polled_.insert(polled_.end(), fds.begin(), fds.end());
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int timeout = timeoutMs;
  for (;;) {
    const int ready = ::poll(polled_.data(), polled_.size(), timeout);
    if (ready >= 0) break;
    if (errno != EINTR) {
      NSLog("EndpointSecurity: %s: poll failed: %s", name_.c_str(), std::strerror(errno));
      return Wakeup{.stop = true};
    }
    if (timeout < 0) continue;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    timeout = static_cast<int>(left > 0 ? left : 0);
  }
  if (stopping()) return Wakeup{.stop = true};
  Wakeup seen;
  if (polled_[0].revents != 0) {
    seen.woken = true;
    std::uint64_t wakes = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &wakes, sizeof wakes);
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    fds[i].revents = polled_[i + 1].revents;
    if (fds[i].revents != 0) ++seen.ready;
  }
  return seen;
}

}  // namespace platform::es
