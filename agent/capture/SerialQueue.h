// A serial queue: one worker thread runs the submitted work in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

class SerialQueue {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}
  ~SerialQueue() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Runs `work` on the queue and waits until it has run.
  void sync(const std::function<void()>& work) {
    bool done = false;
    std::unique_lock lock(mutex_);
    pending_.push_back([&] {
      work();
      std::lock_guard doneLock(mutex_);
      done = true;
      changed_.notify_all();
    });
    changed_.notify_all();
    changed_.wait(lock, [&] { return done; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      auto work = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread worker_;
};
