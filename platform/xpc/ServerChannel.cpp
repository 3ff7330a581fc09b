// The agent's end of a client's connection: its input passes the gate, its calls are answered
// on the listener's worker, and it counts toward the listener's limits.

#include "platform/xpc/ServerChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>

#include <cassert>
#include <string>
#include <string_view>

#include "platform/xpc/BusChannel.h"
#include "platform/xpc/BusMessage.h"
#include "platform/xpc/IncomingGate.h"

namespace xpc {
namespace {

// Socket send buffer of an accepted connection (the kernel doubles it).
constexpr int kSocketSendBuffer = 256 * 1024;

class ServerChannel final : public BusChannel {
 public:
  // start() makes the accepted socket a bus.
  ServerChannel(std::shared_ptr<Loop> loop, std::shared_ptr<ListenerState> listener, UniqueFd fd,
                PeerCredentials peer)
      : BusChannel(loop, listener->options, peer),
        listener_(std::move(listener)),
        pendingFd_(std::move(fd)),
        gate_(listener_->options.maxIncomingMessage) {}

  // Loop thread. Negative errno when the bus cannot be set up; the socket is closed then.
  //
  // sd-bus writes to the client's socket directly but reads from a socket pair that we feed
  // with what the client wrote once the gate has let it through. The peer's credentials were
  // checked on accept; sd-bus sees ours on its end of the pair, so it is told to take the uid a
  // client names in its EXTERNAL authentication as it stands (anonymous mode).
  int start() {
    sd_id128_t id;
    int r = sd_id128_randomize(&id);
    if (r < 0) return r;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
      return -errno;
    }
    UniqueFd busInput(pair[0]);
    gateFd_ = UniqueFd(pair[1]);
    UniqueFd client = std::move(pendingFd_);
    sd_bus* bus = nullptr;
    if ((r = sd_bus_new(&bus)) < 0) return r;
    bus_ = BusRef(bus);
    life_ = Life::authenticating;
    if ((r = sd_bus_set_fd(bus_.get(), busInput.get(), client.get())) < 0) return r;
    socketFd_ = client.release();  // the bus closes both from now on
    busInput.release();
    if ((r = configureBus()) < 0) return r;
    if ((r = sd_bus_set_server(bus_.get(), 1, id)) < 0) return r;
    if ((r = sd_bus_set_anonymous(bus_.get(), 1)) < 0) return r;
    if ((r = sd_bus_start(bus_.get())) < 0) return r;
    makeWriter();
    // sd-bus asks for 8 MiB of socket buffer; what a stalled client cannot take should wait in
    // our byte-bounded queue instead, so keep the kernel's share small.
    const int sendBuffer = kSocketSendBuffer;
    ::setsockopt(socketFd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    authDeadline_ = monotonicMicroseconds() +
                    static_cast<std::uint64_t>(listener_->options.authTimeout.count()) * 1000u;
    counted_ = true;
    return 0;
  }

  void resume() override {
    if (!markResumed()) return;
    auto self = std::static_pointer_cast<ServerChannel>(shared_from_this());
    loop_->post([self] { self->deliverHeld(); });
  }

 protected:
  void doCall(const ipc::ProtocolMethod& method, const std::string&, ReplyHandler,
              SharedErrorHandler onError) override {
    reportError(std::move(onError),
                makeError(ENOTSUP, std::string(method.member) + ": the service makes no calls"));
  }

  short inputEvents(int) override { return backedUp() ? 0 : POLLIN; }
  bool inputEnded() const override { return clientGone_; }
  std::uint64_t ownDeadline() const override {
    return life_ == Life::authenticating ? authDeadline_ : UINT64_MAX;
  }

  // sd-bus holds this many bytes of answers it could not write yet, so stop reading.
  bool backedUp() const { return unflushed_ >= listener_->options.replyBacklog; }

  // Reads what the client wrote and feeds what the gate lets through to
  // sd-bus. False when the connection ended here.
  bool readInput(short revents) override {
    if (life_ == Life::authenticating && monotonicMicroseconds() >= authDeadline_) {
      listener_->refusals.note(RefusalLog::authTimeout);
      close(ETIMEDOUT);
      return false;
    }
    // Nothing more is read while sd-bus still has unprocessed input (rerun_), so that its end of
    // the pair never holds more than one round of bytes.
    if (!(revents & (POLLIN | POLLHUP | POLLERR)) || backedUp() || clientGone_ || rerun_) {
      return true;
    }
    char buffer[16 * 1024];
    std::string forward;
    for (int round = 0; round < 4; ++round) {
      const ssize_t n = ::recv(socketFd_, buffer, sizeof buffer, MSG_DONTWAIT);
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
        close(EMSGSIZE);
        return false;
      }
    }
    for (std::size_t at = 0; at < forward.size();) {
      const ssize_t n = ::send(gateFd_.get(), forward.data() + at, forward.size() - at,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // sd-bus reads its end after every round, so this only fails when the bus is broken.
        close(errno == EAGAIN ? ENOBUFS : errno);
        return false;
      }
      at += static_cast<std::size_t>(n);
    }
    return true;
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

  bool handOver() override {
    if (handedOver_) return true;
    handedOver_ = true;
    return listener_->accept && listener_->accept(shared_from_this());
  }

  bool admitCall(sd_bus_message* m) override {
    if (outstanding_.load() < listener_->options.maxOutstandingCalls) return true;
    listener_->refusals.note(RefusalLog::callLimit);
    replyError(m, SD_BUS_ERROR_LIMITS_EXCEEDED, "Too many calls waiting for their answers");
    return false;
  }

  // The listener's worker answers, so that building a reply never holds up this loop.
  void runAnswer(std::function<void()> answer) override {
    listener_->worker.post(std::move(answer));
  }

  Payload shareBytes(const std::string& bytes) override { return listener_->payloads.get(bytes); }

  void closed(std::size_t freed) override {
    if (counted_) {
      listener_->live--;
      counted_ = false;
    }
    // A connection that held much gives it back to the system, not only to the allocator. The
    // listener trims a little later, once connections that fell behind together (sharing their
    // reports) have all ended and their last references are gone.
    if (freed >= kTrimAfter) listener_->trimAt = monotonicMicroseconds() + kTrimDelay;
  }

  // So does one whose backlog has been written.
  void drained() override { listener_->trimAt = monotonicMicroseconds() + kTrimDelay; }

  // A client closed for falling behind has lost what it was not sent: said in the log.
  void ending(int error, bool /*released*/, Life /*was*/) override {
    if (error == ENOBUFS) listener_->refusals.note(RefusalLog::fellBehind);
  }

 private:
  const std::shared_ptr<ListenerState> listener_;
  UniqueFd pendingFd_;
  UniqueFd gateFd_;  // our end of sd-bus's input
  IncomingGate gate_;
  std::uint64_t authDeadline_ = 0;  // while authenticating
  bool clientGone_ = false;
  bool counted_ = false;
  bool handedOver_ = false;
};

}  // namespace

std::shared_ptr<Pollable> startServerChannel(std::shared_ptr<Loop> loop,
                                             std::shared_ptr<ListenerState> listener, UniqueFd fd,
                                             PeerCredentials peer) {
  auto channel =
      std::make_shared<ServerChannel>(std::move(loop), std::move(listener), std::move(fd), peer);
  if (channel->start() < 0) return nullptr;
  return channel;
}

}  // namespace xpc
