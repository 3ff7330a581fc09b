// The thread that serves a listener and its connections (or one client connection): a poll loop
// over the registered file descriptors plus a queue of tasks posted from other threads.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"

namespace xpc {

using platform::UniqueFd;

std::uint64_t monotonicMicroseconds();

class Pollable {
 public:
  virtual ~Pollable() = default;
  virtual int pollFd() const = 0;
  // Events to wait for now; 0 waits for none.
  virtual short pollEvents() = 0;
  // CLOCK_MONOTONIC microseconds at which handle() runs even without events; UINT64_MAX: never.
  virtual std::uint64_t deadline() { return UINT64_MAX; }
  virtual void handle(short revents) = 0;
  // The loop is ending: close without waiting for anything.
  virtual void shutdown() = 0;
};

class Loop : public std::enable_shared_from_this<Loop> {
 public:
  static std::shared_ptr<Loop> create();
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  void start();
  // Ends the thread and shuts every pollable down. From another thread it waits for the end;
  // from the loop's own thread the loop ends after the current task.
  void stop();

  // Runs `task` on the loop's thread: now when called there, otherwise soon. Once the loop has
  // ended, tasks run on the caller's thread, one at a time.
  void run(std::function<void()> task);
  // Always queues, even on the loop's thread (for work that must not run inside a callback).
  void post(std::function<void()> task);
  bool onLoopThread() const;
  // Where loop-thread-only state may be touched: on the loop's thread, and where tasks run while
  // that thread does not (before it starts, and once it has ended, one task at a time).
  bool inLoopContext() const;

  // Loop thread only (or before start).
  void add(std::shared_ptr<Pollable> pollable);
  void remove(const Pollable* pollable);

 private:
  Loop();
  void main();
  void runTasks();
  void finish();
  void wake();

  UniqueFd wakeFd_;
  std::atomic<std::thread::id> threadId_{};
  std::thread thread_;

  mutable std::mutex mutex_;  // guards the fields below
  std::vector<std::function<void()>> tasks_;
  bool wakePending_ = false;
  bool started_ = false;
  bool stopping_ = false;
  bool ended_ = false;

  std::recursive_mutex afterEndMutex_;  // one task at a time once the thread has ended

  std::vector<std::shared_ptr<Pollable>> pollables_;  // loop thread only
};

}  // namespace xpc
