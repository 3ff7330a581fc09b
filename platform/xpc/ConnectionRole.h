// What one side of an sd-bus connection adds to it. A connection (BusChannel) is the same on both
// sides; it holds one role: the agent's end of a client's connection (ServerRole.h) or our end
// of a connection to a service (ClientRole.h).
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/xpc/ReportWriter.h"
#include "platform/xpc/Transport.h"

namespace xpc {

class BusChannel;

// A connection's life, in order; it only moves forward, but for held, which goes back to running.
enum class ConnectionLife {
  connecting,      // no bus yet (a client before it has connected)
  authenticating,  // sd-bus runs the handshake
  held,            // calls are held until the exported object is ready; nothing is read
  running,
  closing,  // a close is posted; sd-bus processes nothing more
  closed,
};

// How a connection ended.
struct ConnectionEnd {
  int error = 0;
  bool released = false;  // the connection object is gone: no handler runs
  ConnectionLife was = ConnectionLife::connecting;
  std::size_t freed = 0;  // bytes the connection held, queued or unwritten
};

// Loop thread unless said otherwise; each call gets the connection it is the role of.
class ConnectionRole {
 public:
  virtual ~ConnectionRole() = default;

  // ---- Admitting input.
  enum class Input {
    open,      // sd-bus may read
    peerGone,  // the peer will send nothing more: what it sent is served, then the end
    closed,    // the connection was closed here
  };
  // Input events to wait for, given sd-bus's.
  virtual short inputEvents(const BusChannel&, int sdBusEvents) const = 0;
  // A time at which the connection is handled besides sd-bus's own.
  virtual std::uint64_t deadline(const BusChannel&) const { return UINT64_MAX; }
  // Runs before sd-bus reads.
  virtual Input admitInput(BusChannel&, short /*revents*/) { return Input::open; }
  // sd-bus has processed every whole message it was given (it has none left to read).
  virtual void inputProcessed() {}

  // ---- Admitting calls.
  // A method call on the transport's own interface; true when answered here.
  virtual bool answerTransportCall(sd_bus_message*) { return false; }
  // The first call of the connection has arrived; false refuses the connection.
  virtual bool admitPeer(BusChannel&) { return true; }
  // Whether a reply-bearing call may be taken while `outstanding` others wait for their answers;
  // the role answers a call it does not take.
  virtual bool admitCall(sd_bus_message*, std::size_t /*outstanding*/) { return true; }

  // ---- Answers, reports and calls.
  // Runs the exported object's answer to a call.
  virtual void answer(std::function<void()> answer) { answer(); }
  // A call to the peer whose reply is awaited. Any thread.
  virtual void call(BusChannel&, const ipc::ProtocolMethod& method, const std::string& argument,
                    ReplyHandler reply, SharedErrorHandler onError);

  // ---- Life and end.
  // The loop serves this connection alone: it starts on resume (or invalidation) and stops on
  // release.
  virtual bool ownsLoop() const { return false; }
  // The connection was resumed.
  virtual void resumed(BusChannel&) = 0;
  // The handshake is over and the connection runs (straight from authenticating: a connection
  // whose first calls were held starts running when they are delivered, without this).
  virtual void started() {}
  // The connection is closing: fail what waits on this side (through `fail`).
  virtual void failPending(const std::function<void(SharedErrorHandler)>& /*fail*/) {}
  // The queue is empty again after holding more than kTrimAfter bytes (a client that fell behind
  // during a storm), or sd-bus has written that much. Possibly with the queue's lock held.
  virtual void drained() {}
  // Last, once the callers of what failed have been told, before the invalidation handler runs.
  virtual void closed(BusChannel&, const ConnectionEnd&) {}
};

}  // namespace xpc
