// Counts the clients and messages a listener turns away and writes them to the system log at
// most once per interval, with the counts, so that a flood of refusals costs one line each time
// instead of one line per refusal.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace xpc {

class RefusalLog {
 public:
  enum Reason : std::size_t {
    connectionLimit,  // too many connections at once
    credentials,      // neither root nor the allowed group
    messageSize,      // a message (or the authentication) larger than the protocol needs
    authTimeout,      // no complete handshake in time
    callLimit,        // too many calls of one connection waiting for their answers
    fellBehind,       // so far behind reading what it was sent that the connection was closed
    kReasons
  };

  using Clock = std::chrono::steady_clock;

  explicit RefusalLog(std::string what, Clock::duration interval = std::chrono::seconds(10))
      : what_(std::move(what)), interval_(interval) {}

  // Counts one refusal; writes the counts gathered so far when the last line is an interval old.
  void note(Reason reason);
  // The line the counts make, for example "xpc: <what> refused 3 over the connection limit,
  // 1 with a message over the size limit in the last 10 s"; empty when nothing was counted.
  std::string summary() const;
  // Every refusal counted since this object was made.
  std::uint64_t total(Reason reason) const;

 private:
  std::string summaryLocked() const;

  const std::string what_;
  const Clock::duration interval_;
  mutable std::mutex mutex_;
  std::array<std::uint64_t, kReasons> pending_{};
  std::array<std::uint64_t, kReasons> totals_{};
  Clock::time_point lastLine_{};
  bool wroteOnce_ = false;
};

}  // namespace xpc
