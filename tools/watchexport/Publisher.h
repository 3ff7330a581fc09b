// Publishes the spool to JetStream in order and acknowledges what the stream stored.
//
// Documents go out in windows of up to `maxPending` asynchronous publishes; the next window
// leaves once every acknowledgement of the last one is in. Each message carries the machine's
// id, the exporter epoch and the sequence number in headers and as its message id
// ("<host>-<epoch>-<sequence>", unique across resets of the state directory), so a document sent
// again after a lost acknowledgement is recognised by the stream and stored once. When a publish
// fails, what follows the first failure is sent again, starting with one document at a time until
// the stream stores again; while no server is connected nothing is sent at all. That keeps the
// stream's order per machine. Only a failure followed by a success within one window (the
// stream losing and regaining its leader in less time than a window takes) could store a later
// document before an earlier one; every window is checked for it and such a case is logged.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/fleet/Nats.h"
#include "tools/watchexport/Spool.h"

namespace watchexport {

class Publisher {
 public:
  struct Settings {
    std::string host;
    std::uint64_t epoch = 0;  // see Epoch.h
    std::size_t maxPending = 256;
    std::chrono::milliseconds ackWait{5000};
  };

  struct Counters {
    std::uint64_t stored = 0;
    std::uint64_t duplicates = 0;  // acknowledged as already stored (a resend)
    std::uint64_t failures = 0;
    std::uint64_t outOfOrder = 0;
  };

  Publisher(Spool& spool, Settings settings);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Connects (keeping on trying in the background while no server answers) and starts the
  // publishing thread. False with `error` when the options are unusable.
  bool start(const fleet::NatsSettings& nats, std::string& error);
  // Stops after the window in flight; what is not acknowledged stays in the spool.
  void stop();
  Counters counters() const;

 private:
  struct Result {
    bool stored = false;
    bool duplicate = false;
    std::string error;
  };

  static void onAck(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* failure, void* closure);
  void run(std::stop_token stop);
  // Sends the first `count` records and waits for their results; returns how many leading
  // records were stored, with the first failure's reason in `error`.
  std::size_t send(const std::vector<Record>& batch, std::size_t count, std::stop_token stop,
                   std::string& error);
  void noteOutage(std::uint64_t sequence, const std::string& error);
  void noteRecovery();

  Spool& spool_;
  const Settings settings_;
  const std::string idPrefix_;
  const std::string epoch_;
  std::unique_ptr<fleet::Link> link_;

  std::mutex mutex_;
  std::condition_variable_any resultsArrived_;
  std::map<std::uint64_t, Result> results_;

  mutable std::mutex countersMutex_;
  Counters counters_;
  bool outage_ = false;
  // Set before the connection is closed on purpose; shared with the library's callback, which
  // may run after this object is gone.
  std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
  std::chrono::steady_clock::time_point outageSince_;
  std::uint64_t droppedBeforeOutage_ = 0;
  std::jthread thread_;
};

}  // namespace watchexport
