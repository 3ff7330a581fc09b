// D-Bus peer-to-peer over Unix stream sockets with sd-bus, no bus daemon.
//
// Wire mapping: each side's exported object lives at path "/"; the interface name is the
// application's bundle identifier, a dot and the protocol name; members are the selectors' first
// keywords with their signatures from shared/ipc/Protocols.h. Reports are method calls sent with
// no reply expected. The listening side answers org.freedesktop.DBus.Hello so that clients made
// for a bus (busctl) can talk to it.
//
// One loop thread serves a listener and its connections (or one client connection); sd-bus
// objects are touched on that thread only. Other threads hand work over through Loop::run/post
// and through each connection's outgoing queue, which is bounded in bytes.

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/log/Log.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/Transport.h"

namespace xpc {
namespace {

constexpr std::string_view kBusInterface = "org.freedesktop.DBus";
constexpr const char* kRejectLine = "REJECTED EXTERNAL\r\n";
constexpr int kProcessBudget = 256;
constexpr int kSocketSendBuffer =
    256 * 1024;  // the kernel doubles it  // sd-bus steps per wake-up before others get their turn

bool isTransportInterface(const char* interface) {
  if (!interface) return false;
  const std::string_view name(interface);
  return name == kBusInterface ||
         (name.size() > kBusInterface.size() && name.starts_with(kBusInterface) &&
          name[kBusInterface.size()] == '.');
}

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// What a listener shares with the connections it accepted.
struct ListenerState {
  AcceptHandler accept;
  SdBusTransport::Options options;
  std::atomic<std::size_t> live{0};
  std::atomic<std::uint64_t> nextPeerName{1};
};

// A reply owed to a caller. It may be given on any thread; when the exported object drops it
// without answering, the caller gets an error instead of waiting forever.
class PendingReply {
 public:
  PendingReply(std::shared_ptr<Loop> loop, sd_bus_message* call, char type)
      : loop_(std::move(loop)), call_(sd_bus_message_ref(call)), type_(type) {}
  ~PendingReply() {
    loop_->post([call = call_, replied = replied_.load()] {
      if (!replied) {
        sd_bus_reply_method_errorf(call, SD_BUS_ERROR_NO_REPLY, "The service gave no reply");
      }
      sd_bus_message_unref(call);
    });
  }
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  static void give(const std::shared_ptr<PendingReply>& self, std::string value) {
    if (self->replied_.exchange(true)) return;  // a call is answered once
    self->loop_->run([self, value = std::move(value)] { self->sendOnLoop(value); });
  }

 private:
  void sendOnLoop(const std::string& value) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call_, &reply);
    if (r >= 0) {
      r = type_ == 's' ? sd_bus_message_append_basic(reply, 's', value.c_str())
                       : sd_bus_message_append_array(reply, 'y', value.data(), value.size());
    }
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    if (r < 0) {
      sd_bus_reply_method_errorf(call_, SD_BUS_ERROR_FAILED, "The reply could not be sent: %s",
                                 std::strerror(-r));
    }
  }

  std::shared_ptr<Loop> loop_;
  sd_bus_message* call_;
  char type_;
  std::atomic<bool> replied_{false};
};

class BusChannel final : public Channel, public Pollable {
 public:
  enum class Role { server, client };

  // The accepted end of a connection; start() makes it a bus.
  BusChannel(std::shared_ptr<Loop> loop, std::shared_ptr<ListenerState> listener, UniqueFd fd,
             PeerCredentials peer)
      : loop_(std::move(loop)),
        role_(Role::server),
        listener_(std::move(listener)),
        maxQueuedBytes_(listener_->options.maxQueuedBytes),
        pendingFd_(std::move(fd)),
        peer_(peer) {}

  // A client end; resume() connects.
  BusChannel(std::shared_ptr<Loop> loop, std::string socketPath, std::size_t maxQueuedBytes)
      : loop_(std::move(loop)),
        role_(Role::client),
        socketPath_(std::move(socketPath)),
        maxQueuedBytes_(maxQueuedBytes) {}

  ~BusChannel() override {
    if (bus_) sd_bus_close_unref(bus_);
  }

  // Loop thread. Negative errno when the bus cannot be set up; the socket is closed then.
  int startServer() {
    sd_id128_t id;
    int r = sd_id128_randomize(&id);
    if (r < 0) return r;
    if ((r = newBus(std::move(pendingFd_))) < 0) return r;
    if ((r = sd_bus_set_server(bus_, 1, id)) < 0) return r;
    if ((r = sd_bus_start(bus_)) < 0) return r;
    // sd-bus asks for 8 MiB of socket buffer; what a stalled client cannot take should wait in
    // our byte-bounded queue instead, so keep the kernel's share small.
    const int sendBuffer = kSocketSendBuffer;
    ::setsockopt(sd_bus_get_fd(bus_), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    counted_ = true;
    return 0;
  }

  void resume() override {
    if (!markResumed()) return;
    auto self = shared();
    if (role_ == Role::server) {
      loop_->post([self] { self->onResumed(); });
    } else {
      loop_->post([self] { self->connectClient(); });
      loop_->start();
    }
  }

  void invalidate() override {
    auto self = shared();
    loop_->post([self] { self->close(ECANCELED); });
    if (role_ == Role::client) loop_->start();  // so that a connection never resumed ends too
  }

  void release() override {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    dropHandlers();
    auto self = shared();
    loop_->post([self] { self->close(ECANCELED); });
    if (role_ == Role::client) loop_->stop();  // the client's loop serves this channel alone
  }

  PeerCredentials peerCredentials() const override {
    std::lock_guard lock(mutex_);
    return peer_;
  }

  int pollFd() const override { return bus_ ? sd_bus_get_fd(bus_) : -1; }

  short pollEvents() override {
    if (!bus_ || closedOnLoop_ || paused_) return 0;
    const int events = sd_bus_get_events(bus_);
    return events < 0 ? 0 : static_cast<short>(events);
  }

  std::uint64_t deadline() override {
    if (!bus_ || closedOnLoop_ || paused_) return UINT64_MAX;
    if (rerun_) return 0;
    std::uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &usec) < 0) return UINT64_MAX;
    return usec;
  }

  void handle(short) override {
    if (!bus_ || closedOnLoop_ || paused_) return;
    auto self = shared();  // callbacks may drop the last other reference
    rerun_ = false;
    int budget = kProcessBudget;
    while (!closing_ && !paused_) {
      if (--budget < 0) {
        rerun_ = true;
        break;
      }
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0) {
        close(-r);
        return;
      }
      if (r == 0) break;
    }
    if (closing_) return;  // a close is posted
    if (sd_bus_is_open(bus_) <= 0) {
      close(ECONNRESET);
      return;
    }
    if (role_ == Role::client && !running_ && sd_bus_is_ready(bus_) > 0) {
      running_ = true;
      auto deferred = std::move(deferred_);
      deferred_.clear();
      for (auto& call : deferred) call();
    }
    pump();
  }

  void shutdown() override { close(ESHUTDOWN); }

 protected:
  void doSend(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
              SharedErrorHandler onError) override {
    const std::size_t cost = argument.size() + kQueuedSendOverhead;
    bool postPump = false;
    int failure = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) {
        failure = closeError_ ? closeError_ : ENOTCONN;
      } else if (queuedBytes_ + cost > maxQueuedBytes_) {
        // The peer is not keeping up: end the connection rather than lose reports silently.
        failure = ENOBUFS;
        closed_ = true;
        closeError_ = ENOBUFS;
      } else {
        queue_.push_back(Outgoing{&method, argument, std::move(onError)});
        queuedBytes_ += cost;
        postPump = !pumpPosted_;
        pumpPosted_ = true;
      }
    }
    auto self = shared();
    if (failure) {
      reportError(std::move(onError), makeError(failure, "The report could not be sent"));
      if (failure == ENOBUFS) loop_->post([self] { self->close(ENOBUFS); });
      return;
    }
    if (postPump) loop_->post([self] { self->pump(); });
  }

  void doCall(const ipc::ProtocolMethod& method, const std::string& argument, ReplyHandler reply,
              SharedErrorHandler onError) override {
    auto self = shared();
    loop_->run([self, &method, argument, reply = std::move(reply),
                onError = std::move(onError)]() mutable {
      self->callOnLoop(method, std::move(argument), std::move(reply), std::move(onError));
    });
  }

  void reportError(SharedErrorHandler onError, NSError error) override {
    if (!onError || !*onError) return;
    loop_->post([onError = std::move(onError), error = std::move(error)] { (*onError)(error); });
  }

 private:
  struct Outgoing {
    const ipc::ProtocolMethod* method;
    std::string payload;
    SharedErrorHandler onError;
  };

  struct PendingCall {
    BusChannel* channel = nullptr;
    sd_bus_slot* slot = nullptr;
    char replyType = 's';
    ReplyHandler reply;
    SharedErrorHandler onError;
  };

  std::shared_ptr<BusChannel> shared() {
    return std::static_pointer_cast<BusChannel>(shared_from_this());
  }

  int newBus(UniqueFd fd) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0) return r;
    bus_ = bus;
    if ((r = sd_bus_set_fd(bus_, fd.get(), fd.get())) < 0) return r;
    fd.release();  // the bus closes it from now on
    if ((r = sd_bus_negotiate_fds(bus_, 0)) < 0) return r;
    return sd_bus_add_filter(bus_, nullptr, &BusChannel::onMessage, this);
  }

  void connectClient() {
    if (closedOnLoop_) return;
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
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) {
      std::lock_guard lock(mutex_);
      peer_ = PeerCredentials{cred.pid, cred.uid, cred.gid};
    }
    int r = newBus(std::move(fd));
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) {
      close(-r);
      return;
    }
    loop_->add(shared());
  }

  void onResumed() {
    if (closedOnLoop_) return;
    paused_ = false;
    auto held = std::move(held_);
    held_.clear();
    for (auto& message : held) deliver(message.get());
    pump();
  }

  static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    return static_cast<BusChannel*>(userdata)->handleMessage(m);
  }

  int handleMessage(sd_bus_message* m) {
    if (closing_) return 1;
    std::uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
    const char* interface = sd_bus_message_get_interface(m);
    if (isTransportInterface(interface)) {
      if (role_ == Role::server && interface == kBusInterface &&
          sd_bus_message_is_method_call(m, nullptr, "Hello") > 0) {
        const std::string name = ":1." + std::to_string(listener_->nextPeerName++);
        sd_bus_reply_method_return(m, "s", name.c_str());
        return 1;
      }
      return 0;  // sd-bus answers Peer calls and rejects the rest
    }
    if (role_ == Role::server && !handedOver_) {
      handedOver_ = true;
      const bool accepted = listener_->accept && listener_->accept(shared_from_this());
      if (!accepted) {
        requestClose(ECONNREFUSED);
        return 1;
      }
    }
    if (closing_) return 1;
    if (!isResumed() || paused_) {
      held_.emplace_back(sd_bus_message_ref(m));
      paused_ = true;
      return 1;
    }
    deliver(m);
    return 1;
  }

  void deliver(sd_bus_message* m) {
    const char* interface = sd_bus_message_get_interface(m);
    const char* member = sd_bus_message_get_member(m);
    const char* path = sd_bus_message_get_path(m);
    const Incoming incoming = lookupExported(interface ? interface : "", member ? member : "");
    if (!incoming.method) {
      replyError(m, std::string(incoming.errorName).c_str(), incoming.errorMessage);
      return;
    }
    if (!path || std::strcmp(path, "/") != 0) {
      replyError(m, SD_BUS_ERROR_UNKNOWN_OBJECT, "Objects are exported at /");
      return;
    }
    const ipc::ProtocolMethod& method = *incoming.method;
    const std::string signature(method.inSignature);
    if (sd_bus_message_has_signature(m, signature.c_str()) <= 0) {
      replyError(m, SD_BUS_ERROR_INVALID_ARGS, "Expected arguments of signature " + signature);
      return;
    }
    std::string argument;
    int r;
    if (signature == "s") {
      const char* text = nullptr;
      r = sd_bus_message_read_basic(m, 's', &text);
      if (r >= 0 && text) argument = text;
    } else {
      const void* data = nullptr;
      std::size_t size = 0;
      r = sd_bus_message_read_array(m, 'y', &data, &size);
      if (r >= 0 && size) argument.assign(static_cast<const char*>(data), size);
    }
    if (r < 0) {
      replyError(m, SD_BUS_ERROR_INVALID_ARGS, "Unreadable arguments");
      return;
    }
    if (method.outSignature.empty()) {
      invoke(method, std::move(argument), nullptr);
      if (sd_bus_message_get_expect_reply(m) > 0) sd_bus_reply_method_return(m, "");
      return;
    }
    auto pending = std::make_shared<PendingReply>(loop_, m, method.outSignature == "s" ? 's' : 'y');
    invoke(method, std::move(argument),
           [pending](std::string value) { PendingReply::give(pending, std::move(value)); });
  }

  static void replyError(sd_bus_message* m, const char* name, const std::string& text) {
    if (sd_bus_message_get_expect_reply(m) > 0) {
      sd_bus_reply_method_errorf(m, name, "%s", text.c_str());
    }
  }

  void callOnLoop(const ipc::ProtocolMethod& method, std::string argument, ReplyHandler reply,
                  SharedErrorHandler onError) {
    if (closedOnLoop_) {
      if (onError && *onError) (*onError)(makeError(closeError(), "The connection ended"));
      return;
    }
    if (!running_) {
      deferred_.push_back([this, &method, argument = std::move(argument), reply = std::move(reply),
                           onError = std::move(onError)]() mutable {
        callOnLoop(method, std::move(argument), std::move(reply), std::move(onError));
      });
      return;
    }
    const auto remote = remoteObjectInterface();
    const std::string interface = remote ? remote->wireName() : std::string();
    const std::string member(method.member);
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &call, nullptr, "/", interface.c_str(),
                                           member.c_str());
    if (r >= 0) {
      r = method.inSignature == "s"
              ? sd_bus_message_append_basic(call, 's', argument.c_str())
              : sd_bus_message_append_array(call, 'y', argument.data(), argument.size());
    }
    auto pending = std::make_unique<PendingCall>();
    pending->channel = this;
    pending->replyType = method.outSignature == "s" ? 's' : 'y';
    pending->reply = std::move(reply);
    pending->onError = onError;
    if (r >= 0) {
      r = sd_bus_call_async(bus_, &pending->slot, call, &BusChannel::onReply, pending.get(), 0);
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
    const char type = pending->replyType;
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
    int r = sd_bus_message_has_signature(m, type == 's' ? "s" : "ay") > 0 ? 0 : -EBADMSG;
    if (r < 0) {
    } else if (type == 's') {
      const char* text = nullptr;
      r = sd_bus_message_read_basic(m, 's', &text);
      if (r >= 0 && text) value = text;
    } else {
      const void* data = nullptr;
      std::size_t size = 0;
      r = sd_bus_message_read_array(m, 'y', &data, &size);
      if (r >= 0 && size) value.assign(static_cast<const char*>(data), size);
    }
    if (r < 0) {
      if (onError && *onError) (*onError)(makeError(EBADMSG, "The reply could not be read"));
      return;
    }
    if (reply) reply(std::move(value));
  }

  // Moves queued reports into sd-bus while it has nothing left to write, so that what waits is
  // always in our byte-bounded queue and sd-bus holds at most one partly written message.
  void pump() {
    if (closedOnLoop_ || closing_ || !bus_ || !isResumed()) return;
    if (sd_bus_is_ready(bus_) <= 0) return;
    std::string interface;
    for (;;) {
      const int events = sd_bus_get_events(bus_);
      if (events < 0 || (events & POLLOUT)) return;
      inflightError_.reset();
      Outgoing item;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) {
          pumpPosted_ = false;
          return;
        }
        item = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= item.payload.size() + kQueuedSendOverhead;
      }
      if (interface.empty()) {
        const auto remote = remoteObjectInterface();
        interface = remote ? remote->wireName() : std::string();
      }
      const std::string member(item.method->member);
      sd_bus_message* m = nullptr;
      int r =
          sd_bus_message_new_method_call(bus_, &m, nullptr, "/", interface.c_str(), member.c_str());
      if (r >= 0) r = sd_bus_message_set_expect_reply(m, 0);
      if (r >= 0) r = sd_bus_message_append_array(m, 'y', item.payload.data(), item.payload.size());
      if (r >= 0) r = sd_bus_send(bus_, m, nullptr);
      sd_bus_message_unref(m);
      if (r == -E2BIG || r == -EINVAL || r == -ENOMEM) {
        // This one report cannot be made into a message; the connection itself is fine.
        reportError(item.onError, makeError(-r, "The report could not be sent"));
        continue;
      }
      if (r < 0) {
        inflightError_ = item.onError;
        close(-r);
        return;
      }
      inflightError_ = std::move(item.onError);
    }
  }

  void requestClose(int error) {
    closing_ = true;
    auto self = shared();
    loop_->post([self, error] { self->close(error); });
  }

  int closeError() {
    std::lock_guard lock(mutex_);
    return closeError_ ? closeError_ : ENOTCONN;
  }

  // Loop thread, never from inside an sd-bus callback.
  void close(int error) {
    if (closedOnLoop_) return;
    closedOnLoop_ = true;
    if (role_ == Role::client && bus_ && !running_ &&
        (error == ECONNRESET || error == EPIPE || error == ENOTCONN)) {
      // A listener hangs up during the handshake on a peer it does not admit (credentials or
      // connection limit).
      error = ECONNABORTED;
    }
    closing_ = true;
    std::deque<Outgoing> dropped;
    bool released;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      if (!closeError_) closeError_ = error;
      error = closeError_;
      dropped.swap(queue_);
      queuedBytes_ = 0;
      released = released_;
    }
    auto self = shared();
    loop_->remove(this);
    held_.clear();
    if (counted_) {
      listener_->live--;
      counted_ = false;
    }

    std::vector<SharedErrorHandler> failed;
    std::unordered_set<const ErrorHandler*> seen;
    auto addFailed = [&](SharedErrorHandler handler) {
      if (handler && *handler && seen.insert(handler.get()).second) {
        failed.push_back(std::move(handler));
      }
    };
    addFailed(std::move(inflightError_));
    for (auto& item : dropped) addFailed(std::move(item.onError));

    auto calls = std::move(calls_);
    calls_.clear();
    for (auto& call : calls) {
      sd_bus_slot_unref(call->slot);
      addFailed(std::move(call->onError));
    }
    if (bus_) {
      sd_bus_close_unref(bus_);
      bus_ = nullptr;
    }
    // Callers learn why before the invalidation handler runs.
    const NSError reason = makeError(error, "The connection ended");
    for (auto& handler : failed) (*handler)(reason);
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();  // each fails now that the channel is closed
    if (released) return;
    if (role_ == Role::client && running_ && error != ECANCELED) fireInterruption();
    fireInvalidation();
  }

  // Fixed at construction.
  const std::shared_ptr<Loop> loop_;
  const Role role_;
  const std::shared_ptr<ListenerState> listener_;  // server side only
  const std::string socketPath_;                   // client side only
  const std::size_t maxQueuedBytes_;

  // Loop thread only.
  UniqueFd pendingFd_;
  sd_bus* bus_ = nullptr;
  bool counted_ = false;
  bool handedOver_ = false;
  bool paused_ = false;
  bool running_ = false;
  bool rerun_ = false;
  bool closing_ = false;
  bool closedOnLoop_ = false;
  std::vector<MessagePtr> held_;
  std::list<std::unique_ptr<PendingCall>> calls_;
  std::vector<std::function<void()>> deferred_;
  SharedErrorHandler inflightError_;

  // Any thread.
  mutable std::mutex mutex_;
  PeerCredentials peer_;
  std::deque<Outgoing> queue_;
  std::size_t queuedBytes_ = 0;
  bool pumpPosted_ = false;
  bool closed_ = false;
  int closeError_ = 0;
  bool released_ = false;
};

bool peerPermitted(int fd, const ucred& cred, const std::optional<gid_t>& allowedGroup) {
  if (cred.uid == 0) return true;
  if (!allowedGroup) return false;
  if (cred.gid == *allowedGroup) return true;
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      break;
    }
    if (errno != ERANGE || length <= groups.size() * sizeof(gid_t)) return false;
    groups.resize(length / sizeof(gid_t));
  }
  for (gid_t gid : groups) {
    if (gid == *allowedGroup) return true;
  }
  return false;
}

class SocketListener final : public Pollable {
 public:
  SocketListener(std::shared_ptr<Loop> loop, std::shared_ptr<ListenerState> state, UniqueFd fd,
                 std::string path, dev_t dev, ino_t ino)
      : loop_(std::move(loop)),
        state_(std::move(state)),
        fd_(std::move(fd)),
        path_(std::move(path)),
        dev_(dev),
        ino_(ino) {}

  int pollFd() const override { return fd_.get(); }
  short pollEvents() override {
    if (!fd_) return 0;
    return monotonicMicroseconds() < backoffUntil_ ? 0 : POLLIN;
  }
  std::uint64_t deadline() override {
    return backoffUntil_ > monotonicMicroseconds() ? backoffUntil_ : UINT64_MAX;
  }

  void handle(short revents) override {
    if (!fd_ || !(revents & POLLIN)) return;
    for (int i = 0; i < 64; ++i) {
      UniqueFd connection(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!connection) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors or memory: pause accepting instead of spinning on the backlog.
          backoffUntil_ = monotonicMicroseconds() + 100'000;
          if (!warned_) {
            warned_ = true;
            platform::log::write("xpc: cannot accept connections on " + path_ + ": " +
                                 std::strerror(errno));
          }
        }
        return;
      }
      warned_ = false;
      ucred cred{};
      socklen_t length = sizeof cred;
      if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) < 0) continue;
      if (!peerPermitted(connection.get(), cred, state_->options.allowedGroup)) {
        // Tell a D-Bus client why before hanging up; the socket may already be gone.
        [[maybe_unused]] auto n =
            ::send(connection.get(), kRejectLine, std::strlen(kRejectLine), MSG_NOSIGNAL);
        continue;
      }
      if (state_->live.load() >= state_->options.maxConnections) continue;
      auto channel = std::make_shared<BusChannel>(loop_, state_, std::move(connection),
                                                  PeerCredentials{cred.pid, cred.uid, cred.gid});
      if (channel->startServer() < 0) continue;
      state_->live++;
      loop_->add(std::move(channel));
    }
  }

  void shutdown() override {
    fd_.reset();
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
      ::unlink(path_.c_str());
    }
  }

 private:
  std::shared_ptr<Loop> loop_;
  std::shared_ptr<ListenerState> state_;
  UniqueFd fd_;
  std::string path_;
  dev_t dev_;
  ino_t ino_;
  std::uint64_t backoffUntil_ = 0;
  bool warned_ = false;
};

class SocketService final : public Service {
 public:
  explicit SocketService(std::shared_ptr<Loop> loop) : loop_(std::move(loop)) {}
  ~SocketService() override { loop_->stop(); }

 private:
  std::shared_ptr<Loop> loop_;
};

std::mutex gUmaskMutex;

void logListenFailure(std::string_view name, const std::string& path, int error) {
  platform::log::write("xpc: cannot publish " + std::string(name) + " at " + path + ": " +
                       std::strerror(error));
}

// Makes the services directory when it is missing: 0755, whatever the umask.
int ensureDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) == 0) return ::chmod(dir.c_str(), 0755) == 0 ? 0 : -errno;
  if (errno != EEXIST) return -errno;
  struct stat st {};
  if (::stat(dir.c_str(), &st) < 0) return -errno;
  return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

// A socket file left by a listener that is gone is replaced; a live listener is not.
int clearStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0) return errno == ENOENT ? 0 : -errno;
  if (!S_ISSOCK(st.st_mode)) return -EEXIST;
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return -errno;
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return -EADDRINUSE;
  }
  if (errno != ECONNREFUSED) return -errno;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -errno;
}

}  // namespace

std::optional<gid_t> SdBusTransport::defaultAllowedGroup() {
  if (ipc::kAllowedClientGroup.empty()) return std::nullopt;
  const std::string name(ipc::kAllowedClientGroup);
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (!found) return std::nullopt;
  return found->gr_gid;
}

std::unique_ptr<Service> SdBusTransport::listen(std::string_view name, AcceptHandler accept) {
  const std::string path = socketPathForService(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    logListenFailure(name, path, path.empty() ? EINVAL : ENAMETOOLONG);
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  int r = ensureDirectory(servicesDirectory());
  if (r == 0) r = clearStaleSocket(path, address);
  if (r < 0) {
    logListenFailure(name, path, -r);
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    logListenFailure(name, path, errno);
    return nullptr;
  }
  {
    // The socket file is 0600 from the moment it exists (a socket's mode is 0777 less the
    // umask, so 077 alone would leave 0700).
    std::lock_guard lock(gUmaskMutex);
    const mode_t previous = ::umask(0177);
    r = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::umask(previous);
    if (r < 0) {
      logListenFailure(name, path, error);
      return nullptr;
    }
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0 || ::listen(fd.get(), SOMAXCONN) < 0) {
    const int error = errno;
    ::unlink(path.c_str());
    logListenFailure(name, path, error);
    return nullptr;
  }
  if (options_.allowedGroup) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), *options_.allowedGroup) < 0 ||
        ::chmod(path.c_str(), 0660) < 0) {
      platform::log::write("xpc: " + path + " stays root-only: " + std::strerror(errno));
    }
  }

  auto loop = Loop::create();
  if (!loop) {
    const int error = errno;
    ::unlink(path.c_str());
    logListenFailure(name, path, error);
    return nullptr;
  }
  auto state = std::make_shared<ListenerState>();
  state->accept = std::move(accept);
  state->options = options_;
  loop->add(
      std::make_shared<SocketListener>(loop, state, std::move(fd), path, st.st_dev, st.st_ino));
  loop->start();
  return std::make_unique<SocketService>(std::move(loop));
}

namespace {
// A client channel that could not even get a thread; every use fails.
class DeadChannel final : public Channel {
 public:
  explicit DeadChannel(int error) : error_(error) {}
  void resume() override {
    if (markResumed()) fireInvalidation();
  }
  void invalidate() override { fireInvalidation(); }
  void release() override { dropHandlers(); }

 protected:
  void doSend(const ipc::ProtocolMethod&, const ipc::NSData&, SharedErrorHandler onError) override {
    reportError(std::move(onError), makeError(error_, "The report could not be sent"));
  }
  void doCall(const ipc::ProtocolMethod&, const std::string&, ReplyHandler,
              SharedErrorHandler onError) override {
    reportError(std::move(onError), makeError(error_, "The call could not be made"));
  }
  void reportError(SharedErrorHandler onError, NSError error) override {
    if (onError && *onError) (*onError)(error);
  }

 private:
  int error_;
};
}  // namespace

std::shared_ptr<Channel> SdBusTransport::connect(std::string_view name) {
  auto loop = Loop::create();
  if (!loop) return std::make_shared<DeadChannel>(errno);
  return std::make_shared<BusChannel>(std::move(loop), socketPathForService(name),
                                      options_.maxQueuedBytes);
}

}  // namespace xpc
