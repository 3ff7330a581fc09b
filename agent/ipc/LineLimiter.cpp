#include "agent/ipc/LineLimiter.h"

#include "platform/log/Log.h"

namespace agent {

LineLimiter& LineLimiter::shared() {
  static LineLimiter limiter(20, std::chrono::seconds(10));
  return limiter;
}

LineLimiter::Verdict LineLimiter::admit(std::string_view key) {
  const auto now = now_();
  std::lock_guard lock(mutex_);
  auto it = windows_.find(key);
  if (it == windows_.end()) it = windows_.emplace(std::string(key), Window{now}).first;
  Window& window = it->second;
  Verdict verdict;
  if (now - window.start >= interval_) {
    verdict.suppressed = window.suppressed;
    window = Window{now};
  }
  if (window.written < burst_) {
    ++window.written;
    verdict.write = true;
  } else {
    ++window.suppressed;
  }
  return verdict;
}

void LineLimiter::forget() {
  std::lock_guard lock(mutex_);
  windows_.clear();
}

std::string LineLimiter::summary(std::uint64_t count, std::string_view line) {
  return std::to_string(count) + " similar lines suppressed (\"" + std::string(line) + "\")";
}

bool logLimited(std::string_view line, std::string_view key) {
  if (key.empty()) key = line;
  const LineLimiter::Verdict verdict = LineLimiter::shared().admit(key);
  if (verdict.suppressed) platform::log::write(LineLimiter::summary(verdict.suppressed, key));
  if (verdict.write) platform::log::write(line);
  return verdict.write;
}

}  // namespace agent
