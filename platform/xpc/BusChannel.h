// One end of a connection of the sd-bus transport, whichever side it is on. Loop thread unless
// said otherwise: sd-bus objects are touched on the connection's loop only.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/xpc/ConnectionRole.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/PendingReply.h"
#include "platform/xpc/ReportFramer.h"
#include "platform/xpc/ReportQueue.h"
#include "platform/xpc/ReportWriter.h"
#include "platform/xpc/SdBusRef.h"
#include "platform/xpc/SocketTurn.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// One end of a connection over sd-bus, whichever side it is on: the outgoing report queue and
// its writer, the turn-taking with sd-bus on the socket (SocketTurn), delivery of incoming calls
// to the exported object, and the end of the connection. What only one side does is its role
// (ConnectionRole), a member.
class BusChannel final : public Channel, public Pollable, public ReplyRoute {
 public:
  using Life = ConnectionLife;

  BusChannel(std::shared_ptr<Loop> loop, const SdBusTransport::Options& options,
             std::unique_ptr<ConnectionRole> role, PeerCredentials peer = {});

  void resume() override;
  void invalidate() override;
  void release() override;
  PeerCredentials peerCredentials() const override;
  void reportError(SharedErrorHandler onError, NSError error) override;

  int pollFd() const override { return bus_ ? socketFd_ : -1; }
  short pollEvents() override;
  std::uint64_t deadline() override;
  void handle(short revents) override;
  void shutdown() override { close(ESHUTDOWN); }

  bool chargeReply(std::size_t bytes) override;
  void callDone(std::size_t charged) override;
  void whenSdBusMayWrite(std::function<void()> task) override;

  // ---- For the roles. Loop thread.
  // Makes `socket` the connection's bus and starts the handshake: sd-bus writes to `socket` and
  // reads `input` (the socket itself when none is given); `configure` adds what the side needs
  // first. Negative errno when the bus cannot be set up.
  int startBus(UniqueFd socket, UniqueFd input, const std::function<int(sd_bus*)>& configure);
  // Delivers the calls that arrived before the exported object was ready.
  void deliverHeld();
  // Hands a report read past sd-bus to the exported object, as if sd-bus had delivered it; false
  // (nothing done) when sd-bus must deliver it instead: the connection does not run yet, or the
  // exported object does not take it as a one-way call, which sd-bus answers as it always does.
  bool deliverReport(const ReportFramer::Report& report);
  // Never from inside an sd-bus callback.
  void close(int error);
  // Why the connection ended (ENOTCONN before it says). Any thread.
  int closeError();
  // Who serves the socket (a client learns it on connecting). Any thread.
  void setPeer(PeerCredentials peer);
  // The connection was lost after it ran: the interruption handler runs.
  void interrupted() { fireInterruption(); }

  Life life() const { return life_; }
  sd_bus* bus() const { return bus_.get(); }
  int socketFd() const { return socketFd_; }
  const std::shared_ptr<Loop>& loop() const { return loop_; }
  // Estimated bytes sd-bus holds unwritten.
  std::size_t unflushed() const { return unflushed_; }
  // sd-bus has input left that the last round's budget did not process.
  bool rerunPending() const { return rerun_; }
  bool reportsHalfWritten() const { return turn_.reportsHalfWritten(); }
  std::shared_ptr<BusChannel> shared();
  // Where loop-thread-only members may be touched (for debug assertions).
  bool onLoop() const { return loop_->inLoopContext(); }

 protected:
  void doSend(const ipc::ProtocolMethod& method, Payload argument,
              SharedErrorHandler onError) override;
  void doCall(const ipc::ProtocolMethod& method, const std::string& argument, ReplyHandler reply,
              SharedErrorHandler onError) override;

 private:
  void makeWriter();
  int configureBus();

  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*);
  int handleMessage(sd_bus_message* m);
  void deliver(sd_bus_message* m);
  // Writes queued reports while the turn (SocketTurn) lets it; what waits meanwhile stays in the
  // byte-bounded queue.
  void pump();
  // True when the report writer is done; a failure closes the connection.
  bool settle(ReportWriter::Result result);
  // Hands queued reports to the report writer; false when the queue was empty.
  bool fillRaw();
  void requestClose(int error);

  // Whether the socket is waited on and handled: while sd-bus authenticates or runs the
  // connection, or processes what came before a close that is posted.
  bool servesSocket() const {
    return bus_ &&
           (life_ == Life::authenticating || life_ == Life::running || life_ == Life::closing);
  }
  bool isClosing() const { return life_ == Life::closing || life_ == Life::closed; }

  // Fixed at construction.
  const std::shared_ptr<Loop> loop_;
  const SdBusTransport::Options::ReportPath reportPath_;
  const std::unique_ptr<ConnectionRole> role_;

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
  ReportQueue queue_;
  std::atomic<bool> released_{false};
  std::atomic<std::size_t> outstanding_{0};  // reply-bearing calls not yet answered
  mutable std::mutex peerMutex_;
  PeerCredentials peer_;
};

}  // namespace xpc
