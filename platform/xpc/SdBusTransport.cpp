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
//
// The pieces: SocketListener accepts and hands each socket over; serveConnection() checks the
// peer and the connection limit and makes it a ServerChannel, whose input passes an IncomingGate
// before sd-bus reads it and whose reply-bearing calls run on the listener's CallWorker.
// ClientChannel is our side of a connection to a service. Both write reports through a
// ReportWriter (platform/xpc/ReportWriter.h, with the figures that chose the batched one) and
// own their sd-bus objects through SdBusRef. Refusals are counted by the listener's RefusalLog.

#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/WakeBatch.h"
#include "platform/log/Log.h"
#include "platform/xpc/CallWorker.h"
#include "platform/xpc/IncomingGate.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/RefusalLog.h"
#include "platform/xpc/ReportWriter.h"
#include "platform/xpc/SdBusRef.h"
#include "platform/xpc/Transport.h"

namespace xpc {
namespace {

constexpr std::string_view kBusInterface = "org.freedesktop.DBus";
constexpr const char* kRejectLine = "REJECTED EXTERNAL\r\n";
// sd-bus steps per wake-up before other connections get their turn.
constexpr int kProcessBudget = 256;
// Socket send buffer of an accepted connection (the kernel doubles it).
constexpr int kSocketSendBuffer = 256 * 1024;
// Report bytes handed to the report writer at a time.
constexpr std::size_t kRawBatch = 64 * 1024;

bool isTransportInterface(const char* interface) {
  if (!interface) return false;
  const std::string_view name(interface);
  return name == kBusInterface ||
         (name.size() > kBusInterface.size() && name.starts_with(kBusInterface) &&
          name[kBusInterface.size()] == '.');
}

// The protocol's messages carry one argument: a string (signature "s") or bytes (anything else,
// "ay"). Both return sd-bus's result.
int appendArgument(sd_bus_message* m, std::string_view signature, const std::string& value) {
  return signature == "s" ? sd_bus_message_append_basic(m, 's', value.c_str())
                          : sd_bus_message_append_array(m, 'y', value.data(), value.size());
}

int readArgument(sd_bus_message* m, std::string_view signature, std::string& value) {
  int r;
  if (signature == "s") {
    const char* text = nullptr;
    r = sd_bus_message_read_basic(m, 's', &text);
    if (r >= 0 && text) value = text;
  } else {
    const void* data = nullptr;
    std::size_t size = 0;
    r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r >= 0 && size) value.assign(static_cast<const char*>(data), size);
  }
  return r;
}

// Memory freed by a connection beyond this goes back to the system soon after.
constexpr std::size_t kTrimAfter = std::size_t{1} << 20;
constexpr std::uint64_t kTrimDelay = 200'000;  // microseconds

// A broadcast hands the same bytes to every connection in turn; they are kept once, however many
// connections queue them, so that clients that fall behind together cost one copy. The buffers
// of reports that have been written are kept for the next ones (up to kSpareBytes), so a storm
// of reports does not cost one large allocation, and its free on the loop thread, per report.
class SharedPayloads {
 public:
  Payload get(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    if (last_ && *last_ == bytes) return last_;
    std::unique_ptr<std::string> buffer = spare_->take();
    // Buffers are made in a few sizes, so that a spare fits the next report of its kind.
    if (buffer->capacity() < bytes.size())
      buffer->reserve(std::bit_ceil(std::max(bytes.size(), kSmallest)));
    buffer->assign(bytes);
    last_ = Payload(buffer.release(), GiveBack{spare_});
    return last_;
  }

 private:
  static constexpr std::size_t kSpareBytes = 256 * 1024;
  static constexpr std::size_t kSmallest = 4096;
  static constexpr std::size_t kLargestKept = 64 * 1024;

  struct Spare {
    std::mutex mutex;
    std::vector<std::unique_ptr<std::string>> buffers;
    std::size_t bytes = 0;

    std::unique_ptr<std::string> take() {
      std::lock_guard lock(mutex);
      if (buffers.empty()) return std::make_unique<std::string>();
      std::unique_ptr<std::string> buffer = std::move(buffers.back());
      buffers.pop_back();
      bytes -= buffer->capacity();
      return buffer;
    }
    void give(std::unique_ptr<std::string> buffer) {
      const std::size_t size = buffer->capacity();
      if (size > kLargestKept) return;
      std::lock_guard lock(mutex);
      if (bytes + size > kSpareBytes) return;
      bytes += size;
      buffers.push_back(std::move(buffer));
    }
  };

  // The deleter of a payload: its buffer goes back to the spares (or is freed).
  struct GiveBack {
    std::shared_ptr<Spare> spare;
    void operator()(const std::string* buffer) const {
      spare->give(std::unique_ptr<std::string>(const_cast<std::string*>(buffer)));
    }
  };

  std::mutex mutex_;
  Payload last_;
  const std::shared_ptr<Spare> spare_ = std::make_shared<Spare>();
};

// What a listener shares with the connections it accepted.
struct ListenerState {
  explicit ListenerState(const std::string& path) : refusals("the listener at " + path) {}
  AcceptHandler accept;
  SdBusTransport::Options options;
  std::atomic<std::size_t> live{0};
  std::atomic<std::uint64_t> nextPeerName{1};
  CallWorker worker;  // runs the reply-bearing calls of every connection
  RefusalLog refusals;
  SharedPayloads payloads;
  std::uint64_t trimAt = 0;  // loop thread: when to hand freed memory back (0: nothing to do)
};

// The side of a connection that replies need: where sd-bus may write (only while no ready-made
// report bytes are half written, see pump()) and the accounting of calls and their replies.
class WriteTurn {
 public:
  virtual ~WriteTurn() = default;
  // Runs `task` now when sd-bus may write, otherwise once it may. Loop thread only.
  virtual void whenSdBusMayWrite(std::function<void()> task) = 0;
  // Charges a reply of `bytes` to the connection's byte limit; false when it does not fit, and
  // the connection then ends. Any thread.
  virtual bool chargeReply(std::size_t bytes) = 0;
  // A reply-bearing call is over: its reply was handed to sd-bus, or it was dropped. Releases
  // the reply's charge. Loop thread.
  virtual void callDone(std::size_t charged) = 0;
};

// A reply owed to a caller. It may be given on any thread; when the exported object drops it
// without answering, the caller gets an error instead of waiting forever.
class PendingReply {
 public:
  PendingReply(std::shared_ptr<Loop> loop, std::weak_ptr<WriteTurn> turn, sd_bus_message* call,
               std::string_view signature)
      : loop_(std::move(loop)),
        turn_(std::move(turn)),
        call_(sd_bus_message_ref(call)),
        signature_(signature) {}
  ~PendingReply() {
    loop_->post([turn = turn_, call = call_, replied = replied_.load(), charged = charged_] {
      auto unanswered = [call] {
        sd_bus_reply_method_errorf(call, SD_BUS_ERROR_NO_REPLY, "The service gave no reply");
        sd_bus_message_unref(call);
      };
      auto channel = turn.lock();
      if (channel) channel->callDone(charged);
      if (!replied && channel) {
        channel->whenSdBusMayWrite(unanswered);
      } else {
        sd_bus_message_unref(call);
      }
    });
  }
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  static void give(const std::shared_ptr<PendingReply>& self, std::string value) {
    if (self->replied_.exchange(true)) return;  // a call is answered once
    auto channel = self->turn_.lock();
    // A reply that does not fit under the byte limit ends the connection instead.
    const std::size_t cost = value.size() + kQueuedSendOverhead;
    if (!channel || !channel->chargeReply(cost)) return;
    self->charged_ = cost;
    self->loop_->run([self, value = std::move(value)]() mutable {
      if (auto channel = self->turn_.lock()) {
        channel->whenSdBusMayWrite([self, value = std::move(value)] { self->sendOnLoop(value); });
      }
    });
  }

 private:
  void sendOnLoop(const std::string& value) {
    sd_bus_message* made = nullptr;
    int r = sd_bus_message_new_method_return(call_, &made);
    const MessageRef reply(made);
    if (r >= 0) r = appendArgument(made, signature_, value);
    if (r >= 0) r = sd_bus_send(nullptr, made, nullptr);
    if (r < 0) {
      sd_bus_reply_method_errorf(call_, SD_BUS_ERROR_FAILED, "The reply could not be sent: %s",
                                 std::strerror(-r));
    }
  }

  std::shared_ptr<Loop> loop_;
  std::weak_ptr<WriteTurn> turn_;
  sd_bus_message* call_;
  std::string_view signature_;  // of the reply
  std::atomic<bool> replied_{false};
  std::size_t charged_ = 0;  // set by the one give() that counts, before the last reference goes
};

// One end of a connection over sd-bus: the outgoing report queue and its writer, the turn-taking
// with sd-bus on the socket, delivery of incoming calls to the exported object, and the end of
// the connection. ServerChannel (an accepted client) and ClientChannel (our connection to a
// service) add what only their side does.
class BusChannel : public Channel, public Pollable, public WriteTurn {
 public:
  void invalidate() override {
    auto self = shared();
    loop_->post([self] { self->close(ECANCELED); });
  }

  void release() override {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    dropHandlers();
    auto self = shared();
    loop_->post([self] { self->close(ECANCELED); });
  }

  PeerCredentials peerCredentials() const override {
    std::lock_guard lock(mutex_);
    return peer_;
  }

  int pollFd() const override { return bus_ ? socketFd_ : -1; }

  short pollEvents() override {
    if (!bus_ || closedOnLoop_ || paused_) return 0;
    if (rawPending()) return POLLOUT;
    const int events = sd_bus_get_events(bus_.get());
    if (events < 0) return 0;
    if (!(events & POLLOUT)) {
      // sd-bus has written everything: a large reply's memory can go back to the system.
      if (unflushed_ >= kTrimAfter) drained();
      unflushed_ = 0;
    }
    return static_cast<short>((events & POLLOUT) | inputEvents(events));
  }

  std::uint64_t deadline() override {
    if (!bus_ || closedOnLoop_ || paused_ || rawPending()) return UINT64_MAX;
    if (rerun_) return 0;
    std::uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(bus_.get(), &usec) < 0) usec = UINT64_MAX;
    return std::min(usec, ownDeadline());
  }

  void handle(short revents) override {
    if (!bus_ || closedOnLoop_ || paused_) return;
    auto self = shared();  // callbacks may drop the last other reference
    if (!readInput(revents)) return;
    // Finish the reports half written, then let sd-bus read and answer before writing more,
    // so that calls are served while reports keep coming.
    if (rawPending() && !flushRaw()) return;
    runAfterRaw();
    if (closedOnLoop_ || rawPending()) return;
    rerun_ = false;
    // What the exported object hands on while this read's messages are dispatched (wake-ups,
    // a client's output) goes once, after the last of them.
    const platform::WakeBatch batch;
    int budget = kProcessBudget;
    while (!closing_ && !paused_) {
      if (--budget < 0) {
        rerun_ = true;
        break;
      }
      const int r = sd_bus_process(bus_.get(), nullptr);
      if (r < 0) {
        close(-r);
        return;
      }
      if (r == 0) break;
    }
    if (closing_) return;  // a close is posted
    if (sd_bus_is_open(bus_.get()) <= 0 || (inputEnded() && !rerun_)) {
      close(ECONNRESET);
      return;
    }
    afterProcess();
    pump();
  }

  void shutdown() override { close(ESHUTDOWN); }

  bool chargeReply(std::size_t bytes) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      if (replyBytes_ + bytes <= maxReplyBytes_) {
        replyBytes_ += bytes;
        return true;
      }
      closed_ = true;
      closeError_ = ENOBUFS;
    }
    auto self = shared();
    loop_->post([self] { self->close(ENOBUFS); });
    return false;
  }

  void callDone(std::size_t charged) override {
    --outstanding_;
    if (!charged) return;
    unflushed_ += charged;
    std::lock_guard lock(mutex_);
    if (!closed_) replyBytes_ -= std::min(replyBytes_, charged);
  }

  void whenSdBusMayWrite(std::function<void()> task) override {
    // Once closed, sd-bus writes nothing, but the task still releases what it holds.
    if (!closedOnLoop_ && rawPending()) {
      afterRaw_.push_back(std::move(task));
    } else {
      task();
    }
  }

 protected:
  void doSend(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
              SharedErrorHandler onError) override {
    const std::size_t cost = argument.size() + kQueuedSendOverhead;
    // Charged in full to each connection: the limit is how far one client may fall behind.
    Payload payload;
    if (argument.size() <= kMaxByteArray) {
      payload = shareBytes(argument);
    }
    bool postPump = false;
    int failure = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) {
        failure = closeError_ ? closeError_ : ENOTCONN;
      } else if (argument.size() > kMaxByteArray) {
        failure = EMSGSIZE;  // D-Bus cannot carry it; the connection itself is fine
      } else if (queuedBytes_ + cost > maxQueuedBytes_) {
        // The peer is not keeping up: end the connection rather than lose reports silently.
        failure = ENOBUFS;
        closed_ = true;
        closeError_ = ENOBUFS;
      } else {
        queue_.push_back(Outgoing{&method, std::move(payload), std::move(onError)});
        queuedBytes_ += cost;
        peakQueuedBytes_ = std::max(peakQueuedBytes_, queuedBytes_);
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

  void reportError(SharedErrorHandler onError, NSError error) override {
    if (!onError || !*onError) return;
    loop_->post([onError = std::move(onError), error = std::move(error)] { (*onError)(error); });
  }

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
  // After sd-bus has processed what it could.
  virtual void afterProcess() {}
  // A method call on the transport's own interface; true when answered here.
  virtual bool answerTransportCall(sd_bus_message*) { return false; }
  // The first call of the connection has arrived; false refuses the connection.
  virtual bool handOver() { return true; }
  // Whether a reply-bearing call may be taken now (answered with an error otherwise).
  virtual bool admitCall(sd_bus_message*) { return true; }
  // Runs the exported object's answer to a call.
  virtual void runAnswer(std::function<void()> answer) { answer(); }
  // The bytes of a report as queued.
  virtual Payload shareBytes(const std::string& bytes) {
    return std::make_shared<const std::string>(bytes);
  }
  // The error the connection ends with, given why it ended.
  virtual int closeCause(int error) const { return error; }
  // The connection is closing: fail what waits on this side (through `fail`).
  virtual void failPending(const std::function<void(SharedErrorHandler)>&) {}
  // The connection has closed, having held `freed` bytes.
  virtual void closed(std::size_t /*freed*/) {}
  // The queue is empty again after holding more than kTrimAfter bytes (a client that fell behind
  // during a storm). Loop thread, with the queue's lock held.
  virtual void drained() {}
  // Last, before the invalidation handler runs (unless the connection object is gone).
  virtual void ending(int /*error*/, bool /*released*/) {}

  std::shared_ptr<BusChannel> shared() {
    return std::static_pointer_cast<BusChannel>(shared_from_this());
  }

 protected:
  using Outgoing = QueuedReport;

  int newBus(UniqueFd fd) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r < 0) return r;
    bus_ = BusRef(bus);
    if ((r = sd_bus_set_fd(bus_.get(), fd.get(), fd.get())) < 0) return r;
    socketFd_ = fd.release();  // the bus closes it from now on
    return configureBus();
  }

  void makeWriter() {
    writer_ = reportPath_ == SdBusTransport::Options::ReportPath::plain
                  ? makePlainReportWriter(bus_.get())
                  : makeBatchedReportWriter(socketFd_);
  }

  int configureBus() {
    const int r = sd_bus_negotiate_fds(bus_.get(), 0);
    if (r < 0) return r;
    return sd_bus_add_filter(bus_.get(), nullptr, &BusChannel::onMessage, this);
  }

  // Delivers the calls that arrived before the exported object was ready.
  void deliverHeld() {
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
    // Whatever answers this message (sd-bus or us) is written through sd-bus.
    unflushed_ += kQueuedSendOverhead;
    std::uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
    const char* interface = sd_bus_message_get_interface(m);
    if (isTransportInterface(interface)) {
      // sd-bus answers Peer calls and rejects the rest.
      return answerTransportCall(m) ? 1 : 0;
    }
    if (!handOver()) {
      requestClose(ECONNREFUSED);
      return 1;
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
    if (readArgument(m, signature, argument) < 0) {
      replyError(m, SD_BUS_ERROR_INVALID_ARGS, "Unreadable arguments");
      return;
    }
    if (method.outSignature.empty()) {
      invoke(method, std::move(argument), nullptr);
      if (sd_bus_message_get_expect_reply(m) > 0) sd_bus_reply_method_return(m, "");
      return;
    }
    if (!admitCall(m)) return;
    ++outstanding_;
    auto pending = std::make_shared<PendingReply>(loop_, std::weak_ptr<WriteTurn>(shared()), m,
                                                  method.outSignature);
    auto answer = [self = shared(), &method, argument = std::move(argument), pending]() mutable {
      self->invoke(method, std::move(argument),
                   [pending](std::string value) { PendingReply::give(pending, std::move(value)); });
    };
    runAnswer(std::move(answer));
  }

  static void replyError(sd_bus_message* m, const char* name, const std::string& text) {
    if (sd_bus_message_get_expect_reply(m) > 0) {
      sd_bus_reply_method_errorf(m, name, "%s", text.c_str());
    }
  }

  bool rawPending() const { return writer_ && writer_->halfWritten(); }

  // Reports go out as ready-made messages, many per system call, instead of one sd-bus message
  // and one write each. sd-bus and this path take turns on the socket: reports are written only
  // while sd-bus has nothing half written, and sd-bus is not called to write (nor to process,
  // which may answer calls) while report bytes are half written. What waits meanwhile stays in
  // the byte-bounded queue.
  void pump() {
    if (closedOnLoop_ || closing_ || !bus_ || !isResumed() || sd_bus_is_ready(bus_.get()) <= 0)
      return;
    auto self = shared();
    for (;;) {
      if (!flushRaw()) return;
      runAfterRaw();
      if (closedOnLoop_ || rawPending()) return;
      const int events = sd_bus_get_events(bus_.get());
      if (events < 0 || (events & POLLOUT)) return;  // sd-bus is mid-message
      if (!fillRaw()) return;
    }
  }

  void runAfterRaw() {
    if (afterRaw_.empty()) return;
    auto tasks = std::move(afterRaw_);
    afterRaw_.clear();
    for (auto& task : tasks) task();
  }

  // Writes what the report writer holds; true once nothing is.
  bool flushRaw() {
    if (!writer_) return true;
    return settle(writer_->flush());
  }

  bool settle(ReportWriter::Result result) {
    if (result.status == ReportWriter::Status::failed) close(result.error);
    return result.status == ReportWriter::Status::done;
  }

  // Hands queued reports to the report writer; false when the queue was empty.
  bool fillRaw() {
    std::vector<QueuedReport> batch;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) {
        pumpPosted_ = false;
        const bool backlog = peakQueuedBytes_ >= kTrimAfter;
        peakQueuedBytes_ = 0;
        if (backlog) drained();
        return false;
      }
      std::size_t bytes = 0;
      while (!queue_.empty() && bytes < kRawBatch) {
        bytes += queue_.front().payload->size() + 128;
        queuedBytes_ -= queue_.front().payload->size() + kQueuedSendOverhead;
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    if (remoteWire_.empty()) {
      const auto remote = remoteObjectInterface();
      remoteWire_ = remote ? remote->wireName() : std::string();
    }
    settle(writer_->add(std::move(batch), remoteWire_));
    return !closedOnLoop_;
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
    error = closeCause(error);
    closing_ = true;
    std::deque<Outgoing> dropped;
    bool released;
    std::size_t freed = 0;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      if (!closeError_) closeError_ = error;
      error = closeError_;
      dropped.swap(queue_);
      freed += queuedBytes_;
      queuedBytes_ = 0;
      released = released_;
    }
    auto self = shared();
    loop_->remove(this);
    held_.clear();

    std::vector<SharedErrorHandler> failed;
    std::unordered_set<const ErrorHandler*> seen;
    auto addFailed = [&](SharedErrorHandler handler) {
      if (handler && *handler && seen.insert(handler.get()).second) {
        failed.push_back(std::move(handler));
      }
    };
    if (writer_) {
      std::vector<SharedErrorHandler> unwritten;
      freed += writer_->drop(unwritten);
      for (auto& handler : unwritten) addFailed(std::move(handler));
    }
    for (auto& item : dropped) addFailed(std::move(item.onError));

    failPending(addFailed);
    bus_.reset();
    runAfterRaw();  // replies that waited: they find the bus closed and let go of their calls
    dropped.clear();
    closed(freed + unflushed_);
    unflushed_ = 0;
    // Callers learn why before the invalidation handler runs.
    const NSError reason = makeError(error, "The connection ended");
    for (auto& handler : failed) (*handler)(reason);
    ending(error, released);
    if (released) return;
    fireInvalidation();
  }

  // Fixed at construction.
  const std::shared_ptr<Loop> loop_;
  const std::size_t maxQueuedBytes_;
  const std::size_t maxReplyBytes_;
  const SdBusTransport::Options::ReportPath reportPath_;

  // Loop thread only.
  BusRef bus_;
  int socketFd_ = -1;          // the peer's socket, owned by the bus
  std::size_t unflushed_ = 0;  // estimated bytes sd-bus holds unwritten
  bool paused_ = false;
  bool rerun_ = false;
  bool closing_ = false;
  bool closedOnLoop_ = false;
  std::vector<MessageRef> held_;
  std::unique_ptr<ReportWriter> writer_;  // once the bus is set up
  std::vector<std::function<void()>> afterRaw_;
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

// The agent's end of a client's connection: its input passes the gate, its calls are answered
// on the listener's worker, and it counts toward the listener's limits.
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
  std::uint64_t ownDeadline() const override { return authDeadline_ ? authDeadline_ : UINT64_MAX; }

  // sd-bus holds this many bytes of answers it could not write yet, so stop reading.
  bool backedUp() const { return unflushed_ >= listener_->options.replyBacklog; }

  // Reads what the client wrote and feeds what the gate lets through to
  // sd-bus. False when the connection ended here.
  bool readInput(short revents) override {
    if (authDeadline_ && sd_bus_is_ready(bus_.get()) > 0) authDeadline_ = 0;
    if (authDeadline_ && monotonicMicroseconds() >= authDeadline_) {
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
  void ending(int error, bool /*released*/) override {
    if (error == ENOBUFS) listener_->refusals.note(RefusalLog::fellBehind);
  }

 private:
  const std::shared_ptr<ListenerState> listener_;
  UniqueFd pendingFd_;
  UniqueFd gateFd_;  // our end of sd-bus's input
  IncomingGate gate_;
  std::uint64_t authDeadline_ = 0;  // until the handshake is complete
  bool clientGone_ = false;
  bool counted_ = false;
  bool handedOver_ = false;
};

// Our connection to a service: it connects on resume, on its own loop, to a server it trusts,
// and makes calls whose replies it waits for.
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

  void afterProcess() override {
    if (running_ || sd_bus_is_ready(bus_.get()) <= 0) return;
    running_ = true;
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();
  }

  int closeCause(int error) const override {
    // A listener hangs up during the handshake on a peer it does not admit (credentials or
    // connection limit).
    if (bus_ && !running_ && (error == ECONNRESET || error == EPIPE || error == ENOTCONN)) {
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

  void ending(int error, bool released) override {
    auto deferred = std::move(deferred_);
    deferred_.clear();
    for (auto& call : deferred) call();  // each fails now that the channel is closed
    if (!released && running_ && error != ECANCELED) fireInterruption();
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
    if (closedOnLoop_) {
      if (onError && *onError) (*onError)(makeError(closeError(), "The connection ended"));
      return;
    }
    if (!running_ || rawPending()) {
      auto retry = [this, &method, argument = std::move(argument), reply = std::move(reply),
                    onError = std::move(onError)]() mutable {
        callOnLoop(method, std::move(argument), std::move(reply), std::move(onError));
      };
      if (running_) {
        afterRaw_.push_back(std::move(retry));
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
  bool running_ = false;
  std::list<std::unique_ptr<PendingCall>> calls_;
  std::vector<std::function<void()>> deferred_;
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

// Serves the sockets a listener hands over: each becomes a ServerChannel on the loop.
// The defensive part of accepting lives here, so that it holds however a socket arrived: peers
// other than root or the allowed group are told so and hung up on, and so is any socket beyond
// the connection limit. Loop thread.
void serveConnection(const std::shared_ptr<Loop>& loop, const std::shared_ptr<ListenerState>& state,
                     UniqueFd connection) {
  ucred cred{};
  socklen_t length = sizeof cred;
  if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) < 0) return;
  if (!peerPermitted(connection.get(), cred, state->options.allowedGroup)) {
    // Tell a D-Bus client why before hanging up; the socket may already be gone.
    [[maybe_unused]] auto n =
        ::send(connection.get(), kRejectLine, std::strlen(kRejectLine), MSG_NOSIGNAL);
    state->refusals.note(RefusalLog::credentials);
    return;
  }
  if (state->live.load() >= state->options.maxConnections) {
    state->refusals.note(RefusalLog::connectionLimit);
    return;
  }
  auto channel = std::make_shared<ServerChannel>(loop, state, std::move(connection),
                                                 PeerCredentials{cred.pid, cred.uid, cred.gid});
  if (channel->start() < 0) return;
  state->live++;
  loop->add(std::move(channel));
}

using HandOver = std::function<void(UniqueFd)>;

// The listening socket: accepts connections and hands each accepted socket over, and removes the
// socket file when it ends. Loop thread.
class SocketListener final : public Pollable {
 public:
  SocketListener(std::shared_ptr<ListenerState> state, UniqueFd fd, std::string path, dev_t dev,
                 ino_t ino, HandOver handOver)
      : state_(std::move(state)),
        fd_(std::move(fd)),
        path_(std::move(path)),
        dev_(dev),
        ino_(ino),
        handOver_(std::move(handOver)) {}

  int pollFd() const override { return fd_.get(); }
  short pollEvents() override {
    if (!fd_) return 0;
    return monotonicMicroseconds() < backoffUntil_ ? 0 : POLLIN;
  }
  std::uint64_t deadline() override {
    std::uint64_t at = backoffUntil_ > monotonicMicroseconds() ? backoffUntil_ : UINT64_MAX;
    return state_->trimAt ? std::min(at, state_->trimAt) : at;
  }

  void handle(short revents) override {
    if (state_->trimAt && state_->trimAt <= monotonicMicroseconds()) {
      state_->trimAt = 0;
      ::malloc_trim(0);
    }
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
      handOver_(std::move(connection));
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
  std::shared_ptr<ListenerState> state_;
  UniqueFd fd_;
  std::string path_;
  dev_t dev_;
  ino_t ino_;
  std::uint64_t backoffUntil_ = 0;
  bool warned_ = false;
  HandOver handOver_;
};

class SocketService final : public Service {
 public:
  SocketService(std::shared_ptr<Loop> loop, std::shared_ptr<ListenerState> state)
      : loop_(std::move(loop)), state_(std::move(state)) {}
  ~SocketService() override {
    loop_->stop();
    state_->worker.stop();  // no call runs after the listener is gone
  }

  bool adopt(UniqueFd connected) override {
    // A std::function must be copyable: the descriptor travels bare and is owned again there.
    const int fd = connected.release();
    loop_->post([loop = loop_, state = state_, fd] { serveConnection(loop, state, UniqueFd(fd)); });
    return true;
  }

 private:
  std::shared_ptr<Loop> loop_;
  std::shared_ptr<ListenerState> state_;
};

std::mutex gUmaskMutex;

void logListenFailure(std::string_view name, const std::string& path, int error) {
  platform::log::write("xpc: cannot publish " + std::string(name) + " at " + path + ": " +
                       std::strerror(error));
}

// Makes the services directory when it is missing: 0755, whatever the umask. One that exists
// must be a directory that only root (or, for a listener not run as root, its own user) can
// change: anyone else able to write there could put an impostor's socket in our place.
int ensureDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) == 0) {
    if (::chmod(dir.c_str(), 0755) < 0) return -errno;
  } else if (errno != EEXIST) {
    return -errno;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) < 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    platform::log::write("xpc: " + dir + " is owned by uid " + std::to_string(st.st_uid) +
                         ", not root: refused");
    return -EPERM;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    platform::log::write("xpc: " + dir + " is writable by group or others: refused");
    return -EPERM;
  }
  return 0;
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
  auto state = std::make_shared<ListenerState>(path);
  state->accept = std::move(accept);
  state->options = options_;
  loop->add(std::make_shared<SocketListener>(state, std::move(fd), path, st.st_dev, st.st_ino,
                                             [loop = std::weak_ptr<Loop>(loop), state](UniqueFd c) {
                                               if (auto l = loop.lock()) {
                                                 serveConnection(l, state, std::move(c));
                                               }
                                             }));
  loop->start();
  return std::make_unique<SocketService>(std::move(loop), std::move(state));
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
  return std::make_shared<ClientChannel>(std::move(loop), socketPathForService(name), options_);
}

}  // namespace xpc
