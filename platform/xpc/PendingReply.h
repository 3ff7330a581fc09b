// A reply owed to a caller of an exported method over sd-bus, and what it needs of the
// connection the call came over (ReplyRoute). Part of the sd-bus transport.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/xpc/Loop.h"

namespace xpc {

// What a reply needs of the connection its call came over: sd-bus's turn to write on the socket
// (see SocketTurn) and the accounting of calls and their replies.
class ReplyRoute {
 public:
  virtual ~ReplyRoute() = default;
  // Runs `task` now when sd-bus may write, otherwise once it may. Loop thread only.
  virtual void whenSdBusMayWrite(std::function<void()> task) = 0;
  // Charges a reply of `bytes` to the connection's byte limit; false when it does not fit, and
  // the connection then ends. Any thread.
  virtual bool chargeReply(std::size_t bytes) = 0;
  // A reply-bearing call is over: its reply was handed to sd-bus, or it was dropped. Releases
  // the reply's charge. Loop thread.
  virtual void callDone(std::size_t charged) = 0;
};

// A reply owed to a caller. It may be given on any thread; when the exported object drops it
// without answering, the caller gets an error instead of waiting forever.
class PendingReply {
 public:
  PendingReply(std::shared_ptr<Loop> loop, std::weak_ptr<ReplyRoute> route, sd_bus_message* call,
               std::string_view signature)
      : loop_(std::move(loop)),
        route_(std::move(route)),
        call_(sd_bus_message_ref(call)),
        signature_(signature) {}
  ~PendingReply();
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  static void give(const std::shared_ptr<PendingReply>& self, std::string value);

 private:
  void sendOnLoop(const std::string& value);

  std::shared_ptr<Loop> loop_;
  std::weak_ptr<ReplyRoute> route_;
  sd_bus_message* call_;
  std::string_view signature_;  // of the reply
  std::atomic<bool> replied_{false};
  std::size_t charged_ = 0;  // set by the one give() that counts, before the last reference goes
};

}  // namespace xpc
