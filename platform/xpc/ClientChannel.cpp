// Our connection to a service: it connects on resume, on its own loop, to a server it trusts,
// and makes calls whose replies it waits for.

#include "platform/xpc/ClientChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cassert>
#include <cstring>
#include <list>
#include <vector>

#include "platform/log/Log.h"
#include "platform/xpc/BusChannel.h"
#include "platform/xpc/BusMessage.h"

namespace xpc {
namespace {

class ClientChannel final : public BusChannel {
 public:
  ClientChannel(std::shared_ptr<Loop> loop, std::string socketPath,
                const SdBusTransport::Options& options)
      : BusChannel(std::move(loop), options), socketPath_(std::move(socketPath)) {}

  void resume() override {
    if (!markResumed()) return;
    auto self = std::static_pointer_cast<ClientChannel>(shared_from_this());
    loop_->post([self] { self->connect(); });
    loop_->start();
  }

  void invalidate() override {
    BusChannel::invalidate();
    loop_->start();  // so that a connection never resumed ends too
  }

  void release() override {
    BusChannel::release();
    loop_->stop();  // the client's loop serves this channel alone
  }

 protected:
  void doCall(const ipc::ProtocolMethod& method, const std::string& argument, ReplyHandler reply,
              SharedErrorHandler onError) override {
    auto self = std::static_pointer_cast<ClientChannel>(shared_from_this());
    loop_->run([self, &method, argument, reply = std::move(reply),
                onError = std::move(onError)]() mutable {
      self->callOnLoop(method, std::move(argument), std::move(reply), std::move(onError));
    });
  }

  short inputEvents(int sdBusEvents) override { return static_cast<short>(sdBusEvents & POLLIN); }

  void started() override {
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();
  }

  int closeCause(int error, Life was) const override {
    // A listener hangs up during the handshake on a peer it does not admit (credentials or
    // connection limit).
    if (was == Life::authenticating &&
        (error == ECONNRESET || error == EPIPE || error == ENOTCONN)) {
      return ECONNABORTED;
    }
    return error;
  }

  void failPending(const std::function<void(SharedErrorHandler)>& fail) override {
    auto calls = std::move(calls_);
    calls_.clear();
    for (auto& call : calls) {
      sd_bus_slot_unref(call->slot);
      fail(std::move(call->onError));
    }
  }

  void ending(int error, bool released, Life was) override {
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();  // each fails now that the channel is closed
    if (!released && was == Life::running && error != ECANCELED) fireInterruption();
  }

 private:
  struct PendingCall {
    ClientChannel* channel = nullptr;
    sd_bus_slot* slot = nullptr;
    std::string_view replySignature;
    ReplyHandler reply;
    SharedErrorHandler onError;
  };

  void connect() {
    assert(onLoop());
    if (life_ == Life::closed) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
      close(socketPath_.empty() ? EINVAL : ENAMETOOLONG);
      return;
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      close(errno);
      return;
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
      close(errno);
      return;
    }
    // Whoever serves the socket gets our calls and feeds us events: it must be root (or our own
    // user, who could impersonate us anyway).
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) < 0) {
      close(errno);
      return;
    }
    if (cred.uid != 0 && cred.uid != ::geteuid()) {
      platform::log::write("xpc: " + socketPath_ + " is served by uid " + std::to_string(cred.uid) +
                           ", not root: not trusted");
      close(kUntrustedServer);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      peer_ = PeerCredentials{cred.pid, cred.uid, cred.gid};
    }
    int r = newBus(std::move(fd));
    if (r >= 0) r = sd_bus_start(bus_.get());
    if (r < 0) {
      close(-r);
      return;
    }
    makeWriter();
    loop_->add(shared());
  }

  void callOnLoop(const ipc::ProtocolMethod& method, std::string argument, ReplyHandler reply,
                  SharedErrorHandler onError) {
    assert(onLoop());
    if (life_ == Life::closed) {
      if (onError && *onError) (*onError)(makeError(closeError(), "The connection ended"));
      return;
    }
    const bool running = life_ == Life::running;
    if (!running || turn_.reportsHalfWritten()) {
      auto retry = [this, &method, argument = std::move(argument), reply = std::move(reply),
                    onError = std::move(onError)]() mutable {
        callOnLoop(method, std::move(argument), std::move(reply), std::move(onError));
      };
      if (running) {
        turn_.whenSdBusMayWrite(std::move(retry));
      } else {
        deferred_.push_back(std::move(retry));
      }
      return;
    }
    const auto remote = remoteObjectInterface();
    const std::string interface = remote ? remote->wireName() : std::string();
    const std::string member(method.member);
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &call, nullptr, "/", interface.c_str(),
                                           member.c_str());
    if (r >= 0) r = appendArgument(call, method.inSignature, argument);
    auto pending = std::make_unique<PendingCall>();
    pending->channel = this;
    pending->replySignature = method.outSignature;
    pending->reply = std::move(reply);
    pending->onError = onError;
    if (r >= 0) {
      r = sd_bus_call_async(bus_.get(), &pending->slot, call, &ClientChannel::onReply,
                            pending.get(), 0);
    }
    sd_bus_message_unref(call);
    if (r < 0) {
      reportError(std::move(onError), makeError(-r, "The call could not be made"));
      return;
    }
    calls_.push_back(std::move(pending));
  }

  static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingCall*>(userdata);
    pending->channel->finishCall(pending, m);
    return 1;
  }

  void finishCall(PendingCall* pending, sd_bus_message* m) {
    ReplyHandler reply = std::move(pending->reply);
    SharedErrorHandler onError = std::move(pending->onError);
    const std::string_view signature = pending->replySignature;
    sd_bus_slot_unref(pending->slot);
    std::erase_if(calls_, [&](const auto& c) { return c.get() == pending; });
    if (sd_bus_message_is_method_error(m, nullptr) > 0) {
      const sd_bus_error* error = sd_bus_message_get_error(m);
      int code = sd_bus_error_get_errno(error);
      if (code <= 0) code = EIO;
      const std::string text = error && error->message ? error->message
                               : error && error->name  ? error->name
                                                       : "The call failed";
      if (onError && *onError) (*onError)(NSError{code, text});
      return;
    }
    std::string value;
    const int r = sd_bus_message_has_signature(m, std::string(signature).c_str()) > 0
                      ? readArgument(m, signature, value)
                      : -EBADMSG;
    if (r < 0) {
      if (onError && *onError) (*onError)(makeError(EBADMSG, "The reply could not be read"));
      return;
    }
    if (reply) reply(std::move(value));
  }

  const std::string socketPath_;
  std::list<std::unique_ptr<PendingCall>> calls_;
  std::vector<std::function<void()>> deferred_;
};

}  // namespace

std::shared_ptr<Channel> makeClientChannel(std::shared_ptr<Loop> loop, std::string socketPath,
                                           const SdBusTransport::Options& options) {
  return std::make_shared<ClientChannel>(std::move(loop), std::move(socketPath), options);
}

}  // namespace xpc
