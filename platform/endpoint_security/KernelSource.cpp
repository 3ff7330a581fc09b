#include "platform/endpoint_security/KernelSource.h"

#include <linux/capability.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/PackageIndex.h"
#include "platform/endpoint_security/ProcFs.h"
#include "platform/endpoint_security/SequenceTracker.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

constexpr std::uint32_t kExecBit = 1u << 0;
constexpr std::uint32_t kForkBit = 1u << 1;
constexpr std::uint32_t kExitBit = 1u << 2;
constexpr std::size_t kBatch = 256;

bool knownEventType(es_event_type_t type) {
  switch (type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC:
    case ES_EVENT_TYPE_NOTIFY_FORK:
    case ES_EVENT_TYPE_NOTIFY_EXIT:
    case ES_EVENT_TYPE_NOTIFY_AUTHENTICATION:
    case ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED:
    case ES_EVENT_TYPE_NOTIFY_XP_MALWARE_REMEDIATED:
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN:
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGOUT:
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOCK:
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK:
    case ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH:
    case ES_EVENT_TYPE_NOTIFY_SCREENSHARING_DETACH:
    case ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN:
    case ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGOUT:
    case ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN:
    case ES_EVENT_TYPE_NOTIFY_LOGIN_LOGOUT:
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD:
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE:
      return true;
  }
  return false;
}

// The process events this source produces; the other kinds never happen here.
std::uint32_t bitOf(es_event_type_t type) {
  switch (type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC:
      return kExecBit;
    case ES_EVENT_TYPE_NOTIFY_FORK:
      return kForkBit;
    case ES_EVENT_TYPE_NOTIFY_EXIT:
      return kExitBit;
    default:
      return 0;
  }
}

// The subscription bits of a list of event kinds; nullopt when one of them is not a kind this
// source knows, which rejects the whole call.
std::optional<std::uint32_t> subscriptionBits(const es_event_type_t* events, std::uint32_t count) {
  std::uint32_t bits = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!knownEventType(events[i])) return std::nullopt;
    bits |= bitOf(events[i]);
  }
  return bits;
}

bool hasEffectiveCapability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

es_new_client_result_t refusal(int err) {
  return err == EPERM || err == EACCES ? ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED
                                       : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
}

// One connector message as read from the socket.
struct RawEvent {
  std::uint32_t seq;
  std::uint32_t ack;
  proc_event event;
};

// A process as last seen: what es_process_t reports about it.
struct ProcessImage {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t originalPpid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  uid_t ruid = 0;
  uid_t euid = 0;
  gid_t rgid = 0;
  gid_t egid = 0;
  timeval start{};
  bool kernel = false;
  std::shared_ptr<const Executable> exe;  // null: unknown
};

// A completed message waiting for the handler; owns everything the message will point to.
struct Event {
  es_event_type_t type;
  std::uint64_t monotonicNs;
  timespec time;
  ProcessImage process;
  ProcessImage other;  // exec target, fork child
  int exitStatus = 0;
  std::string args;  // NUL-separated, as the kernel keeps them
  std::string envs;

  std::size_t bytes() const { return sizeof(Event) + args.size() + envs.size(); }
};

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
}

// The es_process_t and es_file_t of one image, alive for one handler call.
struct ProcessView {
  es_file_t file;
  es_process_t process;

  void fill(const ProcessImage& image, pid_t self) {
    const Executable* exe = image.exe.get();
    file = es_file_t{};
    process = es_process_t{};
    if (exe != nullptr) {
      file.path = tokenOf(exe->path);
      file.path_truncated = exe->pathTruncated;
      file.stat = exe->stat;
      std::memcpy(process.cdhash, exe->cdhash.data(), sizeof process.cdhash);
      if (exe->package) process.signing_id = tokenOf(*exe->package);
      process.is_platform_binary = exe->package.has_value();
    } else {
      file.path = {0, nullptr};  // read as "unknown"
    }
    process.audit_token =
        make_audit_token(image.pid, image.euid, image.ruid, image.egid, image.rgid, 0xffffffffu,
                         static_cast<std::uint32_t>(image.sid));
    process.ppid = image.ppid;
    process.original_ppid = image.originalPpid;
    process.group_id = image.pgid;
    process.session_id = image.sid;
    process.codesigning_flags = 0;
    process.is_es_client = image.pid == self;
    process.team_id = {0, nullptr};
    process.executable = &file;
    process.tty = nullptr;
    process.start_time = image.start;
    process.parent_audit_token = make_audit_token(image.ppid, 0, 0, 0, 0);
  }
};

class KernelClient final : public es_client_t {
 public:
  KernelClient(KernelBackend& owner, es_handler_block_t handler, const KernelOptions& options,
               UniqueFd socket, const PackageIndexWatcher& packages)
      : es_client_t(owner),
        handler_(std::move(handler)),
        options_(options),
        socket_(std::move(socket)),
        listening_(true),
        exes_(&packages),
        self_(::getpid()) {}

  ~KernelClient() override { stop(); }

  // Creates the connector socket and subscribes it; the kernel's refusal becomes the result.
  static es_new_client_result_t open(const KernelOptions& options, UniqueFd& socket);
  bool start();
  void stop();

  void changeSubscription(std::uint32_t bits, bool on) {
    if (on) {
      subscribed_.fetch_or(bits, std::memory_order_acq_rel);
    } else {
      subscribed_.fetch_and(~bits, std::memory_order_acq_rel);
    }
  }
  bool onDeliveryThread() const { return std::this_thread::get_id() == deliveryId_.load(); }
  std::uint64_t lost() const { return lost_.load(std::memory_order_relaxed); }

 private:
  bool subscribedTo(std::uint32_t bit) const {
    return (subscribed_.load(std::memory_order_acquire) & bit) != 0;
  }

  void readLoop();
  void deliverLoop();
  void handleBatch(const std::vector<RawEvent>& batch);
  void onFork(const proc_event& e);
  void onExec(const proc_event& e, bool stale);
  void onExit(const proc_event& e);
  void enqueue(std::unique_ptr<Event> event);
  void deliver(const Event& event);

  bool readImage(pid_t pid, ProcessImage& image);
  ProcessImage imageOf(pid_t pid);
  void scan();
  timespec wallTime(std::uint64_t monotonicNs) const;
  timeval startTime(std::uint64_t ticks) const;

  const es_handler_block_t handler_;
  const KernelOptions options_;
  UniqueFd socket_;
  bool listening_;
  UniqueFd wake_;
  std::atomic<std::uint32_t> subscribed_{0};

  // Reader thread only.
  ExecutableCache exes_;
  std::unordered_map<pid_t, ProcessImage> cache_;
  SequenceTracker sequences_;
  std::unordered_map<pid_t, std::size_t> lastExecInBatch_;
  std::int64_t bootWallNs_ = 0;
  std::int64_t monotonicWallNs_ = 0;
  const pid_t self_;
  const long ticksPerSecond_ = ::sysconf(_SC_CLK_TCK);

  std::atomic<std::uint64_t> lost_{0};

  std::mutex queueMutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<std::unique_ptr<Event>> queue_;
  std::size_t queueBytes_ = 0;
  bool stopping_ = false;
  bool readerWaiting_ = false;    // only then does a pop need to wake the reader
  bool deliveryWaiting_ = false;  // only then does a push need to wake the delivery thread

  std::uint64_t globalSeq_ = 0;
  std::uint64_t typeSeq_[3] = {0, 0, 0};

  std::thread reader_;
  std::thread delivery_;
  std::atomic<std::thread::id> deliveryId_{};
};

// Sends the connector's LISTEN or IGNORE request.
int sendMcastOp(int fd, std::uint32_t op, std::uint32_t seq) {
  constexpr std::size_t kLength = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(std::uint32_t));
  alignas(nlmsghdr) unsigned char buffer[NLMSG_SPACE(sizeof(cn_msg) + sizeof(std::uint32_t))]{};
  auto* header = reinterpret_cast<nlmsghdr*>(buffer);
  header->nlmsg_len = kLength;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = static_cast<std::uint32_t>(::getpid());
  header->nlmsg_seq = seq;
  auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
  message->id.idx = CN_IDX_PROC;
  message->id.val = CN_VAL_PROC;
  message->seq = seq;
  message->len = sizeof op;
  std::memcpy(message->data, &op, sizeof op);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, buffer, kLength, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return -errno;
  }
  return 0;
}

// Reads one datagram; returns its connector payload when it is a process event from the kernel.
// Returns 0 on a message, -errno on failure, 1 for a datagram that is not ours.
int receiveOne(int fd, int flags, RawEvent& out) {
  alignas(nlmsghdr) char buffer[1024];
  sockaddr_nl from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n =
      ::recvfrom(fd, buffer, sizeof buffer, flags, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return -errno;
  if (from.nl_pid != 0) return 1;  // only the kernel speaks on this group
  const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
  if (!NLMSG_OK(header, static_cast<std::size_t>(n))) return 1;
  if (header->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg))) return 1;
  const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
  if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) return 1;
  const std::size_t available = header->nlmsg_len - NLMSG_LENGTH(sizeof(cn_msg));
  const std::size_t length = std::min<std::size_t>(message->len, available);
  constexpr std::size_t kHead = offsetof(proc_event, event_data);
  if (length < kHead) return 1;
  out.seq = message->seq;
  out.ack = message->ack;
  std::memset(&out.event, 0, sizeof out.event);
  std::memcpy(&out.event, message->data, std::min(length, sizeof out.event));
  return 0;
}

es_new_client_result_t KernelClient::open(const KernelOptions& options, UniqueFd& socket) {
  UniqueFd fd(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
  if (!fd) return refusal(errno);
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &options.receiveBufferBytes,
                   sizeof options.receiveBufferBytes) != 0) {
    return refusal(errno);
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = CN_IDX_PROC;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return refusal(errno);
  }
  if (const int rc = sendMcastOp(fd.get(), PROC_CN_MCAST_LISTEN, 0); rc < 0) return refusal(-rc);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    pollfd pfd{fd.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    if (ready <= 0) continue;
    RawEvent raw{};
    const int rc = receiveOne(fd.get(), MSG_DONTWAIT, raw);
    if (rc == -ENOBUFS || rc == -EAGAIN || rc == -EINTR || rc == 1) continue;
    if (rc < 0) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    if (raw.event.what != proc_event::PROC_EVENT_NONE) continue;  // others' traffic
    // The answer acknowledges the request's number plus one; its seq is the kernel's own.
    if (raw.ack != 1) continue;
    const int err = static_cast<int>(raw.event.event_data.ack.err);
    if (err != 0) return refusal(err);
    socket = std::move(fd);
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }
}

bool KernelClient::start() {
  wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_) return false;
  scan();
  delivery_ = std::thread([this] { deliverLoop(); });
  reader_ = std::thread([this] { readLoop(); });
  return true;
}

void KernelClient::stop() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  notEmpty_.notify_all();
  notFull_.notify_all();
  if (wake_) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }
  if (reader_.joinable()) reader_.join();
  if (delivery_.joinable()) delivery_.join();
  if (listening_ && socket_) sendMcastOp(socket_.get(), PROC_CN_MCAST_IGNORE, 0);
  listening_ = false;
  socket_.reset();
}

timespec KernelClient::wallTime(std::uint64_t monotonicNs) const {
  const std::int64_t ns = static_cast<std::int64_t>(monotonicNs) + monotonicWallNs_;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

timeval KernelClient::startTime(std::uint64_t ticks) const {
  const std::int64_t ns =
      bootWallNs_ + static_cast<std::int64_t>(ticks) * (1000000000 / ticksPerSecond_);
  return timeval{static_cast<time_t>(ns / 1000000000),
                 static_cast<suseconds_t>((ns % 1000000000) / 1000)};
}

bool KernelClient::readImage(pid_t pid, ProcessImage& image) {
  ProcStat st;
  if (readProcStat(pid, st) < 0) return false;
  ProcIds ids;
  if (readProcIds(pid, ids) < 0) return false;
  image.pid = pid;
  image.ppid = st.ppid;
  image.originalPpid = st.ppid;
  image.pgid = st.pgrp;
  image.sid = st.session;
  image.ruid = ids.ruid;
  image.euid = ids.euid;
  image.rgid = ids.rgid;
  image.egid = ids.egid;
  image.start = startTime(st.startTicks);
  image.kernel = st.kernelThread();
  image.exe = image.kernel ? nullptr : exes_.forProcess(pid);
  return true;
}

// The cached image of `pid`, read from /proc when it is not cached (a message was missed).
ProcessImage KernelClient::imageOf(pid_t pid) {
  if (auto it = cache_.find(pid); it != cache_.end()) return it->second;
  ProcessImage image;
  if (readImage(pid, image)) {
    cache_.emplace(pid, image);
  } else {
    image.pid = pid;
  }
  return image;
}

void KernelClient::scan() {
  bootWallNs_ = bootWallClockNs();
  monotonicWallNs_ = monotonicWallClockNs();
  std::unordered_map<pid_t, ProcessImage> fresh;
  for (const pid_t pid : listPids()) {
    ProcessImage image;
    if (!readImage(pid, image)) continue;
    if (auto old = cache_.find(pid); old != cache_.end() && old->second.ppid == image.ppid) {
      image.originalPpid = old->second.originalPpid;
    }
    fresh.emplace(pid, std::move(image));
  }
  cache_.swap(fresh);
}

void KernelClient::readLoop() {
  std::vector<RawEvent> batch;
  batch.reserve(kBatch);
  bool overrun = false;      // the kernel reported dropping messages
  std::uint64_t missed = 0;  // messages known lost since the last report
  for (;;) {
    pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      NSLog("EndpointSecurity: poll failed: %s", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    batch.clear();
    bool drained = false;
    while (batch.size() < kBatch) {
      RawEvent raw{};
      const int rc = receiveOne(socket_.get(), MSG_DONTWAIT, raw);
      if (rc == 1) continue;
      if (rc == -EAGAIN) {
        drained = true;
        break;
      }
      if (rc == -ENOBUFS) {
        overrun = true;
        continue;
      }
      if (rc == -EINTR) continue;
      if (rc < 0) {
        NSLog("EndpointSecurity: receive failed: %s", std::strerror(-rc));
        drained = true;
        break;
      }
      // Acknowledgements share the per-CPU numbering, so they count before being skipped.
      missed += sequences_.observe(raw.event.cpu, raw.seq);
      if (raw.event.what == proc_event::PROC_EVENT_NONE) continue;
      batch.push_back(raw);
    }
    handleBatch(batch);
    if (!drained) continue;
    if (missed > 0) {
      lost_.fetch_add(missed, std::memory_order_relaxed);
      NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
            static_cast<unsigned long long>(missed));
      missed = 0;
      overrun = false;
      scan();
    } else if (overrun) {
      // Dropped, but no CPU has shown its gap yet; the count comes with that CPU's next message.
      overrun = false;
      scan();
    }
  }
}

void KernelClient::handleBatch(const std::vector<RawEvent>& batch) {
  if (batch.empty()) return;
  monotonicWallNs_ = monotonicWallClockNs();
  // An exec followed by another exec of the same process within the batch can no longer be
  // read: /proc already shows the later image.
  lastExecInBatch_.clear();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].event.what == proc_event::PROC_EVENT_EXEC) {
      lastExecInBatch_[batch[i].event.event_data.exec.process_tgid] = i;
    }
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const proc_event& e = batch[i].event;
    switch (e.what) {
      case proc_event::PROC_EVENT_FORK:
        onFork(e);
        break;
      case proc_event::PROC_EVENT_EXEC:
        onExec(e, lastExecInBatch_[e.event_data.exec.process_tgid] != i);
        break;
      case proc_event::PROC_EVENT_EXIT:
        onExit(e);
        break;
      case proc_event::PROC_EVENT_UID:
      case proc_event::PROC_EVENT_GID:
        if (e.event_data.id.process_pid == e.event_data.id.process_tgid) {
          if (auto it = cache_.find(e.event_data.id.process_tgid); it != cache_.end()) {
            if (e.what == proc_event::PROC_EVENT_UID) {
              it->second.ruid = e.event_data.id.r.ruid;
              it->second.euid = e.event_data.id.e.euid;
            } else {
              it->second.rgid = e.event_data.id.r.rgid;
              it->second.egid = e.event_data.id.e.egid;
            }
          }
        }
        break;
      case proc_event::PROC_EVENT_SID:
        if (auto it = cache_.find(e.event_data.sid.process_tgid); it != cache_.end()) {
          it->second.sid = e.event_data.sid.process_tgid;
          it->second.pgid = e.event_data.sid.process_tgid;
        }
        break;
      default:
        break;
    }
  }
}

void KernelClient::onFork(const proc_event& e) {
  const auto& f = e.event_data.fork;
  if (f.child_pid != f.child_tgid) return;  // a new thread, not a new process
  const ProcessImage parent = imageOf(f.parent_tgid);
  ProcessImage child = parent;
  child.pid = f.child_tgid;
  child.ppid = parent.pid;
  child.originalPpid = parent.pid;
  // The kernel stamps the fork as it makes the child: its start, in the boot-clock ticks /proc
  // counts in, without reading /proc.
  const std::int64_t bootNs =
      static_cast<std::int64_t>(e.timestamp_ns) + monotonicWallNs_ - bootWallNs_;
  child.start = startTime(static_cast<std::uint64_t>(bootNs / (1000000000 / ticksPerSecond_)));
  cache_[child.pid] = child;
  if (parent.kernel || !subscribedTo(kForkBit)) return;  // kernel threads are not reported
  auto event = std::make_unique<Event>();
  event->type = ES_EVENT_TYPE_NOTIFY_FORK;
  event->monotonicNs = e.timestamp_ns;
  event->time = wallTime(e.timestamp_ns);
  event->process = parent;
  event->other = std::move(child);
  enqueue(std::move(event));
}

void KernelClient::onExec(const proc_event& e, bool stale) {
  const pid_t pid = e.event_data.exec.process_tgid;
  const auto known = cache_.find(pid);
  ProcessImage target = known != cache_.end() ? known->second : ProcessImage{};
  target.pid = pid;
  target.kernel = false;
  target.exe = nullptr;  // unknown unless read below
  const bool wanted = subscribedTo(kExecBit);
  std::string args;
  std::string envs;
  if (!stale) {
    // The process may end any moment: what goes with it (image, arguments, environment) is read
    // first. Ids and parent come after; an exec keeps the start time.
    target.exe = exes_.forProcess(pid);
    if (target.exe && wanted) {
      if (readCmdline(pid, args) < 0) args.clear();
      if (readEnviron(pid, envs) < 0) envs.clear();
    }
    ProcIds ids;
    if (readProcIds(pid, ids) == 0) {
      target.ruid = ids.ruid;
      target.euid = ids.euid;
      target.rgid = ids.rgid;
      target.egid = ids.egid;
    }
    ProcStat st;
    if (readProcStat(pid, st) == 0) {
      target.ppid = st.ppid;
      target.pgid = st.pgrp;
      target.sid = st.session;
      if (known == cache_.end()) {
        target.originalPpid = st.ppid;
        target.start = startTime(st.startTicks);
      }
    }
  }
  std::unique_ptr<Event> event;
  if (wanted) {
    event = std::make_unique<Event>();
    event->type = ES_EVENT_TYPE_NOTIFY_EXEC;
    event->monotonicNs = e.timestamp_ns;
    event->time = wallTime(e.timestamp_ns);
    // Without a record of the process before the exec, the new image is all there is.
    event->process = known != cache_.end() ? known->second : target;
    event->args = std::move(args);
    event->envs = std::move(envs);
    event->other = target;
  }
  cache_[pid] = std::move(target);
  if (event) enqueue(std::move(event));
}

void KernelClient::onExit(const proc_event& e) {
  const auto& x = e.event_data.exit;
  if (x.process_pid != x.process_tgid) return;  // a thread ended, the process lives on
  ProcessImage image;
  if (auto it = cache_.find(x.process_tgid); it != cache_.end()) {
    image = std::move(it->second);
    cache_.erase(it);
  } else {
    image.pid = x.process_tgid;  // gone before we ever saw it
  }
  if (image.kernel || !subscribedTo(kExitBit)) return;
  if (x.parent_tgid > 0) image.ppid = x.parent_tgid;
  auto event = std::make_unique<Event>();
  event->type = ES_EVENT_TYPE_NOTIFY_EXIT;
  event->monotonicNs = e.timestamp_ns;
  event->time = wallTime(e.timestamp_ns);
  event->process = std::move(image);
  event->exitStatus = static_cast<int>(x.exit_code);
  enqueue(std::move(event));
}

void KernelClient::enqueue(std::unique_ptr<Event> event) {
  const std::size_t bytes = event->bytes();
  std::unique_lock lock(queueMutex_);
  // A full queue stops the reader; the kernel then drops, and the loss is counted.
  readerWaiting_ = true;
  notFull_.wait(lock, [&] {
    return stopping_ || queue_.empty() ||
           (queue_.size() < options_.queueCapacity && queueBytes_ + bytes <= options_.queueBytes);
  });
  readerWaiting_ = false;
  if (stopping_) return;
  queueBytes_ += bytes;
  queue_.push_back(std::move(event));
  const bool wake = deliveryWaiting_;
  lock.unlock();
  if (wake) notEmpty_.notify_one();
}

void KernelClient::deliverLoop() {
  deliveryId_.store(std::this_thread::get_id());
  for (;;) {
    std::unique_ptr<Event> event;
    bool wake = false;
    {
      std::unique_lock lock(queueMutex_);
      deliveryWaiting_ = true;
      notEmpty_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      deliveryWaiting_ = false;
      if (stopping_) return;
      event = std::move(queue_.front());
      queue_.pop_front();
      queueBytes_ -= event->bytes();
      wake = readerWaiting_;
    }
    if (wake) notFull_.notify_one();
    deliver(*event);
  }
}

void KernelClient::deliver(const Event& event) {
  const std::uint32_t bit = bitOf(event.type);
  if (!subscribedTo(bit)) return;
  ProcessView process;
  ProcessView other;
  process.fill(event.process, self_);
  es_message_t message{};
  message.version = kEsMessageVersion;
  message.time = event.time;
  message.mach_time = event.monotonicNs;
  message.deadline = 0;
  message.process = &process.process;
  message.action_type = ES_ACTION_TYPE_NOTIFY;
  message.event_type = event.type;
  message.seq_num = typeSeq_[bit == kExecBit ? 0 : bit == kForkBit ? 1 : 2]++;
  message.global_seq_num = globalSeq_++;
  thread_local std::vector<es_string_token_t> args;
  thread_local std::vector<es_string_token_t> envs;
  switch (event.type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC: {
      other.fill(event.other, self_);
      args.clear();
      envs.clear();
      for (const std::string_view arg : splitNulList(event.args)) {
        args.push_back({arg.size(), arg.data()});
      }
      for (const std::string_view env : splitNulList(event.envs)) {
        envs.push_back({env.size(), env.data()});
      }
      message.event.exec = es_event_exec_t{};
      message.event.exec.target = &other.process;
      message.event.exec.args = args.data();
      message.event.exec.arg_count = static_cast<std::uint32_t>(args.size());
      message.event.exec.envs = envs.data();
      message.event.exec.env_count = static_cast<std::uint32_t>(envs.size());
      break;
    }
    case ES_EVENT_TYPE_NOTIFY_FORK:
      other.fill(event.other, self_);
      message.event.fork.child = &other.process;
      break;
    case ES_EVENT_TYPE_NOTIFY_EXIT:
      message.event.exit.stat = event.exitStatus;
      break;
    default:
      return;
  }
  handler_(this, &message);
}

}  // namespace

KernelBackend& KernelBackend::shared() {
  static KernelBackend backend;
  return backend;
}

KernelBackend::KernelBackend(KernelOptions options) : options_(std::move(options)) {}

KernelBackend::~KernelBackend() = default;

const PackageIndexWatcher& KernelBackend::packages() {
  std::lock_guard lock(mutex_);
  if (!packages_)
    packages_ = std::make_unique<PackageIndexWatcher>(options_.dpkgDir, options_.dpkgQuiet);
  return *packages_;
}

es_new_client_result_t KernelBackend::newClient(es_client_t** client, es_handler_block_t handler) {
  if (::geteuid() != 0) return ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED;
  if (!hasEffectiveCapability(CAP_NET_ADMIN)) return ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED;
  UniqueFd socket;
  if (const auto rc = KernelClient::open(options_, socket); rc != ES_NEW_CLIENT_RESULT_SUCCESS) {
    return rc;
  }
  auto created = std::make_unique<KernelClient>(*this, std::move(handler), options_,
                                                std::move(socket), packages());
  if (!created->start()) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  *client = created.release();
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_clear_cache_result_t KernelBackend::clearCache(es_client_t* client) {
  // This source keeps no authorization results, so there is nothing to drop.
  return dynamic_cast<KernelClient*>(client) ? ES_CLEAR_CACHE_RESULT_SUCCESS
                                             : ES_CLEAR_CACHE_RESULT_ERR_INTERNAL;
}

es_return_t KernelBackend::subscribe(es_client_t* client, const es_event_type_t* events,
                                     std::uint32_t count) {
  auto* kernel = dynamic_cast<KernelClient*>(client);
  if (kernel == nullptr) return ES_RETURN_ERROR;
  const std::optional<std::uint32_t> bits = subscriptionBits(events, count);
  if (!bits) return ES_RETURN_ERROR;
  kernel->changeSubscription(*bits, true);
  return ES_RETURN_SUCCESS;
}

es_return_t KernelBackend::unsubscribe(es_client_t* client, const es_event_type_t* events,
                                       std::uint32_t count) {
  auto* kernel = dynamic_cast<KernelClient*>(client);
  if (kernel == nullptr) return ES_RETURN_ERROR;
  const std::optional<std::uint32_t> bits = subscriptionBits(events, count);
  if (!bits) return ES_RETURN_ERROR;
  kernel->changeSubscription(*bits, false);
  return ES_RETURN_SUCCESS;
}

es_return_t KernelBackend::deleteClient(es_client_t* client) {
  auto* kernel = dynamic_cast<KernelClient*>(client);
  // The handler cannot wait for its own thread to end.
  if (kernel == nullptr || kernel->onDeliveryThread()) return ES_RETURN_ERROR;
  delete kernel;
  return ES_RETURN_SUCCESS;
}

es_respond_result_t KernelBackend::respondAuthResult(es_client_t* client,
                                                     const es_message_t* message, es_auth_result_t,
                                                     bool) {
  if (dynamic_cast<KernelClient*>(client) == nullptr) return ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT;
  // The kernel source delivers notifications only; no message awaits an answer.
  return message->action_type == ES_ACTION_TYPE_AUTH ? ES_RESPOND_RESULT_NOT_FOUND
                                                     : ES_RESPOND_RESULT_ERR_EVENT_TYPE;
}

std::uint64_t KernelBackend::lostMessages(es_client_t* client) {
  auto* kernel = dynamic_cast<KernelClient*>(client);
  return kernel ? kernel->lost() : 0;
}

}  // namespace platform::es
