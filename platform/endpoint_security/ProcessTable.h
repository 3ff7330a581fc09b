// The processes alive on the machine as the event source knows them, keyed by pid. The process
// source fills it once from /proc and then keeps it from events alone; the other sources read it
// to name the process behind their events. Safe to use from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
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
  void put(ProcessImage image);
  // Changes the entry of `pid` in place, when there is one; returns whether there was.
  bool update(pid_t pid, const std::function<void(ProcessImage&)>& change);
  // Removes the entry of `pid` and returns it.
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
  std::atomic<int> keepers_{0};
  mutable std::shared_mutex mutex_;
  std::unordered_map<pid_t, ProcessImage> images_;
};

}  // namespace platform::es
