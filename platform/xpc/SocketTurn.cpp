#include "platform/xpc/SocketTurn.h"

#include <poll.h>

#include <cassert>

namespace xpc {

void SocketTurn::start(sd_bus* bus, std::unique_ptr<ReportWriter> writer) {
  bus_ = bus;
  reportWriter_ = std::move(writer);
}

bool SocketTurn::reportsMayStart() const {
  if (writer_ != Writer::sdBus || !bus_ || !reportWriter_) return false;
  const int events = sd_bus_get_events(bus_);
  return events >= 0 && !(events & POLLOUT);
}

void SocketTurn::whenSdBusMayWrite(std::function<void()> task) {
  if (writer_ == Writer::reports) {
    waiting_.push_back(std::move(task));
  } else {
    task();
  }
}

ReportWriter::Result SocketTurn::flush() {
  if (writer_ != Writer::reports) return {};
  return settle(reportWriter_->flush());
}

ReportWriter::Result SocketTurn::add(std::vector<QueuedReport> batch, std::string_view interface) {
  assert(writer_ == Writer::sdBus && reportWriter_);
  return settle(reportWriter_->add(std::move(batch), interface));
}

ReportWriter::Result SocketTurn::settle(ReportWriter::Result result) {
  switch (result.status) {
    case ReportWriter::Status::done:
      writer_ = Writer::sdBus;
      runWaiting();
      break;
    case ReportWriter::Status::blocked:
      writer_ = Writer::reports;
      break;
    case ReportWriter::Status::failed:
      break;  // the connection closes, which closes the turn
  }
  assert(!reportWriter_ || reportWriter_->halfWritten() == (writer_ == Writer::reports) ||
         result.status == ReportWriter::Status::failed);
  return result;
}

std::size_t SocketTurn::close(std::vector<SharedErrorHandler>& unwritten) {
  writer_ = Writer::closed;
  bus_ = nullptr;
  if (!reportWriter_) return 0;
  return reportWriter_->drop(unwritten);
}

void SocketTurn::releaseWaiting() {
  assert(writer_ == Writer::closed);
  runWaiting();
}

void SocketTurn::runWaiting() {
  if (waiting_.empty()) return;
  auto tasks = std::move(waiting_);
  waiting_.clear();
  for (auto& task : tasks) task();
}

}  // namespace xpc
