// The process-table walk: every running process's id with its executable path, read through
// the kernel's process queries.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace agent {

// Process id to executable path, one entry per process. Callers must not rely on the order.
using ProcDictionary = std::map<std::int64_t, std::string>;

class CustomObject {
 public:
  // A fresh snapshot, or nothing when the process table itself cannot be read. Process 0, the
  // processes whose argument area cannot be read and those whose executable path is not
  // complete UTF-8 text are left out.
  std::optional<ProcDictionary> getProcs2();

  // The size of one process's argument area, asked of the kernel once per process (4096 when
  // it cannot be asked); safe when several snapshots start at once.
  static std::int32_t cachedArgumentSize();

  // For tests: the next snapshot asks the kernel for the argument size again.
  static void forgetArgumentSize();
};

}  // namespace agent
