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
  // Queues `task`, which writes out what the caller has just handed over (a connection's reports)
  // and runs no handler of anyone's. Posted inside a WakeBatch on another thread, it may run on
  // that thread when the batch closes, if the loop's thread is asleep meanwhile: the loop's thread
  // is then neither woken nor made to read again what the caller has just written.
  void postWrite(std::function<void()> task);
  bool onLoopThread() const;
  // Where loop-thread-only state may be touched: on the loop's thread, on a thread that runs the
  // loop's writes while it sleeps (see postWrite), and where tasks run while that thread does
  // not (before it starts, and once it has ended, one task at a time).
  bool inLoopContext() const;
  // Whether this thread runs the loop's writes while the loop's thread sleeps: what the writes
  // would hand to handlers is posted to the loop's thread instead.
  bool helping() const;

  // Loop thread only (or before start).
  void add(std::shared_ptr<Pollable> pollable);
  void remove(const Pollable* pollable);

 private:
  struct Task {
    std::function<void()> run;
    bool write = false;  // posted with postWrite
  };
  // What the loop's thread waits for in poll(): the pollables, the events asked of each, and
  // the earliest of their deadlines.
  struct Waiting {
    std::vector<std::shared_ptr<Pollable>> pollables;
    std::vector<short> events;
    std::uint64_t deadline = UINT64_MAX;
  };

  Loop();
  void main();
  void runTasks();
  void finish();
  void wake();
  void enqueue(Task task);
  // At the close of a WakeBatch: runs the writes at the head of the queue on this thread when the
  // loop's thread sleeps, and wakes it when anything is left for it.
  void writeOrWake();
  // Turn held: whether a pollable now asks for other events, or an earlier deadline, than the
  // loop's thread waits for.
  bool waitingChanged();

  UniqueFd wakeFd_;
  std::atomic<std::thread::id> threadId_{};
  std::thread thread_;

  // Held by whoever does the loop's work: its thread, but while it sleeps in poll(), when a
  // thread that has handed it writes may run them itself (postWrite). Taken before mutex_.
  std::mutex turn_;
  Waiting waiting_;  // guarded by turn_

  mutable std::mutex mutex_;  // guards the fields below
  std::vector<Task> tasks_;
  bool wakePending_ = false;
  bool started_ = false;
  bool stopping_ = false;
  bool ended_ = false;

  std::recursive_mutex afterEndMutex_;  // one task at a time once the thread has ended

  std::vector<std::shared_ptr<Pollable>> pollables_;  // loop thread only
};

}  // namespace xpc
