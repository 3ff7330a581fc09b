// The process behind an event of a source other than the process source: taken from the shared
// process table when it knows the pid, read from /proc otherwise (a process that is already gone
// is known by its pid only). Used from one source thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/ProcessImage.h"

namespace platform::es {

class PackageIndexWatcher;
class ProcessTable;

class ProcessLookup {
 public:
  explicit ProcessLookup(const PackageIndexWatcher& packages);
  ProcessImage find(const ProcessTable& table, pid_t pid);

 private:
  ExecutableCache exes_;
  std::int64_t bootWallNs_;
  long ticksPerSecond_;
};

}  // namespace platform::es
