#include "platform/endpoint_security/audit/ProcessLookup.h"

#include <unistd.h>

#include "platform/endpoint_security/ProcFs.h"

namespace platform::es {
namespace {

timeval startOf(std::uint64_t ticks) {
  static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  const std::int64_t ns =
      bootWallClockNs() + static_cast<std::int64_t>(ticks) * (1000000000 / ticksPerSecond);
  return timeval{static_cast<time_t>(ns / 1000000000),
                 static_cast<suseconds_t>((ns % 1000000000) / 1000)};
}

}  // namespace

ProcessImage ProcessLookup::find(pid_t pid, const ProcessHint& hint) {
  if (std::optional<ProcessImage> known = table_.find(pid)) return *known;
  ProcessImage image;
  if (fromProc(pid, image)) return image;
  image = ProcessImage{};
  image.pid = pid;
  if (hint.uid) image.ruid = image.euid = *hint.uid;
  if (hint.session) image.sid = *hint.session;
  if (hint.exe) image.exe = executables_.forFile(*hint.exe, false, -1);
  return image;
}

bool ProcessLookup::fromProc(pid_t pid, ProcessImage& image) {
  ProcStat st;
  ProcIds ids;
  if (readProcStat(pid, st) < 0 || readProcIds(pid, ids) < 0) return false;
  image.pid = pid;
  image.ppid = st.ppid;
  image.originalPpid = st.ppid;
  image.pgid = st.pgrp;
  image.sid = st.session;
  image.ruid = ids.ruid;
  image.euid = ids.euid;
  image.rgid = ids.rgid;
  image.egid = ids.egid;
  image.start = startOf(st.startTicks);
  image.kernel = st.kernelThread();
  image.exe = image.kernel ? nullptr : executables_.forProcess(pid);
  return true;
}

}  // namespace platform::es
