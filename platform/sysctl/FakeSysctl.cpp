#include "platform/sysctl/FakeSysctl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace platform::sysctl_backend {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

std::string processTableBytes(const std::vector<std::int32_t>& pids) {
  std::string bytes(pids.size() * sizeof(kinfo_proc), '\0');
  for (std::size_t i = 0; i < pids.size(); ++i) {
    std::memcpy(bytes.data() + i * sizeof(kinfo_proc) + offsetof(kinfo_proc, kp_proc) +
                    offsetof(extern_proc, p_pid),
                &pids[i], sizeof pids[i]);
  }
  return bytes;
}

std::string FakeSysctl::table() const {
  if (rawTable) return *rawTable;
  std::vector<std::int32_t> pids;
  for (const FakeProcess& process : processes) pids.push_back(process.pid);
  std::string bytes = processTableBytes(pids);
  for (std::size_t i = 0; i < processes.size(); ++i) {
    char* eproc = bytes.data() + i * sizeof(kinfo_proc) + offsetof(kinfo_proc, kp_eproc);
    std::memcpy(eproc + offsetof(platform::eproc, e_ppid), &processes[i].ppid,
                sizeof processes[i].ppid);
    std::memcpy(eproc + offsetof(platform::eproc, e_uid), &processes[i].uid,
                sizeof processes[i].uid);
  }
  return bytes;
}

int FakeSysctl::query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp,
                      const void* newp, std::size_t newlen) {
  if (name == nullptr || namelen < 2 || name[0] != CTL_KERN) return fail(EINVAL);
  if (newp != nullptr || newlen != 0) return fail(EPERM);
  if (oldlenp == nullptr) return fail(EFAULT);

  if (namelen == 2 && name[1] == KERN_ARGMAX) {
    {
      std::lock_guard lock(mutex_);
      ++argmaxQueries_;
    }
    if (argmaxDelay.count() > 0) std::this_thread::sleep_for(argmaxDelay);
    if (argmaxError != 0) return fail(argmaxError);
    if (oldp != nullptr) {
      if (*oldlenp < sizeof argmax) return fail(ENOMEM);
      std::memcpy(oldp, &argmax, sizeof argmax);
    }
    *oldlenp = sizeof argmax;
    return 0;
  }

  if (namelen == 3 && name[1] == KERN_PROC && name[2] == KERN_PROC_ALL) {
    const std::string bytes = table();
    if (oldp == nullptr) {
      if (tableSizeError != 0) return fail(tableSizeError);
      *oldlenp = bytes.size();
      return 0;
    }
    if (tableReadError != 0) return fail(tableReadError);
    if (*oldlenp < bytes.size()) return fail(ENOMEM);
    std::memcpy(oldp, bytes.data(), bytes.size());
    *oldlenp = bytes.size();
    return 0;
  }

  if (namelen == 3 && name[1] == KERN_PROCARGS2) return readArguments(name[2], oldp, oldlenp);
  return fail(EINVAL);
}

int FakeSysctl::readArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp) {
  {
    std::lock_guard lock(mutex_);
    argumentQueries_.push_back(pid);
    argumentBufferSizes_.push_back(*oldlenp);
  }
  const auto process = std::find_if(processes.begin(), processes.end(),
                                    [&](const FakeProcess& p) { return p.pid == pid; });
  if (process == processes.end()) return fail(ESRCH);
  if (process->error != 0) return fail(process->error);

  // The area as the kernel lays it out, then cut off at the caller's buffer.
  const auto argc = static_cast<std::int32_t>(process->args.size());
  std::string area(reinterpret_cast<const char*>(&argc), sizeof argc);
  area.append(process->path).push_back('\0');
  for (const std::string& arg : process->args) area.append(arg).push_back('\0');
  if (oldp == nullptr) {
    *oldlenp = area.size();
    return 0;
  }
  if (*oldlenp < sizeof argc) return fail(ENOMEM);
  const std::size_t delivered = std::min(area.size(), *oldlenp);
  std::memcpy(oldp, area.data(), delivered);
  *oldlenp = delivered;
  return 0;
}

int FakeSysctl::argmaxQueries() const {
  std::lock_guard lock(mutex_);
  return argmaxQueries_;
}

std::vector<std::size_t> FakeSysctl::argumentBufferSizes() const {
  std::lock_guard lock(mutex_);
  return argumentBufferSizes_;
}

std::vector<std::int32_t> FakeSysctl::argumentQueries() const {
  std::lock_guard lock(mutex_);
  return argumentQueries_;
}

}  // namespace platform::sysctl_backend
