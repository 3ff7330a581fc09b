// The process source that reads the kernel's own process tracepoints with eBPF programs: every
// exec is captured whole at the moment it happens (path, identity, arguments, environment, ids),
// so a process that ends at once is reported as completely as a long-lived one.
//
// Result codes of open(): not running as root -> ERR_NOT_PRIVILEGED; root without CAP_BPF and
// CAP_PERFMON (or CAP_SYS_ADMIN) -> ERR_NOT_ENTITLED; the kernel refusing to load or attach the
// programs -> ERR_NOT_PERMITTED.
//
// Under a flood the source gives up detail before events: past the ring's fill mark the kernel
// cuts execs' arguments and environment short (counted per user), and executables are hashed on a
// worker with a budget per file owner, so the reader never waits more than kHashWait for a hash.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

struct BpfOptions {
  // The ring buffer between the programs and the reader thread (a power of two); 0: sized for
  // the host (eventRingBytes()).
  std::size_t ringBytes = 0;
  // While set, the reader does not read (tests use it to force the ring to fill).
  const std::atomic<bool>* paused = nullptr;
  // Cut captures and skipped or late hashes are logged at most once per interval, with counts.
  std::chrono::milliseconds reportInterval = std::chrono::seconds(10);
};

std::unique_ptr<Source> makeBpfSource(BpfOptions options = {});

}  // namespace platform::es
