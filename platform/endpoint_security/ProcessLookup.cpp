#include "platform/endpoint_security/ProcessLookup.h"

namespace platform::es {

ProcessImage ProcessLookup::find(pid_t pid, const ProcessHint& hint) {
  if (std::optional<ProcessImage> known = table_.find(pid)) return *known;
  if (std::optional<ProcessImage> read = readProcessImage(pid, executables_)) return *read;
  ProcessImage image;
  image.pid = pid;
  if (hint.uid) image.ruid = image.euid = *hint.uid;
  if (hint.session) image.sid = *hint.session;
  if (hint.exe) image.exe = executables_.forFile(*hint.exe, false, -1);
  return image;
}

}  // namespace platform::es
