// The one thread of a source that waits on the kernel's descriptors and reads them: named, woken
// through an eventfd, stopped and joined by the source's stop(). The body is the source's loop;
// it waits with wait(), which returns what is ready, or tells the body to end.
//
// Threads: start(), stop() and the destructor are the owning source's (never the body's);
// wake() is any thread's; wait() and stopping() are the body's (stopping() also anyone's).
#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

namespace platform::es {

class ReaderThread {
 public:
  // What one wait() saw.
  struct Wakeup {
    bool stop = false;   // the body is to end: stop() was called, or polling failed (logged)
    bool woken = false;  // wake() was called since the last wait
    int ready = 0;       // entries of the caller's descriptors with events; revents says which
    // Whether the body goes on.
    explicit operator bool() const { return !stop; }
    // Nothing ready and nobody woke the thread: the timeout passed.
    bool timedOut() const { return !stop && !woken && ready == 0; }
  };

  ReaderThread() = default;
  ~ReaderThread() { stop(); }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

  // Makes the wake eventfd; false (errno set) when the system refuses one. Before start().
  bool open();
  // Runs `body` on a new thread called `name` (at most 15 characters).
  void start(const char* name, std::function<void()> body);
  // Asks the body to look at its work: the current or next wait() returns `woken`. Wake-ups
  // before that wait merge into one.
  void wake();
  // Ends the body's current or next wait() with `stop` and joins the thread. Nothing when the
  // thread is not running; once it returns, the body has ended.
  void stop();

  // The body's wait: polls `fds` and the wake eventfd for up to `timeoutMs` (-1: no limit). A
  // signal does not end it early.
  Wakeup wait(std::span<pollfd> fds, int timeoutMs);
  Wakeup wait(int timeoutMs) { return wait({}, timeoutMs); }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  bool running() const { return thread_.joinable(); }

 private:
  UniqueFd wake_;
  std::atomic<bool> stopping_{false};
  std::string name_;
  std::vector<pollfd> polled_;  // the body's: the wake eventfd, then the caller's descriptors
  std::thread thread_;
};

}  // namespace platform::es
