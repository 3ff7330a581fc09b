#include "platform/endpoint_security/process/ConnectorTracker.h"

#include <unistd.h>

#include <utility>

#include "platform/endpoint_security/process/ProcessEvents.h"

namespace platform::es {

ConnectorTracker::ConnectorTracker(ProcessTable& table, ExecutableCache& executables, Wanted wanted,
                                   ProcReader proc)
    : table_(table),
      executables_(executables),
      wanted_(std::move(wanted)),
      proc_(std::move(proc)),
      monotonicWallNs_(monotonicWallClockNs()),
      bootWallNs_(bootWallClockNs()),
      nsPerTick_(1000000000 / ::sysconf(_SC_CLK_TCK)) {}

void ConnectorTracker::rescan() {
  bootWallNs_ = bootWallClockNs();
  monotonicWallNs_ = monotonicWallClockNs();
  rescanProcesses(table_, executables_, proc_);
}

std::vector<std::unique_ptr<PendingEvent>> ConnectorTracker::handle(
    const std::vector<ConnectorMessage>& batch) {
  std::vector<std::unique_ptr<PendingEvent>> out;
  if (batch.empty()) return out;
  monotonicWallNs_ = monotonicWallClockNs();
  // /proc shows only the latest image of a process: an exec followed by another exec of the same
  // process in the batch can no longer be read.
  lastExec_.clear();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].what == ConnectorEvent::kExec) lastExec_[batch[i].exec.tgid] = i;
  }
  // The new images are read before anything else is done: each exec's process may end any
  // moment, and a storm's batch holds many.
  const bool wanted = wanted_(ES_EVENT_TYPE_NOTIFY_EXEC);
  captures_.assign(batch.size(), Capture{});
  for (const auto& [pid, last] : lastExec_) captures_[last] = capture(pid, wanted);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const ConnectorMessage& m = batch[i];
    switch (m.what) {
      case ConnectorEvent::kFork:
        onFork(m, out);
        break;
      case ConnectorEvent::kExec:
        onExec(m, captures_[i], out);
        break;
      case ConnectorEvent::kExit:
        onExit(m, out);
        break;
      case ConnectorEvent::kUid:
      case ConnectorEvent::kGid:
        onIds(m);
        break;
      case ConnectorEvent::kSid:
        onSid(m);
        break;
      case ConnectorEvent::kNone:
      case ConnectorEvent::kOther:
        break;
    }
  }
  return out;
}

std::uint64_t ConnectorTracker::takeIncompleteExecs() {
  return std::exchange(incompleteExecs_, 0);
}

void ConnectorTracker::onFork(const ConnectorMessage& m,
                              std::vector<std::unique_ptr<PendingEvent>>& out) {
  const ConnectorMessage::Fork& f = m.fork;
  if (f.childPid != f.childTgid) return;  // a new thread, not a new process
  ProcessImage parent = parentOf(f.parentTgid);
  ProcessImage child = parent;
  child.pid = f.childTgid;
  child.ppid = parent.pid;
  child.originalPpid = parent.pid;
  child.start = startOf(m.timestampNs);
  table_.put(child, m.timestampNs);
  if (parent.kernel || !wanted_(ES_EVENT_TYPE_NOTIFY_FORK)) return;  // kernel threads: unreported
  out.push_back(std::make_unique<ForkEvent>(m.timestampNs, wallTime(m.timestampNs),
                                            std::move(parent), std::move(child)));
}

void ConnectorTracker::onExec(const ConnectorMessage& m, const Capture& capture,
                              std::vector<std::unique_ptr<PendingEvent>>& out) {
  const pid_t pid = m.exec.tgid;
  const std::optional<ProcessImage> known = table_.find(pid);
  ProcessImage target = known ? *known : unknownProcess(pid);
  target.pid = pid;
  target.kernel = false;
  target.exe = capture.exe;  // null: unknown
  target.args = capture.args;
  target.envs = capture.envs;
  if (capture.ids) {
    target.ruid = capture.ids->ruid;
    target.euid = capture.ids->euid;
    target.rgid = capture.ids->rgid;
    target.egid = capture.ids->egid;
  }
  if (capture.stat) {
    target.ppid = capture.stat->ppid;
    target.pgid = capture.stat->pgrp;
    target.sid = capture.stat->session;
    if (!known) {  // an exec keeps the start time the table knows
      target.originalPpid = capture.stat->ppid;
      target.start = startOfTicks(capture.stat->startTicks);
    }
  }
  if (wanted_(ES_EVENT_TYPE_NOTIFY_EXEC)) {
    if (!target.exe || !target.args) ++incompleteExecs_;
    // Without a record of the process before the exec, the new image is all there is.
    out.push_back(std::make_unique<ExecEvent>(m.timestampNs, wallTime(m.timestampNs),
                                              known ? *known : target, target));
  }
  target.envs = nullptr;  // the table keeps no environments
  table_.put(std::move(target), m.timestampNs);
}

void ConnectorTracker::onExit(const ConnectorMessage& m,
                              std::vector<std::unique_ptr<PendingEvent>>& out) {
  const ConnectorMessage::Exit& x = m.exit;
  if (x.pid != x.tgid) return;  // a thread ended, the process lives on
  std::optional<ProcessImage> known = table_.take(x.tgid);
  ProcessImage image = known ? std::move(*known) : unknownProcess(x.tgid);
  image.pid = x.tgid;  // when unknown: gone before it was ever seen
  if (image.kernel || !wanted_(ES_EVENT_TYPE_NOTIFY_EXIT)) return;
  if (x.parentTgid > 0) image.ppid = x.parentTgid;
  out.push_back(std::make_unique<ExitEvent>(m.timestampNs, wallTime(m.timestampNs),
                                            std::move(image), static_cast<int>(x.code)));
}

void ConnectorTracker::onIds(const ConnectorMessage& m) {
  // Each thread's credentials change on its own; the process's are its leader's.
  if (m.ids.pid != m.ids.tgid) return;
  const bool uid = m.what == ConnectorEvent::kUid;
  table_.update(m.ids.tgid, [&](ProcessImage& image) {
    if (uid) {
      image.ruid = m.ids.real;
      image.euid = m.ids.effective;
    } else {
      image.rgid = m.ids.real;
      image.egid = m.ids.effective;
    }
  });
}

void ConnectorTracker::onSid(const ConnectorMessage& m) {
  // setsid makes the process the leader of a new session and of a new group in it.
  const pid_t leader = m.sid.tgid;
  table_.update(leader, [leader](ProcessImage& image) {
    image.sid = leader;
    image.pgid = leader;
  });
}

ProcessImage ConnectorTracker::parentOf(pid_t pid) {
  std::optional<ProcessImage> image = table_.find(pid);
  if (!image) {
    image = readProcessImage(pid, executables_, proc_);  // a message was missed
    if (image) {
      table_.put(*image);
      return *image;
    }
    return unknownProcess(pid);
  }
  if (image->kernel) return *image;
  ProcStat st;
  if (proc_.stat(pid, st) == 0 && (st.pgrp != image->pgid || st.session != image->sid)) {
    image->pgid = st.pgrp;
    image->sid = st.session;
    table_.update(pid, [&st](ProcessImage& kept) {
      kept.pgid = st.pgrp;
      kept.sid = st.session;
    });
  }
  return *image;
}

ConnectorTracker::Capture ConnectorTracker::capture(pid_t pid, bool wanted) const {
  // What goes with the process (image, arguments, environment) first; ids and parent stay
  // readable until the process is reaped.
  Capture c;
  c.exe = executables_.forProcess(pid, proc_.root());
  if (c.exe && wanted) {
    std::string block;
    if (proc_.cmdline(pid, block) == 0 && !block.empty()) {
      c.args = std::make_shared<const std::string>(std::move(block));
    }
    std::string environment;
    if (proc_.environment(pid, environment) == 0) {
      c.envs = std::make_shared<const std::string>(std::move(environment));
    }
  }
  ProcIds ids;
  if (proc_.ids(pid, ids) == 0) c.ids = ids;
  ProcStat st;
  if (proc_.stat(pid, st) == 0) c.stat = st;
  return c;
}

timeval ConnectorTracker::startOfTicks(std::uint64_t ticks) const {
  const std::int64_t ns = bootWallNs_ + static_cast<std::int64_t>(ticks) * nsPerTick_;
  return timeval{static_cast<time_t>(ns / 1000000000),
                 static_cast<suseconds_t>((ns % 1000000000) / 1000)};
}

timespec ConnectorTracker::wallTime(std::uint64_t monotonicNs) const {
  const std::int64_t ns = static_cast<std::int64_t>(monotonicNs) + monotonicWallNs_;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

timeval ConnectorTracker::startOf(std::uint64_t monotonicNs) const {
  // The kernel stamps the fork as it makes the child; in the boot-clock ticks /proc counts in,
  // that is the child's start as /proc will show it.
  const std::int64_t bootNs =
      static_cast<std::int64_t>(monotonicNs) + monotonicWallNs_ - bootWallNs_;
  return startOfTicks(static_cast<std::uint64_t>(bootNs / nsPerTick_));
}

}  // namespace platform::es
