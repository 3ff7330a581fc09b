// One end of a connection of the sd-bus transport, whichever side it is on. Loop thread unless
// said otherwise: sd-bus objects are touched on the connection's loop only.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/xpc/Loop.h"
#include "platform/xpc/PendingReply.h"
#include "platform/xpc/ReportWriter.h"
#include "platform/xpc/SdBusRef.h"
#include "platform/xpc/SocketTurn.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// Memory freed by a connection beyond this goes back to the system soon after.
inline constexpr std::size_t kTrimAfter = std::size_t{1} << 20;

// One end of a connection over sd-bus: the outgoing report queue and its writer, the turn-taking
// with sd-bus on the socket, delivery of incoming calls to the exported object, and the end of
// the connection. ServerChannel (an accepted client) and ClientChannel (our connection to a
// service) add what only their side does.
class BusChannel : public Channel, public Pollable, public WriteTurn {
 public:
  // The connection's life, in order; it only moves forward, but for held, which goes back to
  // running.
  enum class Life {
    connecting,      // no bus yet (a client before it has connected)
    authenticating,  // sd-bus runs the handshake
    held,            // calls are held until the exported object is ready; nothing is read
    running,
    closing,  // a close is posted; sd-bus processes nothing more
    closed,
  };

  void invalidate() override;
  void release() override;
  PeerCredentials peerCredentials() const override;
  int pollFd() const override { return bus_ ? socketFd_ : -1; }

  short pollEvents() override;
  std::uint64_t deadline() override;
  void handle(short revents) override;
  void shutdown() override { close(ESHUTDOWN); }

  bool chargeReply(std::size_t bytes) override;
  void callDone(std::size_t charged) override;
  void whenSdBusMayWrite(std::function<void()> task) override;

 protected:
  void doSend(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
              SharedErrorHandler onError) override;
  void reportError(SharedErrorHandler onError, NSError error) override;
  BusChannel(std::shared_ptr<Loop> loop, const SdBusTransport::Options& options,
             PeerCredentials peer = {})
      : loop_(std::move(loop)),
        maxQueuedBytes_(options.maxQueuedBytes),
        maxReplyBytes_(options.maxQueuedReplyBytes),
        reportPath_(options.reportPath),
        peer_(peer) {}

  // ---- What each side adds (loop thread).
  // Input events to wait for, given sd-bus's.
  virtual short inputEvents(int sdBusEvents) = 0;
  // Runs before sd-bus processes; false when the connection ended here.
  virtual bool readInput(short) { return true; }
  // The peer will send nothing more.
  virtual bool inputEnded() const { return false; }
  // A time at which handle() must run besides sd-bus's own.
  virtual std::uint64_t ownDeadline() const { return UINT64_MAX; }
  // The handshake is over: the connection runs.
  virtual void started() {}
  // A method call on the transport's own interface; true when answered here.
  virtual bool answerTransportCall(sd_bus_message*) { return false; }
  // The first call of the connection has arrived; false refuses the connection.
  virtual bool handOver() { return true; }
  // Whether a reply-bearing call may be taken now (answered with an error otherwise).
  virtual bool admitCall(sd_bus_message*) { return true; }
  // Runs the exported object's answer to a call.
  virtual void runAnswer(std::function<void()> answer) { answer(); }
  // The bytes of a report as queued.
  virtual Payload shareBytes(const std::string& bytes);
  // The error the connection ends with, given why it ended and how far it had come.
  virtual int closeCause(int error, Life /*was*/) const { return error; }
  // The connection is closing: fail what waits on this side (through `fail`).
  virtual void failPending(const std::function<void(SharedErrorHandler)>&) {}
  // The connection has closed, having held `freed` bytes.
  virtual void closed(std::size_t /*freed*/) {}
  // The queue is empty again after holding more than kTrimAfter bytes (a client that fell behind
  // during a storm). Loop thread, with the queue's lock held.
  virtual void drained() {}
  // Last, before the invalidation handler runs (unless the connection object is gone).
  virtual void ending(int /*error*/, bool /*released*/, Life /*was*/) {}

  std::shared_ptr<BusChannel> shared();

 protected:
  using Outgoing = QueuedReport;
  int newBus(UniqueFd fd);
  void makeWriter();
  int configureBus();

  // Delivers the calls that arrived before the exported object was ready.
  void deliverHeld();
  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*);
  int handleMessage(sd_bus_message* m);
  void deliver(sd_bus_message* m);
  static void replyError(sd_bus_message* m, const char* name, const std::string& text);
  // Writes queued reports while the turn (SocketTurn) lets it; what waits meanwhile stays in the
  // byte-bounded queue.
  void pump();
  // True when the report writer is done; a failure closes the connection.
  bool settle(ReportWriter::Result result);

  // Hands queued reports to the report writer; false when the queue was empty.
  bool fillRaw();
  void requestClose(int error);
  int closeError();

  // Loop thread, never from inside an sd-bus callback.
  void close(int error);

  // Whether the socket is waited on and handled: while sd-bus authenticates or runs the
  // connection, or processes what came before a close that is posted.
  bool servesSocket() const {
    return bus_ &&
           (life_ == Life::authenticating || life_ == Life::running || life_ == Life::closing);
  }
  bool isClosing() const { return life_ == Life::closing || life_ == Life::closed; }
  // Where loop-thread-only members may be touched (for debug assertions).
  bool onLoop() const { return loop_->inLoopContext(); }

  // Fixed at construction.
  const std::shared_ptr<Loop> loop_;
  const std::size_t maxQueuedBytes_;
  const std::size_t maxReplyBytes_;
  const SdBusTransport::Options::ReportPath reportPath_;

  // Loop thread only.
  BusRef bus_;
  int socketFd_ = -1;          // the peer's socket, owned by the bus
  std::size_t unflushed_ = 0;  // estimated bytes sd-bus holds unwritten
  Life life_ = Life::connecting;
  bool rerun_ = false;  // sd-bus has input left that this round's budget did not process
  std::vector<MessageRef> held_;
  SocketTurn turn_;
  std::string remoteWire_;

  // Any thread.
  mutable std::mutex mutex_;
  PeerCredentials peer_;
  std::deque<Outgoing> queue_;
  std::size_t queuedBytes_ = 0;
  // Replies not yet handed to sd-bus, in their own account: a large answer (the process table)
  // neither needs the reports' room nor takes it from them.
  std::size_t replyBytes_ = 0;
  std::size_t peakQueuedBytes_ = 0;  // since the queue was last empty
  bool pumpPosted_ = false;
  bool closed_ = false;
  int closeError_ = 0;
  bool released_ = false;
  std::atomic<std::size_t> outstanding_{0};  // reply-bearing calls not yet answered
};

}  // namespace xpc
