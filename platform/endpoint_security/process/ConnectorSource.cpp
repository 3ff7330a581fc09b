#include "platform/endpoint_security/process/ConnectorSource.h"

#include <linux/capability.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Scheduling.h"
#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/Capabilities.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ConnectorTracker.h"
#include "platform/endpoint_security/process/SequenceTracker.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

constexpr std::size_t kBatch = 256;     // messages handled per wake-up at most
constexpr unsigned kDatagrams = 64;     // datagrams per receive call
constexpr std::size_t kDatagram = 256;  // a process event is well under this

es_new_client_result_t refusal(int err, const char* step, std::string& why) {
  why = std::string(step) + ": " + std::strerror(err);
  return err == EPERM || err == EACCES ? ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED
                                       : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
}

// One datagram's connector payload, when it is a process event from the kernel.
struct Received {
  std::uint32_t seq;
  std::uint32_t ack;
  proc_event event;
};

std::optional<Received> parse(const char* data, std::size_t size, const sockaddr_nl& from) {
  if (from.nl_pid != 0) return std::nullopt;  // only the kernel speaks on this group
  const auto* header = reinterpret_cast<const nlmsghdr*>(data);
  if (!NLMSG_OK(header, size) || header->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg))) {
    return std::nullopt;
  }
  const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
  if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) return std::nullopt;
  const std::size_t available = header->nlmsg_len - NLMSG_LENGTH(sizeof(cn_msg));
  const std::size_t length = std::min<std::size_t>(message->len, available);
  if (length < offsetof(proc_event, event_data)) return std::nullopt;
  Received out{message->seq, message->ack, {}};
  std::memcpy(&out.event, message->data, std::min(length, sizeof out.event));
  return out;
}

ConnectorMessage decode(const proc_event& e) {
  ConnectorMessage m;
  m.cpu = e.cpu;
  m.timestampNs = e.timestamp_ns;
  const auto& d = e.event_data;
  switch (e.what) {
    case proc_event::PROC_EVENT_NONE:
      m.what = ConnectorEvent::kNone;
      break;
    case proc_event::PROC_EVENT_FORK:
      m.what = ConnectorEvent::kFork;
      m.fork = {d.fork.parent_pid, d.fork.parent_tgid, d.fork.child_pid, d.fork.child_tgid};
      break;
    case proc_event::PROC_EVENT_EXEC:
      m.what = ConnectorEvent::kExec;
      m.exec = {d.exec.process_pid, d.exec.process_tgid};
      break;
    case proc_event::PROC_EVENT_UID:
      m.what = ConnectorEvent::kUid;
      m.ids = {d.id.process_pid, d.id.process_tgid, d.id.r.ruid, d.id.e.euid};
      break;
    case proc_event::PROC_EVENT_GID:
      m.what = ConnectorEvent::kGid;
      m.ids = {d.id.process_pid, d.id.process_tgid, d.id.r.rgid, d.id.e.egid};
      break;
    case proc_event::PROC_EVENT_SID:
      m.what = ConnectorEvent::kSid;
      m.sid = {d.sid.process_pid, d.sid.process_tgid};
      break;
    case proc_event::PROC_EVENT_EXIT:
      m.what = ConnectorEvent::kExit;
      m.exit = {d.exit.process_pid, d.exit.process_tgid, d.exit.exit_code,
                d.exit.exit_signal, d.exit.parent_pid,   d.exit.parent_tgid};
      break;
    default:
      m.what = ConnectorEvent::kOther;
      break;
  }
  return m;
}

// Sends the connector's LISTEN or IGNORE request; 0 or -errno.
int sendMcastOp(int fd, std::uint32_t op) {
  constexpr std::size_t kLength = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(std::uint32_t));
  alignas(nlmsghdr) unsigned char buffer[NLMSG_SPACE(sizeof(cn_msg) + sizeof(std::uint32_t))]{};
  auto* header = reinterpret_cast<nlmsghdr*>(buffer);
  header->nlmsg_len = kLength;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = static_cast<std::uint32_t>(::getpid());
  auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
  message->id.idx = CN_IDX_PROC;
  message->id.val = CN_VAL_PROC;
  message->len = sizeof op;
  std::memcpy(message->data, &op, sizeof op);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, buffer, kLength, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return -errno;
  }
  return 0;
}

// Reads datagrams without waiting, filling the caller's buffers.
class Receiver {
 public:
  // Number of datagrams read, or -errno (-EAGAIN: none waiting).
  int receive(int fd) {
    for (unsigned i = 0; i < kDatagrams; ++i) {
      iov_[i] = iovec{buffers_[i].data(), kDatagram};
      headers_[i] = mmsghdr{};
      headers_[i].msg_hdr.msg_name = &from_[i];
      headers_[i].msg_hdr.msg_namelen = sizeof from_[i];
      headers_[i].msg_hdr.msg_iov = &iov_[i];
      headers_[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd, headers_.data(), kDatagrams, MSG_DONTWAIT, nullptr);
    return n < 0 ? -errno : n;
  }
  std::optional<Received> at(int i) const {
    const auto index = static_cast<std::size_t>(i);
    return parse(buffers_[index].data(), headers_[index].msg_len, from_[index]);
  }

 private:
  struct alignas(nlmsghdr) Buffer : std::array<char, kDatagram> {};
  std::array<Buffer, kDatagrams> buffers_{};
  std::array<iovec, kDatagrams> iov_{};
  std::array<sockaddr_nl, kDatagrams> from_{};
  std::array<mmsghdr, kDatagrams> headers_{};
};

class ConnectorSource final : public Source {
 public:
  explicit ConnectorSource(ConnectorOptions options) : options_(options) {}
  ~ConnectorSource() override { stop(); }

  std::string_view name() const override { return "connector"; }
  bool produces(es_event_type_t type) const override { return isProcessKind(type); }
  es_new_client_result_t open(std::string& why) override;
  void start(SourceContext& context) override;
  void stop() override;

 private:
  es_new_client_result_t awaitListening(std::string& why);
  void readLoop();
  // Reads up to one batch; returns whether the socket was drained.
  bool receiveBatch(std::vector<ConnectorMessage>& batch, bool& overrun, std::uint64_t& missed);
  // Logs the incomplete execs counted so far, once the interval is over or when `force`d.
  void reportIncomplete(bool force);
  int reportTimeoutMs() const;

  const ConnectorOptions options_;
  UniqueFd socket_;
  SourceContext* context_ = nullptr;

  // Reader thread only (and the stopping thread once the reader has ended).
  std::unique_ptr<ExecutableCache> executables_;
  std::unique_ptr<ConnectorTracker> tracker_;
  std::unique_ptr<Receiver> receiver_;
  SequenceTracker sequences_;
  std::uint64_t incomplete_ = 0;  // counted, not yet logged
  std::uint64_t lastReportNs_ = 0;

  // Woken by another source's lookup that waits for the table to catch up.
  ReaderThread reader_;
};

es_new_client_result_t ConnectorSource::open(std::string& why) {
  if (::geteuid() != 0) {
    why = "not running as root";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED;
  }
  if (!hasEffectiveCapability(CAP_NET_ADMIN)) {
    why = "no CAP_NET_ADMIN";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED;
  }
  UniqueFd fd(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
  if (!fd) return refusal(errno, "no process connector", why);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &options_.receiveBufferBytes,
                   sizeof options_.receiveBufferBytes) != 0) {
    return refusal(errno, "receive buffer", why);
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = CN_IDX_PROC;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return refusal(errno, "process connector", why);
  }
  if (const int rc = sendMcastOp(fd.get(), PROC_CN_MCAST_LISTEN); rc < 0) {
    return refusal(-rc, "process connector subscription", why);
  }
  socket_ = std::move(fd);
  const es_new_client_result_t rc = awaitListening(why);
  if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) socket_.reset();
  return rc;
}

// The kernel answers the subscription with an acknowledgement carrying its verdict.
es_new_client_result_t ConnectorSource::awaitListening(std::string& why) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  Receiver receiver;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      why = "the process connector did not answer";
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    pollfd pfd{socket_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    const int n = receiver.receive(socket_.get());
    if (n == -ENOBUFS || n == -EAGAIN || n == -EINTR) continue;
    if (n < 0) return refusal(-n, "process connector", why);
    for (int i = 0; i < n; ++i) {
      const std::optional<Received> received = receiver.at(i);
      // Others' traffic passes by; the answer acknowledges the request's number plus one.
      if (!received || received->event.what != proc_event::PROC_EVENT_NONE) continue;
      if (received->ack != 1) continue;
      const int err = static_cast<int>(received->event.event_data.ack.err);
      if (err != 0) return refusal(err, "process connector subscription", why);
      return ES_NEW_CLIENT_RESULT_SUCCESS;
    }
  }
}

void ConnectorSource::start(SourceContext& context) {
  context_ = &context;
  const bool wakeable = reader_.open();
  executables_ = std::make_unique<ExecutableCache>(&context.packages);
  tracker_ = std::make_unique<ConnectorTracker>(
      context.processes, *executables_,
      [&sink = context.sink](es_event_type_t type) { return sink.subscribed(type); });
  receiver_ = std::make_unique<Receiver>();
  tracker_->rescan();
  lastReportNs_ = 0;  // the first incomplete exec is logged at once
  if (wakeable) context.processes.addReader(this, [this] { reader_.wake(); });
  reader_.start("es-connector", [this] { readLoop(); });
}

void ConnectorSource::stop() {
  if (context_ != nullptr) context_->processes.removeReader(this);
  reader_.stop();
  if (tracker_) reportIncomplete(true);
  if (socket_) sendMcastOp(socket_.get(), PROC_CN_MCAST_IGNORE);
  socket_.reset();
}

void ConnectorSource::readLoop() {
  // The reader races every process it reads; it goes before the agent's other threads.
  platform::runPromptly(platform::kEventPathNice);
  std::vector<ConnectorMessage> batch;
  batch.reserve(kBatch);
  bool overrun = false;      // the kernel reported dropping messages
  std::uint64_t missed = 0;  // messages known lost since the last report
  for (;;) {
    pollfd socket{socket_.get(), POLLIN, 0};
    const ReaderThread::Wakeup seen = reader_.wait({&socket, 1}, reportTimeoutMs());
    if (!seen) return;
    const bool ready = !seen.timedOut();  // else only the report's time has come
    if (ready && options_.paused != nullptr && options_.paused->load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    batch.clear();
    // The kernel queues a message as its change happens: once the queue is read empty, every
    // change before this moment has been read.
    const std::uint64_t upTo = monotonicNow();
    const bool drained = !ready || receiveBatch(batch, overrun, missed);
    for (std::unique_ptr<PendingEvent>& event : tracker_->handle(batch)) {
      if (!context_->sink.push(std::move(event))) return;  // the client is stopping
    }
    if (drained && ready) context_->processes.reached(upTo);
    reportIncomplete(false);
    if (!drained) continue;
    if (missed > 0) {
      NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
            static_cast<unsigned long long>(missed));
      missed = 0;
    }
    if (overrun) {
      // What the lost messages would have told is read from /proc instead. A CPU that has not
      // shown its gap yet counts it with its next message.
      overrun = false;
      tracker_->rescan();
    }
  }
}

bool ConnectorSource::receiveBatch(std::vector<ConnectorMessage>& batch, bool& overrun,
                                   std::uint64_t& missed) {
  while (batch.size() < kBatch) {
    const int n = receiver_->receive(socket_.get());
    if (n == -EAGAIN) return true;
    if (n == -ENOBUFS) {
      overrun = true;
      continue;
    }
    if (n == -EINTR) continue;
    if (n < 0) {
      NSLog("EndpointSecurity: receive failed: %s", std::strerror(-n));
      return true;
    }
    for (int i = 0; i < n; ++i) {
      const std::optional<Received> received = receiver_->at(i);
      if (!received) continue;
      // Acknowledgements share the per-CPU numbering, so they count before being skipped.
      const std::uint64_t gap = sequences_.observe(received->event.cpu, received->seq);
      if (gap > 0) {
        missed += gap;
        overrun = true;
      }
      ConnectorMessage message = decode(received->event);
      if (message.what != ConnectorEvent::kNone) batch.push_back(message);
    }
  }
  return false;
}

void ConnectorSource::reportIncomplete(bool force) {
  incomplete_ += tracker_->takeIncompleteExecs();
  if (incomplete_ == 0) return;
  const std::uint64_t now = monotonicNow();
  if (!force &&
      now - lastReportNs_ <
          static_cast<std::uint64_t>(std::chrono::nanoseconds(options_.reportInterval).count())) {
    return;
  }
  NSLog("EndpointSecurity: %llu execs captured incomplete (process gone before it could be read)",
        static_cast<unsigned long long>(incomplete_));
  incomplete_ = 0;
  lastReportNs_ = now;
}

int ConnectorSource::reportTimeoutMs() const {
  if (incomplete_ == 0) return -1;
  const auto interval = std::chrono::nanoseconds(options_.reportInterval).count();
  const auto elapsed = static_cast<std::int64_t>(monotonicNow() - lastReportNs_);
  return static_cast<int>(std::max<std::int64_t>(0, (interval - elapsed) / 1000000 + 1));
}

}  // namespace

std::unique_ptr<Source> makeConnectorSource(ConnectorOptions options) {
  return std::make_unique<ConnectorSource>(options);
}

}  // namespace platform::es
