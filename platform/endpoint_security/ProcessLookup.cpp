#include "platform/endpoint_security/ProcessLookup.h"

namespace platform::es {
namespace {

// Longer than the in-kernel source gathers its records for, short enough not to hold a source.
constexpr std::chrono::milliseconds kLateRecords{25};

}  // namespace

ProcessImage ProcessLookup::find(pid_t pid, const ProcessHint& hint) {
  if (std::optional<ProcessImage> known = table_.findLiveOrDeparted(pid)) return *known;
  std::optional<ProcessImage> read = readProcessImage(pid, executables_);
  if (read && (read->exe || read->kernel)) return *read;
  // Gone already, or ending (a zombie has no executable any more): the process source may not
  // have passed its records on yet.
  if (table_.kept()) {
    if (std::optional<ProcessImage> late = table_.awaitLiveOrDeparted(pid, kLateRecords)) {
      return *late;
    }
  }
  if (read) return *read;
  ProcessImage image;
  image.pid = pid;
  if (hint.uid) image.ruid = image.euid = *hint.uid;
  if (hint.session) image.sid = *hint.session;
  if (hint.exe) image.exe = executables_.forFile(*hint.exe, false, -1);
  return image;
}

}  // namespace platform::es
