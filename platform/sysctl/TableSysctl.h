// The process-table queries answered from the table the event source keeps from kernel events:
// no /proc walk, and for the processes it knows one stat of the executable's path. A process it
// does not know, or one it knows without its executable or arguments, is answered by the fallback
// (/proc); so is everything while no event source keeps the table.
//
// The path is the one captured at the exec (also when longer than the kernel's link can show),
// marked " (deleted)" as /proc marks it once the file that ran is deleted or replaced.
#pragma once

#include <string>

#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/procfs/ProcFs.h"
#include "platform/sysctl/sysctl.h"

namespace platform::sysctl_backend {

class TableBackend final : public Backend {
 public:
  // `procRoot`: the /proc tree asked about executables no longer at their path.
  TableBackend(const es::ProcessTable& table, Backend& fallback, std::string procRoot = "/proc")
      : table_(table), fallback_(fallback), proc_(std::move(procRoot)) {}

  int query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
            std::size_t newlen) override;

 private:
  int processTable(void* oldp, std::size_t* oldlenp);
  int processArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp, const int* name);
  std::string currentPath(pid_t pid, const es::Executable& exe) const;

  const es::ProcessTable& table_;
  Backend& fallback_;
  const ProcReader proc_;
};

}  // namespace platform::sysctl_backend
