// The process behind an event that names it by pid (an audit record, a login session, an
// accepted connection): the process table's entry when the process source has one, else the
// process's /proc entries, else what the caller knows of it (the process may have gone by the
// time its record is read).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/ProcessImage.h"
#include "platform/endpoint_security/ProcessTable.h"

namespace platform::es {

// What a record says about its process, for when neither the table nor /proc knows it.
struct ProcessHint {
  std::optional<uid_t> uid;
  std::optional<pid_t> session;
  std::optional<std::string> exe;  // path
};

class ProcessLookup {
 public:
  ProcessLookup(const ProcessTable& table, ExecutableCache& executables)
      : table_(table), executables_(executables) {}

  ProcessImage find(pid_t pid, const ProcessHint& hint = {});

 private:
  const ProcessTable& table_;
  ExecutableCache& executables_;
};

}  // namespace platform::es
