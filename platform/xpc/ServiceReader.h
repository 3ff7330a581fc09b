// What a service writes to our client connection, read by us rather than by sd-bus: the socket
// is read in large chunks, many messages per system call (sd-bus reads each message with two and
// never past it), and the service's reports go to the exported object directly, without sd-bus
// parsing them. sd-bus reads everything else from a socket pair, in the order it came, and a
// report is handed over directly only once sd-bus has processed all it was given before it (a
// call's reply reaches its handler before the reports written after it).
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

#include "platform/UniqueFd.h"
#include "platform/xpc/ReportFramer.h"

namespace xpc {

class BusChannel;

// Loop thread only.
class ServiceReader {
 public:
  // Makes the socket pair; returns the end sd-bus reads (empty on failure, errno says why).
  platform::UniqueFd start();
  // Input events to wait for, given sd-bus's.
  short inputEvents(int sdBusEvents) const;
  // Bytes already read wait to be handed on: the loop comes back for them at once.
  std::uint64_t deadline() const { return waiting_ ? 0 : UINT64_MAX; }
  // Reads what the service wrote and hands it on, before sd-bus processes; false when the
  // connection was closed here.
  bool admit(BusChannel& connection, short revents);
  // sd-bus has processed every whole message it was given.
  void processed() { sdBusBusy_ = false; }
  void close() { busInput_.reset(); }

 private:
  // Bytes read from the service's socket per system call, and calls per wake-up.
  static constexpr std::size_t kReadChunk = 64 * 1024;
  static constexpr int kReadRounds = 4;
  // The largest message D-Bus carries (sd-bus's own limit); a larger one ends the connection.
  static constexpr std::size_t kMaxMessage = std::size_t{128} << 20;
  // Reports up to this size are held whole and handed over directly; larger ones (rare) go
  // through sd-bus as they arrive, so that little is held here.
  static constexpr std::size_t kMaxDirectReport = std::size_t{1} << 20;

  // Hands on what was read, in order: reports directly while sd-bus has processed all it was
  // given (so that a reply sd-bus reads before a report reaches its handler first), the rest to
  // sd-bus. Sets waiting_ when bytes are left for a later round. False when the connection was
  // closed.
  bool serve(BusChannel& connection);

  platform::UniqueFd busInput_;  // our end of the socket pair sd-bus reads
  ReportFramer framer_{kMaxMessage, kMaxDirectReport};
  bool sdBusBusy_ = false;    // sd-bus was given input it may not have processed yet
  bool waiting_ = false;      // bytes read wait for a later round
  bool serviceGone_ = false;  // the service closed the socket (or it failed)
  bool inputEnded_ = false;   // sd-bus's input was shut once it had everything
};

}  // namespace xpc
