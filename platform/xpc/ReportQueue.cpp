#include "platform/xpc/ReportQueue.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace xpc {

int ReportQueue::push(QueuedReport& report, std::size_t size, bool& wake) {
  // Charged in full to each connection: the limit is how far one client may fall behind.
  const std::size_t cost = size + kQueuedSendOverhead;
  std::lock_guard lock(mutex_);
  if (closed_) return closeError_ ? closeError_ : ENOTCONN;
  if (size > kMaxByteArray) return EMSGSIZE;  // D-Bus cannot carry it; the connection is fine
  if (queuedBytes_ + cost > maxReportBytes_) {
    // The peer is not keeping up: end the connection rather than lose reports silently.
    closed_ = true;
    closeError_ = ENOBUFS;
    return ENOBUFS;
  }
  queue_.push_back(std::move(report));
  queuedBytes_ += cost;
  peakQueuedBytes_ = std::max(peakQueuedBytes_, queuedBytes_);
  wake = !writerAwake_;
  writerAwake_ = true;
  return 0;
}

ReportQueue::Charge ReportQueue::chargeReply(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  if (closed_) return Charge::refused;
  if (replyBytes_ + bytes <= maxReplyBytes_) {
    replyBytes_ += bytes;
    return Charge::charged;
  }
  closed_ = true;
  closeError_ = ENOBUFS;
  return Charge::overflow;
}

void ReportQueue::releaseReply(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  if (!closed_) replyBytes_ -= std::min(replyBytes_, bytes);
}

std::vector<QueuedReport> ReportQueue::take(std::size_t batchBytes, bool& backlog) {
  std::vector<QueuedReport> batch;
  std::lock_guard lock(mutex_);
  if (queue_.empty()) {
    writerAwake_ = false;
    backlog = peakQueuedBytes_ >= kTrimAfter;
    peakQueuedBytes_ = 0;
    return batch;
  }
  std::size_t bytes = 0;
  while (!queue_.empty() && bytes < batchBytes) {
    bytes += queue_.front().payload->size() + 128;
    queuedBytes_ -= queue_.front().payload->size() + kQueuedSendOverhead;
    batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return batch;
}

ReportQueue::Closed ReportQueue::close(int error) {
  Closed closed;
  std::lock_guard lock(mutex_);
  closed_ = true;
  if (!closeError_) closeError_ = error;
  closed.error = closeError_;
  closed.dropped.swap(queue_);
  closed.bytes = std::exchange(queuedBytes_, 0);
  return closed;
}

int ReportQueue::closeError() const {
  std::lock_guard lock(mutex_);
  return closeError_ ? closeError_ : ENOTCONN;
}

}  // namespace xpc
