// Writes a connection's reports (one-way calls carrying one byte array) to its socket, taking
// turns with sd-bus, which writes everything else. Two ways, measured with bench_broadcast
// (2,001-byte document to real client processes, 2 cores shared with the clients; reports are
// handed over 64 KiB at a time, only while sd-bus has nothing queued):
//
//   path                                       1 client         8 clients       agent CPU/doc
//   batched: a header per report and the       308,535 docs/s   66,091 docs/s   1.21 / 4.69 us
//            queued bytes, many per sendmsg    313,037          65,252          1.12 / 4.71 us
//            (BatchedReportWriter)
//   plain:   one sd_bus_send per report        251,703 docs/s   24,987 docs/s   3.18 / 27.44 us
//            (PlainReportWriter)               259,545          26,679          3.07 / 24.30 us
//
// (two runs each, on a machine shared with other work; CPU with 1 / 8 clients). The batched
// path takes 2.6-5.8x less agent CPU per document and carries 1.2x the documents to one client
// and 2.5-2.6x to eight, so it is the one the agent uses and sd-bus keeps no loop of its own;
// the plain path stays as the yardstick (bench_broadcast prints both side by side). Writing the
// queued bytes in place, rather than copying every report into one buffer first, took the
// batched path from 1.37-1.44 / 6.72-7.27 us to the figures above.
//
// Loop thread only. Every call returns a status instead of acting on the connection: the
// channel decides what a failure means.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/Transport.h"

namespace xpc {

struct QueuedReport {
  const ipc::ProtocolMethod* method = nullptr;
  Payload payload;
  SharedErrorHandler onError;
};

class ReportWriter {
 public:
  enum class Status {
    done,     // nothing is left half written
    blocked,  // the socket is full; call flush() again once it is writable
    failed,   // the connection cannot go on; `error` says why
  };
  struct Result {
    Status status = Status::done;
    int error = 0;
  };

  virtual ~ReportWriter() = default;
  // Takes reports, in order, for the remote interface `interface` and starts writing them. Only
  // while nothing is held (halfWritten() is false).
  virtual Result add(std::vector<QueuedReport> batch, std::string_view interface) = 0;
  // Writes what is held.
  virtual Result flush() = 0;
  // Bytes are held unwritten: sd-bus must not write until flush() is done.
  virtual bool halfWritten() const = 0;
  // The connection ends: appends the error handlers of the reports not fully written and lets go
  // of everything held. Returns the bytes that were held.
  virtual std::size_t drop(std::vector<SharedErrorHandler>& unwritten) = 0;
};

// Ready-made messages, many per write, straight to `fd` (not owned).
std::unique_ptr<ReportWriter> makeBatchedReportWriter(int fd);
// One sd-bus message and sd_bus_send per report, on `bus` (not owned).
std::unique_ptr<ReportWriter> makePlainReportWriter(sd_bus* bus);

// Appends one D-Bus method call (little-endian, no reply expected) at path "/" with one
// byte-array argument, ready to be written to the socket.
void appendReport(std::string& out, std::uint32_t serial, std::string_view interface,
                  std::string_view member, std::string_view payload);

}  // namespace xpc
