// The process-table queries answered from the table the event source keeps from kernel events:
// no /proc walk and no per-process reads for the processes it knows. A process it does not know,
// or one it knows without its executable or arguments, is answered by the fallback (/proc); so
// is everything while no event source keeps the table.
#pragma once

#include "platform/endpoint_security/ProcessTable.h"
#include "platform/sysctl/sysctl.h"

namespace platform::sysctl_backend {

class TableBackend final : public Backend {
 public:
  TableBackend(const es::ProcessTable& table, Backend& fallback)
      : table_(table), fallback_(fallback) {}

  int query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
            std::size_t newlen) override;

 private:
  int processTable(void* oldp, std::size_t* oldlenp);
  int processArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp, const int* name);

  const es::ProcessTable& table_;
  Backend& fallback_;
};

}  // namespace platform::sysctl_backend
