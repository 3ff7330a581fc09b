#include "platform/sysctl/sysctl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Override.h"
#include "platform/UniqueFd.h"
#include "platform/procfs/ProcFs.h"

namespace platform {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

// The largest argument area execve accepts: a quarter of the stack limit, never more than
// three quarters of the kernel's 8 MiB stack ceiling (glibc's figure for an unlimited stack
// would be far beyond anything a process can have).
std::int32_t argumentAreaMax() {
  constexpr long kKernelCeiling = 8L * 1024 * 1024 / 4 * 3;
  const long value = ::sysconf(_SC_ARG_MAX);
  if (value <= 0) return 0;
  return static_cast<std::int32_t>(std::min(value, kKernelCeiling));
}

int readArgmax(void* oldp, std::size_t* oldlenp) {
  const std::int32_t value = argumentAreaMax();
  if (value <= 0) return fail(EINVAL);
  if (oldp != nullptr) {
    if (*oldlenp < sizeof value) return fail(ENOMEM);
    std::memcpy(oldp, &value, sizeof value);
  }
  *oldlenp = sizeof value;
  return 0;
}

int readProcessTable(void* oldp, std::size_t* oldlenp) {
  constexpr std::size_t kRecord = sizeof(kinfo_proc);
  const ProcReader proc;
  const std::vector<pid_t> pids = proc.pids();
  // The kernel's table always holds the asking process: a /proc that shows none is not the
  // kernel's (an empty file system mounted over it, say, or none at all), so the table cannot be
  // read.
  if (pids.empty()) {
    if (oldp != nullptr) *oldlenp = 0;
    return fail(ENOENT);
  }
  if (oldp == nullptr) {
    const std::size_t count = pids.size();
    // Room for the processes started between this answer and the read that follows it.
    *oldlenp = (count + count / 8 + 16) * kRecord;
    return 0;
  }
  auto* out = static_cast<unsigned char*>(oldp);
  const std::size_t capacity = *oldlenp / kRecord;
  const std::size_t count = std::min(pids.size(), capacity);
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t pid = pids[i];
    unsigned char* record = out + i * kRecord;
    std::memset(record, 0, kRecord);
    std::memcpy(record + offsetof(kinfo_proc, kp_proc) + offsetof(extern_proc, p_pid), &pid,
                sizeof pid);
    ProcStatus status;
    // A process gone meanwhile keeps its place; the reader of its arguments finds it gone.
    if (proc.status(pid, status) == 0) {
      const std::int32_t ppid = status.ppid;
      const std::uint32_t uid = status.ids.euid;
      std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_ppid), &ppid,
                  sizeof ppid);
      std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_uid), &uid,
                  sizeof uid);
    }
  }
  *oldlenp = count * kRecord;
  return count < pids.size() ? fail(ENOMEM) : 0;
}

// An entry of /proc/<pid> that is missing means the process is gone (or, for "exe", has no
// executable image: a kernel thread or a zombie).
int processError(int error) {
  return error == ENOENT ? ESRCH : error;
}

// The path of an executable too long for its exe link, from the process's maps.
bool readLongExePath(const ProcReader& proc, pid_t pid, std::string& path) {
  struct stat st {};
  return ::stat(proc.pathOf(pid, "exe"), &st) == 0 &&
         proc.mappedPath(pid, st.st_dev, st.st_ino, path) == 0;
}

int readProcessArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp) {
  if (pid < 0) return fail(EINVAL);
  if (oldp == nullptr) {
    const std::int32_t value = argumentAreaMax();
    if (value <= 0) return fail(EINVAL);
    *oldlenp = static_cast<std::size_t>(value);
    return 0;
  }
  const std::size_t capacity = *oldlenp;
  if (capacity < sizeof(std::int32_t)) return fail(ENOMEM);
  const ProcReader proc;
  std::string path;
  bool truncated = false;
  if (const int rc = proc.exePath(pid, path, truncated);
      rc < 0 && (rc != -ENAMETOOLONG || !readLongExePath(proc, pid, path))) {
    return fail(processError(-rc));
  }
  const std::size_t pathLength = path.size();

  UniqueFd cmdline(::open(proc.pathOf(pid, "cmdline"), O_RDONLY | O_CLOEXEC));
  if (cmdline.get() < 0) return fail(processError(errno));

  auto* out = static_cast<char*>(oldp);
  std::size_t position = sizeof(std::int32_t);
  const std::size_t pathCopied =
      std::min(static_cast<std::size_t>(pathLength), capacity - position);
  std::memcpy(out + position, path.data(), pathCopied);
  position += pathCopied;
  if (position < capacity) out[position++] = '\0';

  // The arguments as the process holds them, each NUL-terminated; what does not fit in the
  // caller's buffer is still read so that the count covers every argument.
  std::int32_t argc = 0;
  char lastByte = '\0';
  bool any = false;
  char overflow[4096];
  for (;;) {
    char* target = position < capacity ? out + position : overflow;
    const std::size_t room = position < capacity ? capacity - position : sizeof overflow;
    const ssize_t n = ::read(cmdline.get(), target, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(processError(errno));
    }
    if (n == 0) break;
    const char* end = target + n;
    for (const char* p = target; (p = static_cast<const char*>(std::memchr(p, '\0', end - p)));
         ++p) {
      ++argc;
    }
    lastByte = end[-1];
    any = true;
    if (target != overflow) position += static_cast<std::size_t>(n);
    // procfs fills a cmdline read completely unless the arguments end first, so a short read
    // is the end; skipping the read that would return 0 saves a fifth of the syscalls per
    // process.
    if (static_cast<std::size_t>(n) < room) break;
  }
  // A process that rewrote its arguments may leave the last one unterminated.
  if (any && lastByte != '\0') {
    ++argc;
    if (position < capacity) out[position++] = '\0';
  }
  std::memcpy(out, &argc, sizeof argc);
  *oldlenp = position;
  return 0;
}

class ProcBackend final : public sysctl_backend::Backend {
 public:
  int query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
            std::size_t newlen) override {
    if (name == nullptr || namelen < 2 || name[0] != CTL_KERN) return fail(EINVAL);
    const bool argmax = namelen == 2 && name[1] == KERN_ARGMAX;
    const bool table = namelen == 3 && name[1] == KERN_PROC && name[2] == KERN_PROC_ALL;
    const bool arguments = namelen == 3 && name[1] == KERN_PROCARGS2;
    if (!argmax && !table && !arguments) return fail(EINVAL);
    if (newp != nullptr || newlen != 0) return fail(EPERM);
    if (oldlenp == nullptr) return oldp == nullptr ? 0 : fail(EFAULT);
    if (argmax) return readArgmax(oldp, oldlenp);
    if (table) return readProcessTable(oldp, oldlenp);
    return readProcessArguments(name[2], oldp, oldlenp);
  }
};

}  // namespace

int sysctl(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
           std::size_t newlen) {
  return Installed<sysctl_backend::Backend>::get().query(name, namelen, oldp, oldlenp, newp,
                                                         newlen);
}

namespace sysctl_backend {

Backend& system() {
  static ProcBackend backend;
  return backend;
}

}  // namespace sysctl_backend

}  // namespace platform
