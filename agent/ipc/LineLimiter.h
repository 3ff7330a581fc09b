// Keeps the per-call log lines of the service (acceptance, handshake, process table) from
// flooding the log: each distinct line may be written a few times per interval; beyond that it
// is counted, and the count is written as "N similar lines suppressed" when the line is next
// allowed. The lines themselves keep their exact texts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace agent {

class LineLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // The one limiter of the agent's service lines: 20 of each line per 10 s.
  static LineLimiter& shared();

  LineLimiter(std::size_t burst, Clock::duration interval, Now now = Clock::now)
      : burst_(burst), interval_(interval), now_(std::move(now)) {}

  struct Verdict {
    bool write = false;            // write the line now
    std::uint64_t suppressed = 0;  // first write this many lines' summary (before the line)
  };
  // Whether the line `key` may be written now.
  Verdict admit(std::string_view key);

  // Starts every line's count afresh (tests that look for the lines).
  void forget();

  // The summary line for `count` suppressed copies of `line`.
  static std::string summary(std::uint64_t count, std::string_view line);

 private:
  struct Window {
    Clock::time_point start;
    std::size_t written = 0;
    std::uint64_t suppressed = 0;
  };

  const std::size_t burst_;
  const Clock::duration interval_;
  const Now now_;
  std::mutex mutex_;
  std::map<std::string, Window, std::less<>> windows_;
};

// Writes `line` to the system log through the shared limiter (with its summary first, when
// copies were suppressed). Lines that differ only in a number share one `key` (their format).
// Returns whether the line was written.
bool logLimited(std::string_view line, std::string_view key = {});

}  // namespace agent
