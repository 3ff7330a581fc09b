#include "platform/endpoint_security/process/BpfTracker.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/Unshared.h"
#include "platform/endpoint_security/process/ProcessEvents.h"

namespace platform::es {
namespace {

// The path from its components, which arrive leaf first, each as one length byte and its bytes.
// Written from its end, so that the path is the only allocation (none for a short one).
std::string pathFromComponents(const unsigned char* bytes, std::size_t size) {
  std::size_t length = 0;
  std::size_t at = 0;
  while (at < size && at + 1 + bytes[at] <= size) {
    length += 1 + bytes[at];
    at += 1 + bytes[at];
  }
  if (length == 0) return "/";
  const std::size_t whole = at;
  std::string path(length, '/');
  std::size_t end = length;
  for (at = 0; at < whole; at += 1 + bytes[at]) {
    const std::size_t part = bytes[at];
    end -= part;
    std::memcpy(path.data() + end, bytes + at + 1, part);
    --end;  // the '/' before it
  }
  return path;
}

timespec timespecOf(std::int64_t sec, std::uint32_t nsec) {
  return timespec{static_cast<time_t>(sec), static_cast<long>(nsec)};
}

}  // namespace

BpfTracker::BpfTracker(ProcessTable& table, ExecutableCache& executables, FileSightings& sightings,
                       Wanted wanted, ProcReader proc)
    : table_(table),
      executables_(executables),
      sightings_(sightings),
      wanted_(std::move(wanted)),
      proc_(std::move(proc)),
      bootWallNs_(bootWallClockNs()),
      monotonicWallNs_(monotonicWallClockNs()) {}

void BpfTracker::syncClocks() {
  bootWallNs_ = bootWallClockNs();
  monotonicWallNs_ = monotonicWallClockNs();
}

void BpfTracker::rescan() {
  syncClocks();
  rescanProcesses(table_, executables_, proc_);
}

std::unique_ptr<PendingEvent> BpfTracker::handle(const void* data, std::size_t size) {
  // Ring records are mapped read-only and may sit at any offset: copy the fixed parts out.
  watch_record_header header{};
  if (size < sizeof header) return nullptr;
  std::memcpy(&header, data, sizeof header);
  switch (header.kind) {
    case WATCH_RECORD_EXEC: {
      watch_exec_record record{};
      if (size < sizeof record) return nullptr;
      std::memcpy(&record, data, sizeof record);
      return onExec(record, static_cast<const unsigned char*>(data) + sizeof record,
                    size - sizeof record);
    }
    case WATCH_RECORD_FORK: {
      watch_fork_record record{};
      if (size < sizeof record) return nullptr;
      std::memcpy(&record, data, sizeof record);
      return onFork(record);
    }
    case WATCH_RECORD_EXIT: {
      watch_exit_record record{};
      if (size < sizeof record) return nullptr;
      std::memcpy(&record, data, sizeof record);
      return onExit(record);
    }
    default:
      return nullptr;
  }
}

BpfTracker::CaptureLosses BpfTracker::takeCaptureLosses() {
  return std::exchange(losses_, CaptureLosses{});
}

bool BpfTracker::takeCutUnderPressure() {
  return std::exchange(cutUnderPressure_, false);
}

timeval BpfTracker::startTime(std::uint64_t bootNs) const {
  const std::int64_t ns = bootWallNs_ + static_cast<std::int64_t>(bootNs);
  return timeval{static_cast<time_t>(ns / 1000000000),
                 static_cast<suseconds_t>((ns % 1000000000) / 1000)};
}

timespec BpfTracker::wallTime(std::uint64_t monotonicNs) const {
  const std::int64_t ns = static_cast<std::int64_t>(monotonicNs) + monotonicWallNs_;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

ProcessImage BpfTracker::imageOf(const watch_task& task) const {
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

void BpfTracker::countLosses(const watch_exec_record& record) {
  const std::uint32_t flags = record.header.flags;
  if (flags & WATCH_EXEC_CUT_UNDER_PRESSURE) {
    ++losses_.pressed[record.task.ruid];
    cutUnderPressure_ = true;
    if (flags & WATCH_EXEC_PATH_TRUNCATED) ++losses_.cut;
  } else if (flags &
             (WATCH_EXEC_ARGS_TRUNCATED | WATCH_EXEC_ENV_TRUNCATED | WATCH_EXEC_PATH_TRUNCATED)) {
    ++losses_.cut;
  }
  if (flags & (WATCH_EXEC_ARGS_UNREADABLE | WATCH_EXEC_ENV_UNREADABLE | WATCH_EXEC_NO_FILE)) {
    ++losses_.incomplete;
  }
}

std::shared_ptr<const std::string> BpfTracker::environmentOf(std::string_view block) {
  constexpr std::size_t kKeptBytes = 64 * 1024;
  // Its event, delivered here or on the delivery thread, and any observer have let it go.
  if (platform::onlyHolder(environment_) && environment_->capacity() <= kKeptBytes) {
    environment_->assign(block);
  } else {
    environment_ = std::make_shared<std::string>(block);
  }
  return environment_;
}

std::unique_ptr<PendingEvent> BpfTracker::onExec(const watch_exec_record& record,
                                                 const unsigned char* tail, std::size_t tailBytes) {
  const std::size_t pathBytes = std::min<std::size_t>(record.path_bytes, tailBytes);
  const std::size_t argsBytes = std::min<std::size_t>(record.args_bytes, tailBytes - pathBytes);
  const std::size_t envBytes =
      std::min<std::size_t>(record.env_bytes, tailBytes - pathBytes - argsBytes);
  const std::uint32_t flags = record.header.flags;
  countLosses(record);

  ProcessImage target = imageOf(record.task);
  std::optional<ProcessImage> before = table_.find(target.pid);
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
    target.exe =
        executables_.forExec(pathFromComponents(tail, pathBytes), truncated, st, target.pid);
  }
  if (!(flags & WATCH_EXEC_ARGS_UNREADABLE)) {
    target.args = std::make_shared<const std::string>(
        reinterpret_cast<const char*>(tail + pathBytes), argsBytes);
  }
  // The table keeps what the process-table answers need; the environment is copied out of the
  // ring only when an event or an observer takes it.
  table_.put(target, record.header.monotonic_ns);
  const bool wanted = wanted_(ES_EVENT_TYPE_NOTIFY_EXEC);
  if (!(flags & WATCH_EXEC_ENV_UNREADABLE) && (wanted || sightings_.observed())) {
    target.envs =
        environmentOf({reinterpret_cast<const char*>(tail + pathBytes + argsBytes), envBytes});
  }
  sightings_.executed(target);
  if (!wanted) return nullptr;
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
  return std::make_unique<ExecEvent>(at, wallTime(at), std::move(process), std::move(target));
}

std::unique_ptr<PendingEvent> BpfTracker::onFork(const watch_fork_record& record) {
  const ProcessImage now = imageOf(record.parent);
  // The kernel's view of the parent is the current one: groups, sessions and ids may have
  // changed since its last exec. Refreshed in place, then copied out once for the event.
  const auto refresh = [&now](ProcessImage& parent) {
    parent.ppid = now.ppid;
    parent.pgid = now.pgid;
    parent.sid = now.sid;
    parent.ruid = now.ruid;
    parent.euid = now.euid;
    parent.rgid = now.rgid;
    parent.egid = now.egid;
    parent.kernel = now.kernel;
  };
  ProcessImage parent;
  if (!table_.update(now.pid, [&](ProcessImage& known) {
        refresh(known);
        parent = known;
      })) {
    parent = now;
    table_.put(parent);
  }

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
  table_.put(child, record.header.monotonic_ns);
  if (parent.kernel || !wanted_(ES_EVENT_TYPE_NOTIFY_FORK)) return nullptr;
  const std::uint64_t at = record.header.monotonic_ns;
  return std::make_unique<ForkEvent>(at, wallTime(at), std::move(parent), std::move(child));
}

std::unique_ptr<PendingEvent> BpfTracker::onExit(const watch_exit_record& record) {
  const ProcessImage now = imageOf(record.task);
  std::optional<ProcessImage> known = table_.take(now.pid);
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
  if (image.kernel || !wanted_(ES_EVENT_TYPE_NOTIFY_EXIT)) return nullptr;
  const std::uint64_t at = record.header.monotonic_ns;
  // The table's args and environment are not part of an exit; release them with the entry.
  image.args.reset();
  image.envs.reset();
  return std::make_unique<ExitEvent>(at, wallTime(at), std::move(image),
                                     static_cast<int>(record.status));
}

}  // namespace platform::es
