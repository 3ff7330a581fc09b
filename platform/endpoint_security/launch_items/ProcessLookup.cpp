#include "platform/endpoint_security/launch_items/ProcessLookup.h"

#include <unistd.h>

#include "platform/endpoint_security/ProcFs.h"
#include "platform/endpoint_security/ProcessTable.h"

namespace platform::es {

ProcessLookup::ProcessLookup(const PackageIndexWatcher& packages)
    : exes_(&packages), bootWallNs_(bootWallClockNs()), ticksPerSecond_(::sysconf(_SC_CLK_TCK)) {
  if (ticksPerSecond_ <= 0) ticksPerSecond_ = 100;
}

ProcessImage ProcessLookup::find(const ProcessTable& table, pid_t pid) {
  if (auto known = table.find(pid)) return *known;
  ProcessImage image;
  image.pid = pid;
  ProcStat st;
  ProcIds ids;
  if (pid <= 0 || readProcStat(pid, st) < 0 || readProcIds(pid, ids) < 0) return image;
  image.ppid = st.ppid;
  image.originalPpid = st.ppid;
  image.pgid = st.pgrp;
  image.sid = st.session;
  image.ruid = ids.ruid;
  image.euid = ids.euid;
  image.rgid = ids.rgid;
  image.egid = ids.egid;
  const std::int64_t ns =
      bootWallNs_ + static_cast<std::int64_t>(st.startTicks) * (1000000000 / ticksPerSecond_);
  image.start = timeval{static_cast<time_t>(ns / 1000000000),
                        static_cast<suseconds_t>((ns % 1000000000) / 1000)};
  image.kernel = st.kernelThread();
  if (!image.kernel) image.exe = exes_.forProcess(pid);
  return image;
}

}  // namespace platform::es
