// Our connection to a service: it connects on resume, on its own loop, to a server it trusts,
// and makes calls whose replies it waits for; what the service writes is read past sd-bus
// (ServiceReader).

#include "platform/xpc/ClientRole.h"

#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UnixSocket.h"
#include "platform/log/Log.h"
#include "platform/xpc/BusChannel.h"
#include "platform/xpc/BusMessage.h"
#include "platform/xpc/ServiceReader.h"

namespace xpc {
namespace {

// Connects on resume and keeps our calls: those made before the connection runs, and those
// waiting for their replies.
class ClientRole final : public ConnectionRole {
 public:
  explicit ClientRole(std::string socketPath) : socketPath_(std::move(socketPath)) {}

  void call(BusChannel& connection, const ipc::ProtocolMethod& method, const std::string& argument,
            ReplyHandler reply, SharedErrorHandler onError) override {
    connection.loop()->run([this, self = connection.shared(), &method, argument,
                            reply = std::move(reply), onError = std::move(onError)]() mutable {
      callOnLoop(*self, method, std::move(argument), std::move(reply), std::move(onError));
    });
  }

  short inputEvents(const BusChannel&, int sdBusEvents) const override {
    return reader_.inputEvents(sdBusEvents);
  }

  std::uint64_t deadline(const BusChannel&) const override { return reader_.deadline(); }

  Input admitInput(BusChannel& connection, short revents) override {
    return reader_.admit(connection, revents) ? Input::open : Input::closed;
  }

  void inputProcessed() override { reader_.processed(); }

  bool ownsLoop() const override { return true; }

  void resumed(BusChannel& connection) override { connect(connection); }

  void started() override {
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();
  }

  void failPending(const std::function<void(SharedErrorHandler)>& fail) override {
    auto calls = std::move(calls_);
    calls_.clear();
    for (auto& call : calls) {
      sd_bus_slot_unref(call->slot);
      fail(std::move(call->onError));
    }
  }

  void closed(BusChannel& connection, const ConnectionEnd& end) override {
    reader_.close();
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();  // each fails now that the channel is closed
    if (!end.released && end.was == ConnectionLife::running && end.error != ECANCELED) {
      connection.interrupted();
    }
  }

 private:
  struct PendingCall {
    ClientRole* role = nullptr;
    sd_bus_slot* slot = nullptr;
    std::string_view replySignature;
    ReplyHandler reply;
    SharedErrorHandler onError;
  };

  void connect(BusChannel& connection) {
    assert(connection.onLoop());
    if (connection.life() == ConnectionLife::closed) return;
    platform::UnixConnection connected = platform::connectUnix(socketPath_, SOCK_NONBLOCK);
    if (!connected.fd) {
      connection.close(-connected.error);
      return;
    }
    UniqueFd fd = std::move(connected.fd);
    // Whoever serves the socket gets our calls and feeds us events: it must be root (or our own
    // user, who could impersonate us anyway).
    ucred cred{};
    if (const int r = platform::peerCredentials(fd.get(), cred); r < 0) {
      connection.close(-r);
      return;
    }
    if (cred.uid != 0 && cred.uid != ::geteuid()) {
      platform::log::write("xpc: " + socketPath_ + " is served by uid " + std::to_string(cred.uid) +
                           ", not root: not trusted");
      connection.close(kUntrustedServer);
      return;
    }
    connection.setPeer(PeerCredentials{cred.pid, cred.uid, cred.gid});
    UniqueFd sdBusInput = reader_.start();
    if (!sdBusInput) {
      connection.close(errno);
      return;
    }
    const int r = connection.startBus(std::move(fd), std::move(sdBusInput), nullptr);
    if (r < 0) {
      connection.close(-r);
      return;
    }
    connection.loop()->add(connection.shared());
  }

  void callOnLoop(BusChannel& connection, const ipc::ProtocolMethod& method, std::string argument,
                  ReplyHandler reply, SharedErrorHandler onError) {
    assert(connection.onLoop());
    if (connection.life() == ConnectionLife::closed) {
      if (onError && *onError) {
        (*onError)(makeError(connection.closeError(), "The connection ended"));
      }
      return;
    }
    const bool running = connection.life() == ConnectionLife::running;
    if (!running || connection.reportsHalfWritten()) {
      // The connection owns both queues, and this role.
      auto retry = [this, &connection, &method, argument = std::move(argument),
                    reply = std::move(reply), onError = std::move(onError)]() mutable {
        callOnLoop(connection, method, std::move(argument), std::move(reply), std::move(onError));
      };
      if (running) {
        connection.whenSdBusMayWrite(std::move(retry));
      } else {
        deferred_.push_back(std::move(retry));
      }
      return;
    }
    const auto remote = connection.remoteObjectInterface();
    const std::string interface = remote ? remote->wireName() : std::string();
    const std::string member(method.member);
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(connection.bus(), &call, nullptr, "/", interface.c_str(),
                                           member.c_str());
    if (r >= 0) r = appendArgument(call, method.inSignature, argument);
    auto pending = std::make_unique<PendingCall>();
    pending->role = this;
    pending->replySignature = method.outSignature;
    pending->reply = std::move(reply);
    pending->onError = onError;
    if (r >= 0) {
      r = sd_bus_call_async(connection.bus(), &pending->slot, call, &ClientRole::onReply,
                            pending.get(), 0);
    }
    sd_bus_message_unref(call);
    if (r < 0) {
      connection.reportError(std::move(onError), makeError(-r, "The call could not be made"));
      return;
    }
    calls_.push_back(std::move(pending));
  }

  static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingCall*>(userdata);
    pending->role->finishCall(pending, m);
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
  ServiceReader reader_;
  std::list<std::unique_ptr<PendingCall>> calls_;
  std::vector<std::function<void()>> deferred_;
};

}  // namespace

std::shared_ptr<Channel> makeClientChannel(std::shared_ptr<Loop> loop, std::string socketPath,
                                           const SdBusTransport::Options& options) {
  return std::make_shared<BusChannel>(std::move(loop), options,
                                      std::make_unique<ClientRole>(std::move(socketPath)));
}

}  // namespace xpc
