#include "platform/sysctl/TableSysctl.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"
#include "platform/procfs/ProcFs.h"

namespace platform::sysctl_backend {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

int TableBackend::query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp,
                        const void* newp, std::size_t newlen) {
  const bool valid = name != nullptr && namelen == 3 && name[0] == CTL_KERN && newp == nullptr &&
                     newlen == 0 && oldlenp != nullptr;
  if (valid && table_.kept()) {
    if (name[1] == KERN_PROC && name[2] == KERN_PROC_ALL) return processTable(oldp, oldlenp);
    if (name[1] == KERN_PROCARGS2 && name[2] >= 0 && oldp != nullptr) {
      return processArguments(name[2], oldp, oldlenp, name);
    }
  }
  return fallback_.query(name, namelen, oldp, oldlenp, newp, newlen);
}

int TableBackend::processTable(void* oldp, std::size_t* oldlenp) {
  constexpr std::size_t kRecord = sizeof(kinfo_proc);
  if (oldp == nullptr) {
    const std::size_t size = table_.size();
    // Room for the processes started between this answer and the read that follows it.
    *oldlenp = (size + size / 8 + 16) * kRecord;
    return 0;
  }
  const std::vector<es::ProcessImage> images = table_.snapshot();
  const std::size_t capacity = *oldlenp / kRecord;
  auto* out = static_cast<unsigned char*>(oldp);
  const std::size_t count = std::min(capacity, images.size());
  std::memset(out, 0, count * kRecord);
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* record = out + i * kRecord;
    const std::int32_t pid = images[i].pid;
    const std::int32_t ppid = images[i].ppid;
    const std::uint32_t uid = images[i].euid;
    std::memcpy(record + offsetof(kinfo_proc, kp_proc) + offsetof(extern_proc, p_pid), &pid,
                sizeof pid);
    std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_ppid), &ppid,
                sizeof ppid);
    std::memcpy(record + offsetof(kinfo_proc, kp_eproc) + offsetof(eproc, e_uid), &uid, sizeof uid);
  }
  *oldlenp = count * kRecord;
  return images.size() > capacity ? fail(ENOMEM) : 0;
}

int TableBackend::processArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp,
                                   const int* name) {
  const std::optional<es::ProcessImage> image = table_.find(pid);
  if (!image || image->kernel || !image->exe || !image->args) {
    return fallback_.query(name, 3, oldp, oldlenp, nullptr, 0);
  }
  const std::size_t capacity = *oldlenp;
  if (capacity < sizeof(std::int32_t)) return fail(ENOMEM);
  auto* out = static_cast<char*>(oldp);
  std::size_t position = sizeof(std::int32_t);
  const auto append = [&](const char* bytes, std::size_t length) {
    const std::size_t copied = std::min(length, capacity - position);
    std::memcpy(out + position, bytes, copied);
    position += copied;
  };
  const std::string path = currentPath(pid, *image->exe);
  append(path.data(), path.size());
  if (position < capacity) out[position++] = '\0';
  const std::string& args = *image->args;
  append(args.data(), args.size());
  std::int32_t argc = 0;
  for (const char c : args) argc += c == '\0' ? 1 : 0;
  // A last argument without its terminator still counts and is terminated.
  if (!args.empty() && args.back() != '\0') {
    ++argc;
    if (position < capacity) out[position++] = '\0';
  }
  std::memcpy(out, &argc, sizeof argc);
  *oldlenp = position;
  return 0;
}

std::string TableBackend::currentPath(pid_t pid, const es::Executable& exe) const {
  struct stat st {};
  if (!exe.pathTruncated && ::stat(exe.path.c_str(), &st) == 0 && st.st_dev == exe.stat.st_dev &&
      st.st_ino == exe.stat.st_ino) {
    return exe.path;  // the file that ran is still there
  }
  // Gone, replaced, or not at that path as the agent sees it: the kernel's own name says which.
  const std::string link = proc_.pathOf(pid, "exe");
  std::string named;
  bool truncated = false;
  const int rc = readLinkPath(link.c_str(), named, truncated);
  if (rc == 0 && !truncated) return named;
  if (rc != -ENAMETOOLONG) return exe.path;  // the process is ending: as captured
  // Longer than the link can show: a file without links left was deleted or replaced.
  UniqueFd fd(::open(link.c_str(), O_PATH | O_CLOEXEC));
  if (fd && ::fstat(fd.get(), &st) == 0 && st.st_nlink == 0) return exe.path + " (deleted)";
  return exe.path;
}

}  // namespace platform::sysctl_backend
