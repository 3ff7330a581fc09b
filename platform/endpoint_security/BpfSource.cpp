#include "platform/endpoint_security/BpfSource.h"

#include <bpf/libbpf.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>
#include <unordered_map>

#include "platform/EventFd.h"
#include "platform/ThreadName.h"
#include "platform/UniqueFd.h"
#include "platform/WakeBatch.h"
#include "platform/endpoint_security/BpfSupport.h"
#include "platform/endpoint_security/EventRing.h"
#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/FileSightings.h"
#include "platform/endpoint_security/HashWorker.h"
#include "platform/endpoint_security/ProcessEvents.h"
#include "platform/endpoint_security/ProcessTable.h"
#include "platform/endpoint_security/bpf/ProcessRecords.h"
#include "platform/log/Log.h"
#include "platform/procfs/ProcFs.h"
#include "process.skel.h"

namespace platform::es {
namespace {

// While records stream in (more than kStormRecords in about the last 10 ms), the reader pauses
// kGather after each read, so that one wake-up (and one hand-over to the delivery thread) serves
// many records. Otherwise it reads again at once: the fork, exec and exit of a lone program follow
// each other within a millisecond and are not held back (a pause after the last of them delays
// nothing).
constexpr std::chrono::microseconds kGather{4000};
constexpr double kStormRecords = 2.5;
constexpr double kRateWindowNs = 10e6;

// Records read recently, each counting less as it ages (an exponential decay over the window).
class RecentRecords {
 public:
  double add(int records, std::uint64_t nowNs) {
    const double age = static_cast<double>(nowNs - lastNs_);
    count_ = count_ * std::exp(-age / kRateWindowNs) + records;
    lastNs_ = nowNs;
    return count_;
  }

 private:
  double count_ = 0;
  std::uint64_t lastNs_ = 0;
};

struct SkeletonDeleter {
  void operator()(process_bpf* skeleton) const { process_bpf::destroy(skeleton); }
};

// The path from its components, which arrive leaf first, each as one length byte and its bytes.
std::string pathFromComponents(const unsigned char* bytes, std::size_t size) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = bytes[at];
    if (at + 1 + length > size) break;
    parts.emplace_back(reinterpret_cast<const char*>(bytes + at + 1), length);
    at += 1 + length;
  }
  std::string path;
  if (parts.empty()) return "/";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    path += '/';
    path += *it;
  }
  return path;
}

timespec timespecOf(std::int64_t sec, std::uint32_t nsec) {
  return timespec{static_cast<time_t>(sec), static_cast<long>(nsec)};
}

class BpfSource final : public Source {
 public:
  explicit BpfSource(BpfOptions options) : options_(options) {}
  ~BpfSource() override { stop(); }

  std::string_view name() const override { return "bpf"; }
  bool produces(es_event_type_t type) const override { return isProcessKind(type); }

  es_new_client_result_t open(std::string& why) override;
  void start(SourceContext& context) override;
  void stop() override;

 private:
  static int onRecord(void* self, void* data, std::size_t size);
  int handle(const void* data, std::size_t size);
  void onExec(const watch_exec_record& record, const unsigned char* tail, std::size_t tailBytes);
  void onFork(const watch_fork_record& record);
  void onExit(const watch_exit_record& record);
  void readLoop();
  void clearReadRequests();
  void checkLosses();
  void reportCuts(bool force);
  void reportPressedCuts();
  void reportHashes();
  void scan();
  ProcessImage imageOf(const watch_task& task) const;
  timeval startTime(std::uint64_t bootNs) const;
  // The wall-clock time of a kernel timestamp, with this read's clock offset.
  timespec wallTime(std::uint64_t monotonicNs) const;
  bool push(std::unique_ptr<PendingEvent> event);

  const BpfOptions options_;
  std::unique_ptr<process_bpf, SkeletonDeleter> skeleton_;
  UniqueRingBuffer ring_;
  UniqueFd wake_;
  UniqueFd readNow_;  // another source's lookup waits for the table to catch up
  std::thread reader_;
  SourceContext* context_ = nullptr;
  const pid_t self_ = ::getpid();

  std::unique_ptr<HashWorker> hasher_;  // outlives exes_, which hands it files
  // Reader thread only.
  std::unique_ptr<ExecutableCache> exes_;
  std::int64_t bootWallNs_ = 0;
  std::int64_t monotonicWallNs_ = 0;
  std::uint64_t lostSeen_ = 0;
  std::uint64_t cutExecs_ = 0;
  std::uint64_t incompleteExecs_ = 0;
  std::uint64_t skippedHashesSeen_ = 0;
  std::uint64_t lateHashesSeen_ = 0;
  std::uint64_t overBudgetSeen_ = 0;
  // Execs cut short because the ring was past its fill mark, per real uid, since the last report.
  std::map<uid_t, std::uint64_t> pressedCuts_;
  bool pressedThisRead_ = false;
  std::int64_t lastReportNs_ = 0;
  RecentRecords recent_;
  bool stopping_ = false;
};

es_new_client_result_t BpfSource::open(std::string& why) {
  if (const es_new_client_result_t rc = mayLoadBpf(why); rc != ES_NEW_CLIENT_RESULT_SUCCESS) {
    return rc;
  }
  if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    why = "the kernel has no BTF";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  quietLibbpf();
  skeleton_.reset(process_bpf::open());
  if (!skeleton_) {
    why = std::string("cannot open the programs: ") + std::strerror(errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  // Kernels before 6.10 have no tracepoint at the start of an exec: an exec's process then
  // carries the ids of its last fork or exec.
  if (libbpf_find_vmlinux_btf_id("sched_prepare_exec", BPF_TRACE_RAW_TP) < 0) {
    bpf_program__set_autoload(skeleton_->progs.on_prepare_exec, false);
  }
  const int cpus = libbpf_num_possible_cpus();
  const std::size_t ringBytes = options_.ringBytes ? options_.ringBytes : eventRingBytes(nullptr);
  if (cpus <= 0 ||
      bpf_map__set_max_entries(skeleton_->maps.scratch, static_cast<__u32>(cpus)) != 0 ||
      bpf_map__set_max_entries(skeleton_->maps.events, static_cast<__u32>(ringBytes)) != 0) {
    why = "cannot size the maps";
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (const int rc = process_bpf::load(skeleton_.get()); rc != 0) {
    why = std::string("the kernel refused the programs: ") + std::strerror(-rc);
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  ring_.reset(
      ring_buffer__new(bpf_map__fd(skeleton_->maps.events), &BpfSource::onRecord, this, nullptr));
  if (!ring_) {
    why = std::string("cannot map the ring buffer: ") + std::strerror(errno);
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (const int rc = process_bpf::attach(skeleton_.get()); rc != 0) {
    why = std::string("the kernel refused to attach the programs: ") + std::strerror(-rc);
    ring_.reset();
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  wake_ = platform::makeEventFd();
  readNow_ = platform::makeEventFd();
  if (!wake_ || !readNow_) {
    why = std::strerror(errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  NSLog("EndpointSecurity: kernel event ring of %zu KiB", ringBytes >> 10);
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void BpfSource::start(SourceContext& context) {
  context_ = &context;
  exes_ = std::make_unique<ExecutableCache>(&context.packages);
  // Records already in the ring describe processes the scan below will also find; reading the
  // table first and the ring after keeps every later change. The scan hashes on this thread, not
  // the reader's, so the running programs start with their hashes.
  scan();
  hasher_ = std::make_unique<HashWorker>();
  exes_->hashOn(hasher_.get());
  context.processes.addReader(this, [this] { platform::signalEventFd(readNow_); });
  reader_ = std::thread([this] { readLoop(); });
}

void BpfSource::stop() {
  if (context_ != nullptr) context_->processes.removeReader(this);
  platform::signalEventFd(wake_);
  if (reader_.joinable()) reader_.join();
  ring_.reset();
  skeleton_.reset();
}

bool BpfSource::push(std::unique_ptr<PendingEvent> event) {
  // The kernel keeps records in the ring while this thread is busy: handing events over to the
  // delivery thread would only add a thread switch and a second core's cache misses per event.
  if (!context_->sink.deliverNow(std::move(event))) {
    stopping_ = true;
    return false;
  }
  return true;
}

void BpfSource::readLoop() {
  platform::nameThisThread("es-bpf");
  const int ringFd = ring_buffer__epoll_fd(ring_.get());
  for (;;) {
    pollfd fds[3] = {{wake_.get(), POLLIN, 0}, {ringFd, POLLIN, 0}, {readNow_.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 3, 1000);
    if (ready < 0 && errno != EINTR) {
      NSLog("EndpointSecurity: poll failed: %s", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) {
      reportCuts(true);  // what the last interval counted is not lost with the source
      return;
    }
    if (fds[2].revents != 0) clearReadRequests();
    if (options_.paused != nullptr && options_.paused->load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    bootWallNs_ = bootWallClockNs();
    monotonicWallNs_ = monotonicWallClockNs();
    // The records of changes before this moment are in the ring, and the consume below reads
    // them (but one still being written in these microseconds, read next time).
    const std::uint64_t upTo = monotonicNow();
    int rc;
    {
      // The events of one read are delivered here in a row; the threads they are handed to
      // (the transport's) are woken once, after the last.
      platform::WakeBatch batch;
      rc = ring_buffer__consume(ring_.get());
    }
    if (rc < 0 && rc != -EINTR) {
      NSLog("EndpointSecurity: ring buffer read failed: %s", std::strerror(-rc));
      return;
    }
    if (stopping_) return;
    context_->processes.reached(upTo);
    checkLosses();
    reportCuts(false);
    // The kernel wakes the reader only once it has caught up: in a storm, a pause lets the
    // records gather; not while the ring is past its fill mark. A lookup waiting for the table
    // ends the pause.
    const bool pressed = std::exchange(pressedThisRead_, false);
    if (rc > 0 && recent_.add(rc, monotonicNow()) > kStormRecords && !pressed) {
      pollfd request{readNow_.get(), POLLIN, 0};
      ::poll(&request, 1,
             static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(kGather).count()));
    }
  }
}

void BpfSource::clearReadRequests() {
  std::uint64_t requests = 0;
  [[maybe_unused]] const ssize_t n = ::read(readNow_.get(), &requests, sizeof requests);
}

int BpfSource::onRecord(void* self, void* data, std::size_t size) {
  return static_cast<BpfSource*>(self)->handle(data, size);
}

int BpfSource::handle(const void* data, std::size_t size) {
  if (stopping_) return -1;  // ends the consume loop
  // Ring records are mapped read-only and may sit at any offset: copy the fixed parts out.
  watch_record_header header{};
  if (size < sizeof header) return 0;
  std::memcpy(&header, data, sizeof header);
  switch (header.kind) {
    case WATCH_RECORD_EXEC: {
      watch_exec_record record{};
      if (size < sizeof record) return 0;
      std::memcpy(&record, data, sizeof record);
      onExec(record, static_cast<const unsigned char*>(data) + sizeof record, size - sizeof record);
      break;
    }
    case WATCH_RECORD_FORK: {
      watch_fork_record record{};
      if (size < sizeof record) return 0;
      std::memcpy(&record, data, sizeof record);
      onFork(record);
      break;
    }
    case WATCH_RECORD_EXIT: {
      watch_exit_record record{};
      if (size < sizeof record) return 0;
      std::memcpy(&record, data, sizeof record);
      onExit(record);
      break;
    }
    default:
      break;
  }
  return stopping_ ? -1 : 0;
}

timeval BpfSource::startTime(std::uint64_t bootNs) const {
  const std::int64_t ns = bootWallNs_ + static_cast<std::int64_t>(bootNs);
  return timeval{static_cast<time_t>(ns / 1000000000),
                 static_cast<suseconds_t>((ns % 1000000000) / 1000)};
}

timespec BpfSource::wallTime(std::uint64_t monotonicNs) const {
  const std::int64_t ns = static_cast<std::int64_t>(monotonicNs) + monotonicWallNs_;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

ProcessImage BpfSource::imageOf(const watch_task& task) const {
  ProcessImage image;
  image.pid = static_cast<pid_t>(task.pid);
  image.ppid = static_cast<pid_t>(task.ppid);
  image.originalPpid = image.ppid;
  image.pgid = static_cast<pid_t>(task.pgid);
  image.sid = static_cast<pid_t>(task.sid);
  image.ruid = task.ruid;
  image.euid = task.euid;
  image.rgid = task.rgid;
  image.egid = task.egid;
  image.start = startTime(task.start_boot_ns);
  image.kernel = task.kernel != 0;
  return image;
}

void BpfSource::onExec(const watch_exec_record& record, const unsigned char* tail,
                       std::size_t tailBytes) {
  const std::size_t pathBytes = std::min<std::size_t>(record.path_bytes, tailBytes);
  const std::size_t argsBytes = std::min<std::size_t>(record.args_bytes, tailBytes - pathBytes);
  const std::size_t envBytes =
      std::min<std::size_t>(record.env_bytes, tailBytes - pathBytes - argsBytes);
  const std::uint32_t flags = record.header.flags;
  if (flags & WATCH_EXEC_CUT_UNDER_PRESSURE) {
    ++pressedCuts_[record.task.ruid];
    pressedThisRead_ = true;
    if (flags & WATCH_EXEC_PATH_TRUNCATED) ++cutExecs_;
  } else if (flags &
             (WATCH_EXEC_ARGS_TRUNCATED | WATCH_EXEC_ENV_TRUNCATED | WATCH_EXEC_PATH_TRUNCATED)) {
    ++cutExecs_;
  }
  if (flags & (WATCH_EXEC_ARGS_UNREADABLE | WATCH_EXEC_ENV_UNREADABLE | WATCH_EXEC_NO_FILE)) {
    ++incompleteExecs_;
  }

  ProcessTable& table = context_->processes;
  ProcessImage target = imageOf(record.task);
  std::optional<ProcessImage> before = table.find(target.pid);
  if (before) {
    target.originalPpid = before->originalPpid;
    target.start = before->start;  // an exec keeps the process's start
    // Group, session and parent do not change across an exec: they are right now, also for
    // the image before it.
    before->ppid = target.ppid;
    before->pgid = target.pgid;
    before->sid = target.sid;
  }
  if (!(flags & WATCH_EXEC_NO_FILE)) {
    es_stat_t st{};
    st.st_dev = makedev(static_cast<unsigned>(record.dev >> 20),
                        static_cast<unsigned>(record.dev & 0xfffff));
    st.st_ino = record.ino;
    st.st_mode = record.mode;
    st.st_nlink = record.nlink;
    st.st_uid = record.uid;
    st.st_gid = record.gid;
    st.st_size = record.size;
    st.st_atimespec = timespecOf(record.atime_sec, record.atime_nsec);
    st.st_mtimespec = timespecOf(record.mtime_sec, record.mtime_nsec);
    st.st_ctimespec = timespecOf(record.ctime_sec, record.ctime_nsec);
    const bool truncated = (flags & WATCH_EXEC_PATH_TRUNCATED) != 0;
    target.exe = exes_->forExec(pathFromComponents(tail, pathBytes), truncated, st, target.pid);
  }
  if (!(flags & WATCH_EXEC_ARGS_UNREADABLE)) {
    target.args = std::make_shared<const std::string>(
        reinterpret_cast<const char*>(tail + pathBytes), argsBytes);
  }
  if (!(flags & WATCH_EXEC_ENV_UNREADABLE)) {
    target.envs = std::make_shared<const std::string>(
        reinterpret_cast<const char*>(tail + pathBytes + argsBytes), envBytes);
  }
  {
    // The table keeps what the process-table answers need; the environment leaves with the event.
    ProcessImage kept = target;
    kept.envs.reset();
    table.put(std::move(kept), record.header.monotonic_ns);
  }
  context_->sightings.executed(target);
  if (!context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_EXEC)) return;
  const std::uint64_t at = record.header.monotonic_ns;
  // Without a record of the process before the exec, the new image is all there is.
  ProcessImage process = before ? std::move(*before) : target;
  if (flags & WATCH_EXEC_CALLER_KNOWN) {
    // The caller's ids as the exec began: a setuid() since its last fork or exec counts.
    process.ruid = record.caller.ruid;
    process.euid = record.caller.euid;
    process.rgid = record.caller.rgid;
    process.egid = record.caller.egid;
  }
  push(std::make_unique<ExecEvent>(at, wallTime(at), std::move(process), std::move(target)));
}

void BpfSource::onFork(const watch_fork_record& record) {
  ProcessTable& table = context_->processes;
  const ProcessImage now = imageOf(record.parent);
  ProcessImage parent = table.find(now.pid).value_or(now);
  // The kernel's view of the parent is the current one: groups, sessions and ids may have
  // changed since its last exec.
  parent.ppid = now.ppid;
  parent.pgid = now.pgid;
  parent.sid = now.sid;
  parent.ruid = now.ruid;
  parent.euid = now.euid;
  parent.rgid = now.rgid;
  parent.egid = now.egid;
  parent.kernel = now.kernel;
  table.put(parent);

  ProcessImage child = parent;
  const ProcessImage born = imageOf(record.child);
  child.pid = born.pid;
  child.ppid = parent.pid;
  child.originalPpid = parent.pid;
  child.pgid = born.pgid;
  child.sid = born.sid;
  child.ruid = born.ruid;
  child.euid = born.euid;
  child.rgid = born.rgid;
  child.egid = born.egid;
  child.start = born.start;
  child.kernel = born.kernel;
  table.put(child, record.header.monotonic_ns);
  if (parent.kernel || !context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_FORK)) return;
  const std::uint64_t at = record.header.monotonic_ns;
  push(std::make_unique<ForkEvent>(at, wallTime(at), std::move(parent), std::move(child)));
}

void BpfSource::onExit(const watch_exit_record& record) {
  const ProcessImage now = imageOf(record.task);
  std::optional<ProcessImage> known = context_->processes.take(now.pid);
  ProcessImage image = known.value_or(now);
  // What may have changed since the last fork or exec (setsid, setuid, a parent that ended) is
  // as the kernel saw it at the end.
  image.ppid = now.ppid;
  image.pgid = now.pgid;
  image.sid = now.sid;
  image.ruid = now.ruid;
  image.euid = now.euid;
  image.rgid = now.rgid;
  image.egid = now.egid;
  if (image.kernel || !context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_EXIT)) return;
  const std::uint64_t at = record.header.monotonic_ns;
  // The table's args and environment are not part of an exit; release them with the entry.
  image.args.reset();
  image.envs.reset();
  push(std::make_unique<ExitEvent>(at, wallTime(at), std::move(image),
                                   static_cast<int>(record.status)));
}

void BpfSource::checkLosses() {
  const std::optional<std::uint64_t> lost = sumPerCpu(skeleton_->maps.lost);
  if (!lost) return;
  const std::uint64_t total = *lost;
  if (total <= lostSeen_) return;
  NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
        static_cast<unsigned long long>(total - lostSeen_));
  lostSeen_ = total;
  scan();  // what the lost records would have told is read from /proc instead
}

void BpfSource::reportCuts(bool force) {
  const std::int64_t now = static_cast<std::int64_t>(monotonicNow());
  if (!force && now - lastReportNs_ < std::chrono::nanoseconds(options_.reportInterval).count()) {
    return;
  }
  lastReportNs_ = now;
  if (cutExecs_ > 0) {
    NSLog(
        "EndpointSecurity: %llu execs cut at the capture limits (path %d bytes, arguments and "
        "environment %d bytes)",
        static_cast<unsigned long long>(cutExecs_), WATCH_PATH_CAP, WATCH_ARGS_ENV_CAP);
    cutExecs_ = 0;
  }
  if (incompleteExecs_ > 0) {
    NSLog("EndpointSecurity: %llu execs captured incomplete (the new image could not be read)",
          static_cast<unsigned long long>(incompleteExecs_));
    incompleteExecs_ = 0;
  }
  reportPressedCuts();
  reportHashes();
}

void BpfSource::reportPressedCuts() {
  if (pressedCuts_.empty()) return;
  // The users who cut most first; a handful say who floods.
  std::vector<std::pair<uid_t, std::uint64_t>> byUid(pressedCuts_.begin(), pressedCuts_.end());
  std::sort(byUid.begin(), byUid.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  std::uint64_t total = 0;
  std::string users;
  for (std::size_t i = 0; i < byUid.size(); ++i) {
    total += byUid[i].second;
    if (i < 8) {
      users += (i ? ", uid " : "uid ") + std::to_string(byUid[i].first) + ": " +
               std::to_string(byUid[i].second);
    }
  }
  if (byUid.size() > 8) users += ", ...";
  NSLog(
      "EndpointSecurity: %llu execs cut to %d bytes of arguments and environment while the kernel "
      "ring was over %d%% full, %d bytes over %d%% (%s)",
      static_cast<unsigned long long>(total), WATCH_ARGS_ENV_PRESSED_CAP,
      WATCH_RING_FILL_MARK_PERCENT, WATCH_ARGS_ENV_HIGH_PRESSED_CAP, WATCH_RING_HIGH_MARK_PERCENT,
      users.c_str());
  pressedCuts_.clear();
}

void BpfSource::reportHashes() {
  const std::uint64_t skipped = exes_->hashesSkipped();
  if (skipped > skippedHashesSeen_) {
    NSLog("EndpointSecurity: %llu executable hashes skipped (file changed again within 2 s)",
          static_cast<unsigned long long>(skipped - skippedHashesSeen_));
    skippedHashesSeen_ = skipped;
  }
  const std::uint64_t late = exes_->hashesNotReady();
  const std::uint64_t overBudget = hasher_->refusedOverBudget();
  if (late > lateHashesSeen_) {
    NSLog(
        "EndpointSecurity: %llu executable hashes not ready within %lld ms, reported as zeros "
        "(%llu refused over their file owner's hashing budget)",
        static_cast<unsigned long long>(late - lateHashesSeen_),
        static_cast<long long>(kHashWait.count() / 1000),
        static_cast<unsigned long long>(overBudget - overBudgetSeen_));
  }
  lateHashesSeen_ = late;
  overBudgetSeen_ = overBudget;
}

void BpfSource::scan() {
  bootWallNs_ = bootWallClockNs();
  monotonicWallNs_ = monotonicWallClockNs();
  std::unordered_map<pid_t, ProcessImage> fresh;
  for (const pid_t pid : listPids()) {
    std::optional<ProcessImage> image = readProcessImage(pid, *exes_);
    if (!image) continue;
    if (auto old = context_->processes.find(pid); old && old->ppid == image->ppid) {
      image->originalPpid = old->originalPpid;
    }
    fresh.emplace(pid, std::move(*image));
  }
  context_->processes.replaceAll(std::move(fresh));
}

}  // namespace

std::unique_ptr<Source> makeBpfSource(BpfOptions options) {
  return std::make_unique<BpfSource>(options);
}

}  // namespace platform::es
