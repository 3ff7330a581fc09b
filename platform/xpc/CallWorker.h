// The thread that runs a listener's reply-bearing calls (the handshake and the process-table
// answer), so that a slow answer never holds up the loop that writes every client's reports.
// Calls run one at a time in arrival order, so the calls of one connection are answered in
// order.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ThreadName.h"

namespace xpc {

class CallWorker {
 public:
  CallWorker() = default;
  // Stops the thread; calls not yet run are dropped (their replies then fail).
  ~CallWorker() { stop(); }
  CallWorker(const CallWorker&) = delete;
  CallWorker& operator=(const CallWorker&) = delete;

  // Queues `call`; the thread starts with the first one. After stop() the call is dropped.
  void post(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      queue_.push_back(std::move(call));
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    changed_.notify_one();
  }

  // Waits for the call that is running, drops the rest. Not from the worker's own thread.
  void stop() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(queue_);
    }
    changed_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    // Answers yield to the loop that carries every client's events: a burst of table calls
    // then delays other answers, not the events.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNice);
    platform::nameThisThread("xpc-calls");
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      auto call = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      call();
      call = nullptr;  // what the call holds goes before the next one runs
      lock.lock();
    }
  }

  static constexpr int kNice = 10;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace xpc
