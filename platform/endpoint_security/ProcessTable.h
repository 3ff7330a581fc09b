// The processes alive on the machine as the event source knows them, keyed by pid. The process
// source fills it once from /proc and then keeps it from events alone; the other sources read it
// to name the process behind their events. Safe to use from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "platform/endpoint_security/ProcessImage.h"

namespace platform::es {

class ProcessTable {
 public:
  std::optional<ProcessImage> find(pid_t pid) const;
  // Also a process that ended a moment ago: events that name their process by pid (a file
  // written, a record logged) are often read after the process has gone.
  std::optional<ProcessImage> findLiveOrDeparted(pid_t pid) const;
  // Waits up to `limit` for the process source to learn of `pid` (its records may still be on
  // their way when another source's event names a process that came and went at once).
  std::optional<ProcessImage> awaitLiveOrDeparted(pid_t pid, std::chrono::milliseconds limit) const;
  void put(ProcessImage image);
  // Changes the entry of `pid` in place, when there is one; returns whether there was.
  bool update(pid_t pid, const std::function<void(ProcessImage&)>& change);
  // Removes the entry of `pid` and returns it; it stays findable as departed for a while.
  std::optional<ProcessImage> take(pid_t pid);
  void replaceAll(std::unordered_map<pid_t, ProcessImage> images);
  std::vector<ProcessImage> snapshot() const;
  std::vector<pid_t> pids() const;
  std::size_t size() const;

  // Whether a process source keeps the table now (it is then a true picture of the machine).
  bool kept() const { return keepers_.load(std::memory_order_acquire) > 0; }
  void startKeeping() { keepers_.fetch_add(1, std::memory_order_acq_rel); }
  void stopKeeping() { keepers_.fetch_sub(1, std::memory_order_acq_rel); }

 private:
  static constexpr std::size_t kDepartedKept = 512;

  std::atomic<int> keepers_{0};
  mutable std::condition_variable_any changed_;
  mutable std::atomic<int> waiters_{0};
  std::deque<ProcessImage> departed_;  // the most recently ended, newest last
  mutable std::shared_mutex mutex_;
  std::unordered_map<pid_t, ProcessImage> images_;
};

}  // namespace platform::es
