// A process as the event source last saw it, and the message layouts built from it for one
// handler call. Images are plain values; the executable and the argument and environment blocks
// are shared, immutable, so copying an image is cheap.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"

namespace platform {
class ProcReader;
}

namespace platform::es {

struct ProcessImage {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t originalPpid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  uid_t ruid = 0;
  uid_t euid = 0;
  gid_t rgid = 0;
  gid_t egid = 0;
  timeval start{};
  bool kernel = false;                    // a kernel thread: never reported
  std::shared_ptr<const Executable> exe;  // null: unknown
  // NUL-separated blocks as passed to the exec that made this image; null when not known.
  std::shared_ptr<const std::string> args;
  std::shared_ptr<const std::string> envs;
};

// The id the kernel uses for "no id" ((uid_t)-1, (gid_t)-1).
inline constexpr uid_t kNoId = static_cast<uid_t>(-1);

// The one form every source gives a process it cannot name: the pid the event named (0 when it
// named none), no parent, group or session (0), the "no id" uids and gids, no start time (zero:
// the documents' own zero date), no executable (its path reads "unknown"). Never root's ids, never
// the agent itself: what is unknown must not read as someone.
ProcessImage unknownProcess(pid_t pid = 0);

// The image of a running process read from /proc (ids, start, executable and its identity,
// arguments); nullopt when it is gone or unreadable.
std::optional<ProcessImage> readProcessImage(pid_t pid, ExecutableCache& executables);
// The same from the /proc tree `proc` reads.
std::optional<ProcessImage> readProcessImage(pid_t pid, ExecutableCache& executables,
                                             const ProcReader& proc);

// The es_process_t and es_file_t of one image; what they point to lives in the image.
struct ProcessView {
  es_file_t file;
  es_process_t process;

  // `self` is the agent's own pid (its own processes are flagged as the event-source client).
  void fill(const ProcessImage& image, pid_t self);
};

}  // namespace platform::es
