// sd-bus and the report writer take turns on a connection's socket. Reports go out as ready-made
// messages, many per system call, instead of one sd-bus message and one write each; they are
// handed to the writer only while sd-bus has nothing half written, and sd-bus is not called to
// write (nor to process, which may answer calls) while report bytes are half written. This part
// says whose turn it is and keeps the tasks that wait for sd-bus's. Loop thread only.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/xpc/ReportWriter.h"

namespace xpc {

class SocketTurn {
 public:
  enum class Writer {
    sdBus,    // sd-bus may write (and process); reports may start when it is not mid-message
    reports,  // report bytes are half written: sd-bus waits
    closed,   // the connection has ended: nobody writes
  };

  // The bus is set up: reports are written by `writer` (on the bus's socket).
  void start(sd_bus* bus, std::unique_ptr<ReportWriter> writer);

  Writer writer() const { return writer_; }
  bool reportsHalfWritten() const { return writer_ == Writer::reports; }
  // Reports may be handed to the writer now: it is sd-bus's turn and sd-bus is not mid-message.
  bool reportsMayStart() const;

  // Runs `task` now unless report bytes are half written, otherwise once sd-bus's turn comes
  // back or the connection has closed. A task that runs after the close finds the bus closed;
  // it still releases what it holds.
  void whenSdBusMayWrite(std::function<void()> task);

  // Writes what the report writer holds; once nothing is, the turn is sd-bus's again and the
  // tasks waiting for it run. `done` when nothing is half written (then or before).
  ReportWriter::Result flush();
  // Hands `batch` to the report writer, whose turn it is until the batch is written. Only while
  // reportsMayStart().
  ReportWriter::Result add(std::vector<QueuedReport> batch, std::string_view interface);

  // The connection ends: the writer lets go of what it holds (the error handlers of reports not
  // fully written are appended to `unwritten`) and nobody writes from now on. Returns the bytes
  // that were held. The waiting tasks stay until releaseWaiting(), once the bus is closed.
  std::size_t close(std::vector<SharedErrorHandler>& unwritten);
  void releaseWaiting();

 private:
  ReportWriter::Result settle(ReportWriter::Result result);
  void runWaiting();

  Writer writer_ = Writer::sdBus;
  sd_bus* bus_ = nullptr;  // not owned
  std::unique_ptr<ReportWriter> reportWriter_;
  std::vector<std::function<void()>> waiting_;  // for sd-bus's turn
};

}  // namespace xpc
