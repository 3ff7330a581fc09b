#include "platform/endpoint_security/identity/ProcessLookup.h"

namespace platform::es {

ProcessImage ProcessLookup::find(pid_t pid, std::uint64_t atNs, const ProcessHint& hint) {
  if (pid > 0) {
    const bool caughtUp = table_.kept() && table_.catchUp(atNs, catchUpLimit_);
    if (std::optional<ProcessImage> known = table_.findAt(pid, atNs)) return *known;
    // A table that holds everything up to the event and does not know the process: whatever
    // /proc shows under that pid now came later.
    if (!caughtUp) {
      if (std::optional<ProcessImage> read = readProcessImage(pid, executables_)) return *read;
    }
  }
  ProcessImage image = unknownProcess(pid);
  if (hint.uid) image.ruid = image.euid = *hint.uid;
  if (hint.session) image.sid = *hint.session;
  if (hint.exe) image.exe = executables_.forFile(*hint.exe, false, -1);
  return image;
}

}  // namespace platform::es
