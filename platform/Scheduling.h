// How the threads that carry events to clients ask to be run. Under a storm the machine's CPUs
// are taken by the very processes being reported; at the default slice and priority a woken
// reader waits behind them for tens of milliseconds while its ring fills.
#pragma once

#include <linux/sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

// A time slice this short gives a woken thread an early deadline, so the scheduler (EEVDF) runs
// it ahead of threads that use their whole slice; such a thread works in short bursts anyway.
inline constexpr std::uint64_t kPromptSliceNs = 100'000;

// The nice value of the threads that read events from the kernel (the process sources' readers)
// and of a stream's reader run by root: their work per wake-up is short, and what they are late
// for is lost or late for every client.
inline constexpr int kEventPathNice = -10;

namespace detail {
// The kernel's struct sched_attr as of Linux 4.13 (its first 48 bytes; `size` says which).
struct SchedAttr {
  std::uint32_t size;
  std::uint32_t policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime;
  std::uint64_t deadline;
  std::uint64_t period;
};

inline bool setPrompt(pid_t tid, int niceness) {
  SchedAttr attr{sizeof(SchedAttr), SCHED_NORMAL, 0, niceness, 0, kPromptSliceNs, 0, 0};
  return ::syscall(SYS_sched_setattr, tid, &attr, 0U) == 0;
}
}  // namespace detail

// The calling thread asks for kPromptSliceNs and keeps its nice value. A kernel before custom
// slices (Linux 6.12) ignores the slice. Returns false when the kernel refused.
inline bool runPromptly() {
  const auto tid = static_cast<pid_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return errno == 0 && detail::setPrompt(tid, current);
}

// The same with `niceness` where the process may lower its nice value that far; where it may
// not, the thread keeps its nice value and still gets the slice.
inline bool runPromptly(int niceness) {
  const auto tid = static_cast<pid_t>(::syscall(SYS_gettid));
  if (detail::setPrompt(tid, niceness)) return true;
  return errno == EPERM && runPromptly();
}

}  // namespace platform
