// The process behind an event that names it by pid (an audit record, a login session, an
// accepted connection, a file written): the image the process had when the event happened, as
// the process table holds it once the process source has read up to that moment; else, when no
// process source keeps the table or it could not catch up in time, the process's /proc entries;
// else the one unknown form (unknownProcess) with what the event itself says of it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ProcessImage.h"
#include "platform/endpoint_security/process/ProcessTable.h"

namespace platform::es {

// What a record says about its process, for when neither the table nor /proc knows it.
struct ProcessHint {
  std::optional<uid_t> uid;
  std::optional<pid_t> session;
  std::optional<std::string> exe;  // path
};

// How long a lookup waits at most for the process source to read up to the event: far longer
// than the source takes to read what is pending, short enough not to hold the caller's source.
inline constexpr std::chrono::microseconds kCatchUpLimit{3000};

class ProcessLookup {
 public:
  ProcessLookup(const ProcessTable& table, ExecutableCache& executables,
                std::chrono::microseconds catchUpLimit = kCatchUpLimit)
      : table_(table), executables_(executables), catchUpLimit_(catchUpLimit) {}

  // The process `pid` as of `atNs` (CLOCK_MONOTONIC; for events seen now, monotonicNow()).
  // Waits up to the catch-up limit: call it on a source's own thread, never on one clients wait
  // on.
  ProcessImage find(pid_t pid, std::uint64_t atNs, const ProcessHint& hint = {});

 private:
  const ProcessTable& table_;
  ExecutableCache& executables_;
  const std::chrono::microseconds catchUpLimit_;
};

}  // namespace platform::es
