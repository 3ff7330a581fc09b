// The processes alive on the machine as the event source knows them, keyed by pid. The process
// source fills it once from /proc and then keeps it from events alone; the other sources read it
// to name the process behind their events. Safe to use from any thread.
//
// Another source's event happened at a moment the process source may not have read up to yet
// (an exec still in its ring): such a reader first asks the table to catch up to that moment,
// then asks which image the process had then, as an exec after it must not rename it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/endpoint_security/process/ProcessImage.h"

namespace platform::es {

class ProcessTable {
 public:
  std::optional<ProcessImage> find(pid_t pid) const;
  // Also a process that ended a moment ago: events that name their process by pid (a file
  // written, a record logged) are often read after the process has gone.
  std::optional<ProcessImage> findLiveOrDeparted(pid_t pid) const;
  // The image `pid` had at `atNs` (CLOCK_MONOTONIC): the newest one, live or ended, that began
  // by then. An image from before the table was filled counts as begun at any time.
  std::optional<ProcessImage> findAt(pid_t pid, std::uint64_t atNs) const;
  // Refreshes what the table knows of a process without starting a new image of it (ids, group
  // and session changed); a process not known yet counts as there from any time.
  void put(ProcessImage image);
  // A new image of `image.pid`, from `sinceNs` on (its fork or exec); the one it replaces stays
  // findable at the times before.
  void put(ProcessImage image, std::uint64_t sinceNs);
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

  // The process sources' side of catching up (each client's source keeps the same table):
  // `readNow` asks the source `owner` to read what it has pending, and must return at once;
  // reached() says up to which moment every change is in the table. After removeReader returns,
  // the owner's readNow is not called any more.
  void addReader(const void* owner, std::function<void()> readNow);
  void removeReader(const void* owner);
  void reached(std::uint64_t monotonicNs);
  // Waits at most `limit` until every change up to `atNs` is in the table; false when it is not
  // (no source that can be asked, or it did not get there in time).
  bool catchUp(std::uint64_t atNs, std::chrono::microseconds limit) const;

 private:
  static constexpr std::size_t kPastKept = 512;

  struct Entry {
    ProcessImage image;
    std::uint64_t sinceNs = 0;  // 0: from before the table was filled
  };
  void keepPast(Entry entry);  // mutex_ held

  std::atomic<int> keepers_{0};
  mutable std::shared_mutex mutex_;
  std::unordered_map<pid_t, Entry> images_;
  // Images ended or replaced by an exec: a ring of kPastKept, filled in place once full (a
  // storm's execs and exits would otherwise allocate and free a block every few entries).
  std::vector<Entry> past_;
  std::size_t pastNext_ = 0;  // where the next one goes: once full, the oldest

  mutable std::mutex readerMutex_;
  mutable std::condition_variable reachedChanged_;
  std::vector<std::pair<const void*, std::function<void()>>> readers_;
  std::atomic<std::uint64_t> reached_{0};
};

// Fills `table` again with every process of `proc`'s tree (after lost events, or at start). An
// entry whose parent is unchanged keeps its original parent, which only its fork told.
void rescanProcesses(ProcessTable& table, ExecutableCache& executables, const ProcReader& proc);

}  // namespace platform::es
