// The reports a connection has yet to write, bounded in bytes, and the account of its replies not
// yet handed to sd-bus. Once closed, both refuse. Any thread: other threads queue reports and
// answer calls while the connection's loop takes reports to write.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/xpc/ReportWriter.h"

namespace xpc {

// Memory freed by a connection beyond this goes back to the system soon after.
inline constexpr std::size_t kTrimAfter = std::size_t{1} << 20;

class ReportQueue {
 public:
  ReportQueue(std::size_t maxReportBytes, std::size_t maxReplyBytes)
      : maxReportBytes_(maxReportBytes), maxReplyBytes_(maxReplyBytes) {}

  // Queues `report` (taken only when queued), whose argument is `size` bytes. 0, or why it is not
  // queued: the close error (ENOTCONN before one is said), EMSGSIZE for a report D-Bus cannot
  // carry, or ENOBUFS when the peer has fallen behind (the queue then closes: the connection must
  // end). `wake` is set when the connection's writer sleeps and must be woken.
  int push(QueuedReport& report, std::size_t size, bool& wake);

  enum class Charge {
    charged,
    refused,   // the queue is closed
    overflow,  // it does not fit: the queue closes with ENOBUFS and the connection must end
  };
  // Charges a reply of `bytes` to the account of replies.
  Charge chargeReply(std::size_t bytes);
  // Gives back what a reply was charged.
  void releaseReply(std::size_t bytes);

  // Takes the reports next in line, about `batchBytes` of them. None when nothing waits: the
  // writer then sleeps until a push wakes it, and `backlog` says whether the queue held more than
  // kTrimAfter bytes since it was last empty.
  std::vector<QueuedReport> take(std::size_t batchBytes, bool& backlog);

  struct Closed {
    int error = 0;  // the first error the queue closed with
    std::deque<QueuedReport> dropped;
    std::size_t bytes = 0;  // of the reports dropped
  };
  // Closes with `error` unless it closed before; hands back what waited.
  Closed close(int error);
  // Why the queue closed (ENOTCONN before one is said).
  int closeError() const;

 private:
  const std::size_t maxReportBytes_;
  const std::size_t maxReplyBytes_;
  mutable std::mutex mutex_;  // guards the fields below
  std::deque<QueuedReport> queue_;
  std::size_t queuedBytes_ = 0;
  // Replies not yet handed to sd-bus, in their own account: a large answer (the process table)
  // neither needs the reports' room nor takes it from them.
  std::size_t replyBytes_ = 0;
  std::size_t peakQueuedBytes_ = 0;  // since the queue was last empty
  bool writerAwake_ = false;  // a push has woken the writer and it has not found the queue empty
  bool closed_ = false;
  int closeError_ = 0;
};

}  // namespace xpc
