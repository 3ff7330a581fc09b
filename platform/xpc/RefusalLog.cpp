#include "platform/xpc/RefusalLog.h"

#include <string_view>

#include "platform/log/Log.h"

namespace xpc {
namespace {

constexpr std::array<std::string_view, RefusalLog::kReasons> kWhat = {
    "over the connection limit",
    "with credentials other than root or the allowed group",
    "with a message over the size limit",
    "that did not authenticate in time",
    "calls over the limit of calls waiting for an answer",
    "that fell behind reading what they were sent by more than the limit (closed)"};

}  // namespace

void RefusalLog::note(Reason reason) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    ++pending_[reason];
    ++totals_[reason];
    const auto now = Clock::now();
    if (wroteOnce_ && now - lastLine_ < interval_) return;
    line = summaryLocked();
    pending_ = {};
    lastLine_ = now;
    wroteOnce_ = true;
  }
  platform::log::write(line);
}

std::string RefusalLog::summary() const {
  std::lock_guard lock(mutex_);
  return summaryLocked();
}

std::uint64_t RefusalLog::total(Reason reason) const {
  std::lock_guard lock(mutex_);
  return totals_[reason];
}

std::string RefusalLog::summaryLocked() const {
  std::string line;
  for (std::size_t i = 0; i < kReasons; ++i) {
    if (pending_[i] == 0) continue;
    line += line.empty() ? "xpc: " + what_ + " refused " : ", ";
    line += std::to_string(pending_[i]);
    line += ' ';
    line += kWhat[i];
  }
  if (!line.empty()) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval_).count();
    line += " (at most one such line every " + std::to_string(seconds) + " s)";
  }
  return line;
}

}  // namespace xpc
