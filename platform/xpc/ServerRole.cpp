// The agent's end of a client's connection: its input passes the gate, its calls are answered
// on the listener's worker, and it counts toward the listener's limits.

#include "platform/xpc/ServerRole.h"

#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/xpc/BusChannel.h"
#include "platform/xpc/BusMessage.h"
#include "platform/xpc/ConnectionRole.h"
#include "platform/xpc/IncomingGate.h"

namespace xpc {
namespace {

// Socket send buffer of an accepted connection (the kernel doubles it).
constexpr int kSocketSendBuffer = 256 * 1024;

// The gate the client's input passes and the listener's limits the connection keeps to: the
// handshake's time, the size of messages, the calls waiting for answers, the replies sd-bus has
// not written yet. Counted among the listener's live connections until it closes.
class ServerRole final : public ConnectionRole {
 public:
  // `gateFd` is our end of the socket pair sd-bus reads.
  ServerRole(std::shared_ptr<ListenerState> listener, UniqueFd gateFd)
      : listener_(std::move(listener)),
        gateFd_(std::move(gateFd)),
        gate_(listener_->options.maxIncomingMessage),
        authDeadline_(monotonicMicroseconds() +
                      static_cast<std::uint64_t>(listener_->options.authTimeout.count()) * 1000u) {}

  short inputEvents(const BusChannel& connection, int) const override {
    return backedUp(connection) ? 0 : POLLIN;
  }

  std::uint64_t deadline(const BusChannel& connection) const override {
    return connection.life() == ConnectionLife::authenticating ? authDeadline_ : UINT64_MAX;
  }

  // Reads what the client wrote and feeds what the gate lets through to sd-bus.
  Input admitInput(BusChannel& connection, short revents) override {
    if (connection.life() == ConnectionLife::authenticating &&
        monotonicMicroseconds() >= authDeadline_) {
      listener_->refusals.note(RefusalLog::authTimeout);
      connection.close(ETIMEDOUT);
      return Input::closed;
    }
    // Nothing more is read while sd-bus still has unprocessed input, so that its end of the pair
    // never holds more than one round of bytes.
    if (!(revents & (POLLIN | POLLHUP | POLLERR)) || backedUp(connection) || clientGone_ ||
        connection.rerunPending()) {
      return clientGone_ ? Input::peerGone : Input::open;
    }
    char buffer[16 * 1024];
    std::string forward;
    for (int round = 0; round < 4; ++round) {
      const ssize_t n = ::recv(connection.socketFd(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      if (n <= 0) {
        // Gone (or failed): what it sent before is still served, then the connection ends.
        clientGone_ = true;
        break;
      }
      if (gate_.take(std::string_view(buffer, static_cast<std::size_t>(n)), forward) !=
          IncomingGate::Verdict::pass) {
        listener_->refusals.note(RefusalLog::messageSize);
        connection.close(EMSGSIZE);
        return Input::closed;
      }
    }
    for (std::size_t at = 0; at < forward.size();) {
      const ssize_t n = ::send(gateFd_.get(), forward.data() + at, forward.size() - at,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // sd-bus reads its end after every round, so this only fails when the bus is broken.
        connection.close(errno == EAGAIN ? ENOBUFS : errno);
        return Input::closed;
      }
      at += static_cast<std::size_t>(n);
    }
    return clientGone_ ? Input::peerGone : Input::open;
  }

  bool answerTransportCall(sd_bus_message* m) override {
    if (std::string_view(sd_bus_message_get_interface(m)) != kBusInterface ||
        sd_bus_message_is_method_call(m, nullptr, "Hello") <= 0) {
      return false;
    }
    const std::string name = ":1." + std::to_string(listener_->nextPeerName++);
    sd_bus_reply_method_return(m, "s", name.c_str());
    return true;
  }

  bool admitPeer(BusChannel& connection) override {
    if (handedOver_) return true;
    handedOver_ = true;
    return listener_->accept && listener_->accept(connection.shared());
  }

  bool admitCall(sd_bus_message* m, std::size_t outstanding) override {
    if (outstanding < listener_->options.maxOutstandingCalls) return true;
    listener_->refusals.note(RefusalLog::callLimit);
    replyError(m, SD_BUS_ERROR_LIMITS_EXCEEDED, "Too many calls waiting for their answers");
    return false;
  }

  // The listener's worker answers, so that building a reply never holds up this loop.
  void answer(std::function<void()> answer) override { listener_->worker.post(std::move(answer)); }

  void resumed(BusChannel& connection) override { connection.deliverHeld(); }

  // So does one whose backlog has been written.
  void drained() override { listener_->trimAt = monotonicMicroseconds() + kTrimDelay; }

  void closed(BusChannel&, const ConnectionEnd& end) override {
    listener_->live--;
    // A connection that held much gives it back to the system, not only to the allocator. The
    // listener trims a little later, once connections that fell behind together (sharing their
    // reports) have all ended and their last references are gone.
    if (end.freed >= kTrimAfter) listener_->trimAt = monotonicMicroseconds() + kTrimDelay;
    // A client closed for falling behind has lost what it was not sent: said in the log.
    if (end.error == ENOBUFS) listener_->refusals.note(RefusalLog::fellBehind);
  }

 private:
  // sd-bus holds this many bytes of answers it could not write yet, so stop reading.
  bool backedUp(const BusChannel& connection) const {
    return connection.unflushed() >= listener_->options.replyBacklog;
  }

  const std::shared_ptr<ListenerState> listener_;
  const UniqueFd gateFd_;
  IncomingGate gate_;
  const std::uint64_t authDeadline_;  // while authenticating
  bool clientGone_ = false;
  bool handedOver_ = false;  // to the listener's accept handler, with the first call
};

}  // namespace

// sd-bus writes to the client's socket directly but reads from a socket pair that we feed with
// what the client wrote once the gate has let it through. The peer's credentials were checked on
// accept; sd-bus sees ours on its end of the pair, so it is told to take the uid a client names
// in its EXTERNAL authentication as it stands (anonymous mode).
std::shared_ptr<Pollable> startServerChannel(std::shared_ptr<Loop> loop,
                                             std::shared_ptr<ListenerState> listener, UniqueFd fd,
                                             PeerCredentials peer) {
  sd_id128_t id;
  if (sd_id128_randomize(&id) < 0) return nullptr;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
    return nullptr;
  }
  UniqueFd busInput(pair[0]);
  const SdBusTransport::Options& options = listener->options;
  auto channel = std::make_shared<BusChannel>(
      std::move(loop), options,
      std::make_unique<ServerRole>(std::move(listener), UniqueFd(pair[1])), peer);
  const int r = channel->startBus(std::move(fd), std::move(busInput), [id](sd_bus* bus) {
    int r = sd_bus_set_server(bus, 1, id);
    if (r >= 0) r = sd_bus_set_anonymous(bus, 1);
    return r;
  });
  if (r < 0) return nullptr;
  // sd-bus asks for 8 MiB of socket buffer; what a stalled client cannot take should wait in our
  // byte-bounded queue instead, so keep the kernel's share small.
  const int sendBuffer = kSocketSendBuffer;
  ::setsockopt(channel->socketFd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  return channel;
}

}  // namespace xpc
