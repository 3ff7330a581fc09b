#include "platform/endpoint_security/process/ProcessImage.h"

#include <unistd.h>

#include <cstring>

#include "platform/procfs/ProcFs.h"

namespace platform::es {
namespace {

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
}

}  // namespace

ProcessImage unknownProcess(pid_t pid) {
  ProcessImage image;
  image.pid = pid;
  image.ruid = image.euid = kNoId;
  image.rgid = image.egid = kNoId;
  return image;
}

std::optional<ProcessImage> readProcessImage(pid_t pid, ExecutableCache& executables) {
  return readProcessImage(pid, executables, ProcReader());
}

std::optional<ProcessImage> readProcessImage(pid_t pid, ExecutableCache& executables,
                                             const ProcReader& proc) {
  ProcStat st;
  ProcIds ids;
  if (proc.stat(pid, st) < 0 || proc.ids(pid, ids) < 0) return std::nullopt;
  static const std::int64_t nsPerTick = 1000000000 / ::sysconf(_SC_CLK_TCK);
  const std::int64_t startNs =
      bootWallClockNs() + static_cast<std::int64_t>(st.startTicks) * nsPerTick;
  ProcessImage image;
  image.pid = pid;
  image.ppid = st.ppid;
  image.originalPpid = st.ppid;
  image.pgid = st.pgrp;
  image.sid = st.session;
  image.ruid = ids.ruid;
  image.euid = ids.euid;
  image.rgid = ids.rgid;
  image.egid = ids.egid;
  image.start = timeval{static_cast<time_t>(startNs / 1000000000),
                        static_cast<suseconds_t>((startNs % 1000000000) / 1000)};
  image.kernel = st.kernelThread();
  if (!image.kernel) {
    image.exe = executables.forProcess(pid, proc.root());
    std::string block;
    if (proc.cmdline(pid, block) == 0) image.args = std::make_shared<const std::string>(block);
  }
  return image;
}

void ProcessView::fill(const ProcessImage& image, pid_t self) {
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
  process.audit_token = make_audit_token(image.pid, image.euid, image.ruid, image.egid, image.rgid,
                                         0xffffffffu, static_cast<std::uint32_t>(image.sid));
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

}  // namespace platform::es
