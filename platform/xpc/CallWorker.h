// The thread that runs a listener's reply-bearing calls (the handshake and the process-table
// answer), so that a slow answer never holds up the loop that writes every client's reports.
// Calls run one at a time in arrival order, so the calls of one connection are answered in
// order.
#pragma once

#include <functional>

#include "platform/SerialQueue.h"

namespace xpc {

class CallWorker {
 public:
  // Queues `call`; the thread starts with the first one. After stop() the call is dropped.
  void post(std::function<void()> call) { queue_.async(std::move(call)); }

  // Waits for the call that is running, drops the rest (their replies then fail). Not from the
  // worker's own thread.
  void stop() { queue_.stop(); }

 private:
  // Answers yield to the loop that carries every client's events: a burst of table calls then
  // delays other answers, not the events.
  static constexpr int kNice = 10;

  platform::SerialQueue queue_{"xpc-calls", kNice};
};

}  // namespace xpc
