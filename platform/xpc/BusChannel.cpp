#include "platform/xpc/BusChannel.h"

#include <poll.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "platform/WakeBatch.h"
#include "platform/xpc/BusMessage.h"

namespace xpc {
namespace {

// sd-bus steps per wake-up before other connections get their turn.
constexpr int kProcessBudget = 256;
// Report bytes handed to the report writer at a time.
constexpr std::size_t kRawBatch = 64 * 1024;

}  // namespace

void ConnectionRole::call(BusChannel& connection, const ipc::ProtocolMethod& method,
                          const std::string&, ReplyHandler, SharedErrorHandler onError) {
  connection.reportError(
      std::move(onError),
      makeError(ENOTSUP, std::string(method.member) + ": the service makes no calls"));
}

BusChannel::BusChannel(std::shared_ptr<Loop> loop, const SdBusTransport::Options& options,
                       std::unique_ptr<ConnectionRole> role, PeerCredentials peer)
    : loop_(std::move(loop)),
      reportPath_(options.reportPath),
      role_(std::move(role)),
      queue_(options.maxQueuedBytes, options.maxQueuedReplyBytes),
      peer_(peer) {}

void BusChannel::resume() {
  if (!markResumed()) return;
  auto self = shared();
  loop_->post([self] { self->role_->resumed(*self); });
  if (role_->ownsLoop()) loop_->start();
}

void BusChannel::invalidate() {
  auto self = shared();
  loop_->post([self] { self->close(ECANCELED); });
  if (role_->ownsLoop()) loop_->start();  // so that a connection never resumed ends too
}

void BusChannel::release() {
  released_ = true;
  dropHandlers();
  auto self = shared();
  loop_->post([self] { self->close(ECANCELED); });
  if (role_->ownsLoop()) loop_->stop();
}

void BusChannel::setPeer(PeerCredentials peer) {
  std::lock_guard lock(peerMutex_);
  peer_ = peer;
}

PeerCredentials BusChannel::peerCredentials() const {
  std::lock_guard lock(peerMutex_);
  return peer_;
}

short BusChannel::pollEvents() {
  assert(onLoop());
  if (!servesSocket()) return 0;
  if (turn_.reportsHalfWritten()) return POLLOUT;
  const int events = sd_bus_get_events(bus_.get());
  if (events < 0) return 0;
  if (!(events & POLLOUT)) {
    // sd-bus has written everything: a large reply's memory can go back to the system.
    if (unflushed_ >= kTrimAfter) role_->drained();
    unflushed_ = 0;
  }
  return static_cast<short>((events & POLLOUT) | role_->inputEvents(*this, events));
}

std::uint64_t BusChannel::deadline() {
  assert(onLoop());
  if (!servesSocket() || turn_.reportsHalfWritten()) return UINT64_MAX;
  if (rerun_) return 0;
  std::uint64_t usec = UINT64_MAX;
  if (sd_bus_get_timeout(bus_.get(), &usec) < 0) usec = UINT64_MAX;
  return std::min(usec, role_->deadline(*this));
}

void BusChannel::handle(short revents) {
  assert(onLoop());
  if (!servesSocket()) return;
  auto self = shared();  // callbacks may drop the last other reference
  // What the exported object hands on while this read's messages are dispatched (wake-ups,
  // a client's output), by the role or by sd-bus, goes once, after the last of them.
  const platform::WakeBatch batch;
  const ConnectionRole::Input input = role_->admitInput(*this, revents);
  if (input == ConnectionRole::Input::closed) return;
  // Finish the reports half written, then let sd-bus read and answer before writing more,
  // so that calls are served while reports keep coming.
  if (!settle(turn_.flush()) || life_ == Life::closed) return;
  rerun_ = false;
  int budget = kProcessBudget;
  while (life_ == Life::authenticating || life_ == Life::running) {
    if (--budget < 0) {
      rerun_ = true;
      break;
    }
    const int r = sd_bus_process(bus_.get(), nullptr);
    if (r < 0) {
      close(-r);
      return;
    }
    if (r == 0) {
      role_->inputProcessed();
      break;
    }
  }
  if (isClosing()) return;  // a close is posted
  if (sd_bus_is_open(bus_.get()) <= 0 || (input == ConnectionRole::Input::peerGone && !rerun_)) {
    close(ECONNRESET);
    return;
  }
  if (life_ == Life::authenticating && sd_bus_is_ready(bus_.get()) > 0) {
    life_ = Life::running;
    role_->started();
  }
  pump();
}

bool BusChannel::chargeReply(std::size_t bytes) {
  const ReportQueue::Charge charge = queue_.chargeReply(bytes);
  if (charge != ReportQueue::Charge::overflow) return charge == ReportQueue::Charge::charged;
  auto self = shared();
  loop_->post([self] { self->close(ENOBUFS); });
  return false;
}

void BusChannel::callDone(std::size_t charged) {
  assert(onLoop());
  --outstanding_;
  if (!charged) return;
  unflushed_ += charged;
  queue_.releaseReply(charged);
}

void BusChannel::whenSdBusMayWrite(std::function<void()> task) {
  assert(onLoop());
  turn_.whenSdBusMayWrite(std::move(task));
}

void BusChannel::doSend(const ipc::ProtocolMethod& method, Payload argument,
                        SharedErrorHandler onError) {
  bool postPump = false;
  const std::size_t size = argument->size();
  QueuedReport report{&method, std::move(argument), std::move(onError)};
  const int failure = queue_.push(report, size, postPump);
  if (failure) {
    reportError(std::move(report.onError), makeError(failure, "The report could not be sent"));
    if (failure == ENOBUFS) loop_->post([self = shared()] { self->close(ENOBUFS); });
    return;
  }
  // Written by this thread itself where it can (see Loop::postWrite), once its run of reports ends.
  if (postPump) loop_->postWrite([self = shared()] { self->pump(); });
}

void BusChannel::reportError(SharedErrorHandler onError, NSError error) {
  if (!onError || !*onError) return;
  loop_->post([onError = std::move(onError), error = std::move(error)] { (*onError)(error); });
}

void BusChannel::doCall(const ipc::ProtocolMethod& method, const std::string& argument,
                        ReplyHandler reply, SharedErrorHandler onError) {
  role_->call(*this, method, argument, std::move(reply), std::move(onError));
}

std::shared_ptr<BusChannel> BusChannel::shared() {
  return std::static_pointer_cast<BusChannel>(shared_from_this());
}

int BusChannel::startBus(UniqueFd socket, UniqueFd input,
                         const std::function<int(sd_bus*)>& configure) {
  assert(onLoop());
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r < 0) return r;
  bus_ = BusRef(bus);
  life_ = Life::authenticating;
  const int inputFd = input ? input.get() : socket.get();
  if ((r = sd_bus_set_fd(bus_.get(), inputFd, socket.get())) < 0) return r;
  socketFd_ = socket.release();  // the bus closes both from now on
  input.release();
  if ((r = configureBus()) < 0) return r;
  if (configure && (r = configure(bus_.get())) < 0) return r;
  if ((r = sd_bus_start(bus_.get())) < 0) return r;
  makeWriter();
  return 0;
}

void BusChannel::makeWriter() {
  turn_.start(bus_.get(), reportPath_ == SdBusTransport::Options::ReportPath::plain
                              ? makePlainReportWriter(bus_.get())
                              : makeBatchedReportWriter(socketFd_));
}

int BusChannel::configureBus() {
  const int r = sd_bus_negotiate_fds(bus_.get(), 0);
  if (r < 0) return r;
  return sd_bus_add_filter(bus_.get(), nullptr, &BusChannel::onMessage, this);
}

void BusChannel::deliverHeld() {
  assert(onLoop());
  if (life_ == Life::closed) return;
  if (life_ == Life::held) life_ = Life::running;
  auto held = std::move(held_);
  held_.clear();
  for (auto& message : held) deliver(message.get());
  pump();
}

int BusChannel::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
  return static_cast<BusChannel*>(userdata)->handleMessage(m);
}

int BusChannel::handleMessage(sd_bus_message* m) {
  assert(onLoop());
  if (isClosing()) return 1;
  // Whatever answers this message (sd-bus or us) is written through sd-bus.
  unflushed_ += kQueuedSendOverhead;
  std::uint8_t type = 0;
  if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) return 0;
  const char* interface = sd_bus_message_get_interface(m);
  if (isTransportInterface(interface)) {
    // sd-bus answers Peer calls and rejects the rest.
    return role_->answerTransportCall(m) ? 1 : 0;
  }
  if (!role_->admitPeer(*this)) {
    requestClose(ECONNREFUSED);
    return 1;
  }
  if (isClosing()) return 1;
  if (!isResumed() || life_ == Life::held) {
    held_.emplace_back(sd_bus_message_ref(m));
    life_ = Life::held;
    return 1;
  }
  deliver(m);
  return 1;
}

void BusChannel::deliver(sd_bus_message* m) {
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
  if (!role_->admitCall(m, outstanding_.load())) return;
  ++outstanding_;
  auto pending = std::make_shared<PendingReply>(loop_, std::weak_ptr<ReplyRoute>(shared()), m,
                                                method.outSignature);
  auto answer = [self = shared(), &method, argument = std::move(argument), pending]() mutable {
    self->invoke(method, std::move(argument),
                 [pending](std::string value) { PendingReply::give(pending, std::move(value)); });
  };
  role_->answer(std::move(answer));
}

bool BusChannel::deliverReport(const ReportFramer::Report& report) {
  assert(onLoop());
  if (life_ != Life::running || !isResumed()) return false;
  const ipc::ProtocolMethod* method = lookupExported(report.interface, report.member).method;
  if (!method || !method->outSignature.empty() || method->inSignature != report.signature) {
    return false;
  }
  invoke(*method, std::string(report.argument), nullptr);
  return true;
}

void BusChannel::pump() {
  assert(onLoop());
  if (isClosing() || !bus_ || !isResumed() || sd_bus_is_ready(bus_.get()) <= 0) return;
  auto self = shared();
  for (;;) {
    if (!settle(turn_.flush())) return;
    if (isClosing() || !turn_.reportsMayStart()) return;
    if (!fillRaw()) return;
  }
}

bool BusChannel::settle(ReportWriter::Result result) {
  if (result.status == ReportWriter::Status::failed) {
    // The handlers a close runs belong on the loop's thread, not on one that writes for it.
    if (!loop_->helping()) {
      close(result.error);
    } else if (!isClosing()) {
      requestClose(result.error);
    }
  }
  return result.status == ReportWriter::Status::done;
}

bool BusChannel::fillRaw() {
  bool backlog = false;
  std::vector<QueuedReport> batch = queue_.take(kRawBatch, backlog);
  if (batch.empty()) {
    if (backlog) role_->drained();
    return false;
  }
  if (remoteWire_.empty()) {
    const auto remote = remoteObjectInterface();
    remoteWire_ = remote ? remote->wireName() : std::string();
  }
  settle(turn_.add(std::move(batch), remoteWire_));
  return !isClosing();
}

void BusChannel::requestClose(int error) {
  assert(onLoop() && !isClosing());
  life_ = Life::closing;
  auto self = shared();
  loop_->post([self, error] { self->close(error); });
}

int BusChannel::closeError() {
  return queue_.closeError();
}

void BusChannel::close(int error) {
  assert(onLoop());
  if (life_ == Life::closed) return;
  const Life was = std::exchange(life_, Life::closed);
  // A listener hangs up during the handshake on a peer it does not admit (credentials or
  // connection limit): the connection was refused rather than lost.
  if (was == Life::authenticating && (error == ECONNRESET || error == EPIPE || error == ENOTCONN)) {
    error = ECONNABORTED;
  }
  ReportQueue::Closed closed = queue_.close(error);
  error = closed.error;
  std::deque<QueuedReport>& dropped = closed.dropped;
  std::size_t freed = closed.bytes;
  const bool released = released_;
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
  std::vector<SharedErrorHandler> unwritten;
  freed += turn_.close(unwritten);
  for (auto& handler : unwritten) addFailed(std::move(handler));
  for (auto& item : dropped) addFailed(std::move(item.onError));

  role_->failPending(addFailed);
  bus_.reset();
  // Replies that waited find the bus closed and let go of their calls.
  turn_.releaseWaiting();
  dropped.clear();
  freed += unflushed_;
  unflushed_ = 0;
  // Callers learn why before the invalidation handler runs.
  const NSError reason = makeError(error, "The connection ended");
  for (auto& handler : failed) (*handler)(reason);
  role_->closed(*this, ConnectionEnd{error, released, was, freed});
  if (released) return;
  fireInvalidation();
}

}  // namespace xpc
