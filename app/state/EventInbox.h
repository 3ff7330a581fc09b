// Event rows on their way from the thread that receives documents to the main thread's table.
// The receiving thread puts rows in one at a time; the main thread takes them in batches. While
// nobody takes (the table is paused) only the newest `capacity` rows wait. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "app/state/EventRow.h"

namespace app {

class EventInbox {
 public:
  explicit EventInbox(std::size_t capacity) : capacity_(capacity) {}

  void put(EventRow row) {
    received_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= capacity_) waiting_.pop_front();
    waiting_.push_back(std::move(row));
  }
  // A document that was not JSON still counts as received.
  void countUnreadable() {
    received_.fetch_add(1, std::memory_order_relaxed);
    unreadable_.fetch_add(1, std::memory_order_relaxed);
  }

  std::vector<EventRow> take() {
    std::deque<EventRow> taken;
    {
      std::lock_guard lock(mutex_);
      taken.swap(waiting_);
    }
    return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
  }

  std::uint64_t received() const { return received_.load(std::memory_order_relaxed); }
  std::uint64_t unreadable() const { return unreadable_.load(std::memory_order_relaxed); }

 private:
  const std::size_t capacity_;
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> unreadable_{0};
  std::mutex mutex_;
  std::deque<EventRow> waiting_;  // guarded by mutex_
};

}  // namespace app
