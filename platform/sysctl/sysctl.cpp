#include "platform/sysctl/sysctl.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Override.h"
#include "platform/ProcMaps.h"
#include "platform/UniqueFd.h"

namespace platform {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

// /proc, held open for the life of the process once opened, so that every per-process lookup
// is one relative path walk. Negative errno when /proc cannot be opened (tried again next time).
int procDir() {
  static std::atomic<int> cached{-1};
  int fd = cached.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  int expected = -1;
  if (!cached.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
    ::close(fd);  // another thread got there first
    return expected;
  }
  return fd;
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

// Writes the decimal form of `value` (non-negative) followed by `suffix` and a NUL.
void formatPidPath(char* out, std::int32_t value, const char* suffix) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (n > 0) *out++ = digits[--n];
  std::strcpy(out, suffix);
}

// The process id a /proc entry names, or -1 for entries that are not processes.
std::int32_t parsePid(const char* name) {
  if (*name == '\0') return -1;
  long value = 0;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return -1;
  }
  return static_cast<std::int32_t>(value);
}

// Calls `visit(pid)` for every process in /proc, in directory order; `visit` returns false to
// stop early. Negative errno on failure.
template <typename Visit>
int forEachProcess(Visit&& visit) {
  UniqueFd dir(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return -errno;
  alignas(dirent64) char buffer[32 * 1024];
  for (;;) {
    const ssize_t n = ::getdents64(dir.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return 0;
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
      const std::int32_t pid = parsePid(entry->d_name);
      if (pid > 0 && !visit(pid)) return 0;
    }
  }
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

// The parent's id and the effective user of `pid` from /proc/<pid>/status; false when gone.
bool readParentAndUser(std::int32_t pid, std::int32_t& ppid, std::uint32_t& uid) {
  const int proc = procDir();
  if (proc < 0) return false;
  char path[24];
  formatPidPath(path, pid, "/status");
  UniqueFd fd(::openat(proc, path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  char text[2048];  // both lines come early in the file
  const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* parent = std::strstr(text, "\nPPid:");
  const char* user = std::strstr(text, "\nUid:");
  if (parent == nullptr || user == nullptr) return false;
  unsigned long real = 0, effective = 0;
  long parentId = 0;
  if (std::sscanf(parent, "\nPPid: %ld", &parentId) != 1 ||
      std::sscanf(user, "\nUid: %lu %lu", &real, &effective) != 2) {
    return false;
  }
  ppid = static_cast<std::int32_t>(parentId);
  uid = static_cast<std::uint32_t>(effective);
  return true;
}

int readProcessTable(void* oldp, std::size_t* oldlenp) {
  constexpr std::size_t kRecord = sizeof(kinfo_proc);
  if (oldp == nullptr) {
    std::size_t count = 0;
    const int rc = forEachProcess([&](std::int32_t) {
      ++count;
      return true;
    });
    if (rc < 0) return fail(-rc);
    // The kernel's table always holds the asking process: a /proc that shows none is not the
    // kernel's (an empty file system mounted over it, say), so the table cannot be read.
    if (count == 0) return fail(ENOENT);
    // Room for the processes started between this answer and the read that follows it.
    *oldlenp = (count + count / 8 + 16) * kRecord;
    return 0;
  }
  auto* out = static_cast<unsigned char*>(oldp);
  const std::size_t capacity = *oldlenp / kRecord;
  std::size_t count = 0;
  bool overflow = false;
  const int rc = forEachProcess([&](std::int32_t pid) {
    if (count == capacity) {
      overflow = true;
      return false;
    }
    unsigned char* record = out + count * kRecord;
    std::memset(record, 0, kRecord);
    std::memcpy(record + offsetof(kinfo_proc, kp_proc) + offsetof(extern_proc, p_pid), &pid,
                sizeof pid);
    std::int32_t ppid = 0;
    std::uint32_t uid = 0;
    // A process gone meanwhile keeps its place; the reader of its arguments finds it gone.
    if (readParentAndUser(pid, ppid, uid)) {
      std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_ppid), &ppid,
                  sizeof ppid);
      std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_uid), &uid,
                  sizeof uid);
    }
    ++count;
    return true;
  });
  *oldlenp = count * kRecord;
  if (rc < 0) return fail(-rc);
  if (overflow) return fail(ENOMEM);
  if (count == 0) return fail(ENOENT);  // not the kernel's table, as above
  return 0;
}

// An entry of /proc/<pid> that is missing means the process is gone (or, for "exe", has no
// executable image: a kernel thread or a zombie).
int processError(int error) {
  return error == ENOENT ? ESRCH : error;
}

// The path of an executable too long for its exe link, from the process's maps.
bool readLongExePath(int proc, std::int32_t pid, std::string& path) {
  char name[32];
  formatPidPath(name, pid, "/exe");
  UniqueFd exe(::openat(proc, name, O_PATH | O_CLOEXEC));
  struct stat st {};
  if (!exe || ::fstat(exe.get(), &st) != 0) return false;
  formatPidPath(name, pid, "/maps");
  UniqueFd maps(::openat(proc, name, O_RDONLY | O_CLOEXEC));
  if (!maps) return false;
  std::string text;
  char chunk[16384];
  for (ssize_t n; (n = ::read(maps.get(), chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  const std::optional<std::string_view> found = mappedPath(text, st.st_dev, st.st_ino);
  if (!found) return false;
  path.assign(*found);
  return true;
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
  const int proc = procDir();
  if (proc < 0) return fail(-proc);

  char name[32];
  formatPidPath(name, pid, "/exe");
  // The kernel writes at most one page for a link's target.
  char link[PATH_MAX];
  const ssize_t linkLength = ::readlinkat(proc, name, link, sizeof link);
  std::string longer;
  std::string_view path(link, linkLength > 0 ? static_cast<std::size_t>(linkLength) : 0);
  if (linkLength < 0) {
    const int error = errno;
    if (error != ENAMETOOLONG || !readLongExePath(proc, pid, longer)) {
      return fail(processError(error));
    }
    path = longer;
  }
  const std::size_t pathLength = path.size();

  formatPidPath(name, pid, "/cmdline");
  UniqueFd cmdline(::openat(proc, name, O_RDONLY | O_CLOEXEC));
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
