// The kernel's management-information queries, answered on Linux from /proc or from a process
// table kept from kernel events. Only the three
// queries the agent makes are known: kern.argmax, kern.proc.all and kern.procargs2. Errors are
// reported as the kernel reports them: -1 with errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform {

// Management information base names.
inline constexpr int CTL_KERN = 1;
inline constexpr int KERN_ARGMAX = 8;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_ALL = 0;
inline constexpr int KERN_PROCARGS2 = 49;

// One process as kern.proc.all delivers it. The record keeps its 648-byte size and the process
// id's offset so that a walk stepping through the table by record size reads the right bytes.
// The backends fill in the process id, its parent's id and its effective user; every other byte
// is zero.
struct extern_proc {
  std::uint8_t p_reserved0[40];  // scheduling and address-space fields (not filled in)
  std::int32_t p_pid;
  std::uint8_t p_reserved1[252];  // state, credentials, command name (not filled in)
};

struct eproc {
  std::int32_t e_ppid;           // the parent's process id
  std::uint32_t e_uid;           // the effective user id
  std::uint8_t e_reserved[344];  // session, terminal and accounting fields (not filled in)
};

struct kinfo_proc {
  extern_proc kp_proc;
  eproc kp_eproc;
};

static_assert(sizeof(kinfo_proc) == 648, "kern.proc.all records are 648 bytes apart");
static_assert(offsetof(kinfo_proc, kp_proc.p_pid) == 40, "p_pid sits 40 bytes into a record");

// Reads (and never writes: a new value is refused with EPERM) the value named by `name`.
//   kern.argmax     {CTL_KERN, KERN_ARGMAX}: one int32, the largest argument area of a process.
//   kern.proc.all   {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: one kinfo_proc per process.
//   kern.procargs2  {CTL_KERN, KERN_PROCARGS2, pid}: int32 argc, the executable path and then
//                   each argument, all NUL-terminated; cut off at the end of the caller's buffer.
// With `oldp` null, *oldlenp receives the size a read would need (for the process table, with
// some headroom for processes started in between). With a buffer, *oldlenp is its size on entry
// and the number of bytes delivered on return. Errors: ENOMEM (buffer too small for the table
// or for an int), ENOENT (/proc shows no process at all: not the kernel's table), ESRCH (no such
// process, or it has no executable image any more), EPERM/EACCES (not permitted), EINVAL
// (unknown name), EFAULT (null length).
int sysctl(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
           std::size_t newlen);

namespace sysctl_backend {

// Where sysctl() is answered from: the backend installed with
// platform::ScopedOverride<platform::sysctl_backend::Backend>. A program's main installs one (the
// agent's answers from its event source's process table, /proc for the rest; others system());
// tests install fakes. Asking with none installed is a wiring fault of the program.
class Backend {
 public:
  static constexpr const char* kFacility = "process table";
  virtual ~Backend() = default;
  virtual int query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp,
                    const void* newp, std::size_t newlen) = 0;
};

// The backend answering from /proc.
Backend& system();

}  // namespace sysctl_backend

}  // namespace platform
