// Lets a thread that hands many items to other threads in a row (a source delivering a storm's
// events) wake each of those threads once, when the run ends, instead of once per item: while a
// WakeBatch is open on a thread, the wake-ups it asks for wait for the outermost batch to close.
//
// Inside a batch, nothing may wait for work it handed over: that work's thread is not woken yet.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace platform {

class WakeBatch {
 public:
  WakeBatch() { ++state().depth; }
  ~WakeBatch() {
    State& s = state();
    if (--s.depth > 0) return;
    // A wake-up may hand over more (and ask for more wake-ups): run until none is left.
    while (!s.pending.empty()) {
      std::vector<std::function<void()>> wakes;
      wakes.swap(s.pending);
      for (auto& wake : wakes) wake();
    }
  }
  WakeBatch(const WakeBatch&) = delete;
  WakeBatch& operator=(const WakeBatch&) = delete;

  // Whether a batch is open on this thread.
  static bool open() { return state().depth > 0; }
  // Runs `wake` when the outermost batch of this thread closes (call only while open()).
  static void defer(std::function<void()> wake) { state().pending.push_back(std::move(wake)); }

 private:
  struct State {
    int depth = 0;
    std::vector<std::function<void()>> pending;
  };
  static State& state() {
    thread_local State s;
    return s;
  }
};

}  // namespace platform
