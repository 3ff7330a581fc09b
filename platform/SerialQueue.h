// A serial queue: one named thread runs the work posted to it, one item at a time, in the order
// it was posted. The thread starts with the first item. stop() (and the destructor) waits for the
// item that is running and drops the rest; work posted later is dropped too. A dropped item is
// destroyed without running, on the thread that stopped the queue, after the worker has ended.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/ThreadName.h"

namespace platform {

class SerialQueue {
 public:
  // `name` names the thread (at most 15 characters, the kernel's limit). A `niceness` other than
  // 0 becomes the thread's nice value: work that must yield to other threads of the process.
  explicit SerialQueue(std::string name, int niceness = 0)
      : name_(std::move(name)), niceness_(niceness) {}
  ~SerialQueue() { stop(); }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& name() const { return name_; }

  // Queues `work`; false, dropping it, once the queue has stopped.
  bool async(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      pending_.push_back(std::move(work));
      if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }
    changed_.notify_one();
    return true;
  }

  // Runs `work` on the queue and waits until it has run; false when it was dropped instead (the
  // queue stopped first). Not from the queue's own thread.
  bool sync(const std::function<void()>& work) {
    auto outcome = std::make_shared<Outcome>();
    // Told when the item is gone, run or dropped: the last copy of `signal` goes with it.
    auto signal = std::shared_ptr<void>(nullptr, [outcome](void*) { outcome->finish(); });
    const bool queued = async([&work, outcome, signal] {
      work();
      outcome->ran = true;
    });
    signal.reset();
    if (!queued) return false;
    return outcome->wait();
  }

  // Waits for the item that is running, then drops the rest. Not from the queue's own thread.
  void stop() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(pending_);
    }
    changed_.notify_one();
    if (worker_.joinable()) worker_.join();
  }

 private:
  struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;  // guarded by mutex
    bool ran = false;       // written by the worker before the item is destroyed

    void finish() {
      std::lock_guard lock(mutex);
      finished = true;
      changed.notify_all();
    }
    bool wait() {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return finished; });
      return ran;
    }
  };

  void run() {
    if (niceness_ != 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness_);
    nameThisThread(name_.c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (stopping_) return;
      auto work = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // what the item holds goes before the next one runs
      lock.lock();
    }
  }

  const std::string name_;
  const int niceness_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> pending_;  // guarded by mutex_
  bool stopping_ = false;                      // guarded by mutex_
  std::thread worker_;
};

}  // namespace platform
