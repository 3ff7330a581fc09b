// The process-table walk: every running process's id with its executable path, read through
// the kernel's process queries.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace agent {

// Process id to executable path, one entry per process. Callers must not rely on the order.
using ProcDictionary = std::map<std::int64_t, std::string>;

// What the process queries tell of a process beyond its executable.
struct ProcDetails {
  std::int64_t ppid = 0;
  std::uint32_t uid = 0;
  std::vector<std::string> args;  // an argument that is not UTF-8 text reads "unknown"
  friend bool operator==(const ProcDetails&, const ProcDetails&) = default;
};
using ProcDetailsDictionary = std::map<std::int64_t, ProcDetails>;

class CustomObject {
 public:
  // A fresh snapshot, or nothing when the process table itself cannot be read. Process 0, the
  // processes whose argument area cannot be read and those whose executable path is not
  // complete UTF-8 text are left out.
  // With `details`, also each listed process's parent, user and arguments.
  std::optional<ProcDictionary> getProcs2(ProcDetailsDictionary* details = nullptr);

  // The size of one process's argument area, asked of the kernel once per process (4096 when
  // it cannot be asked); safe when several snapshots start at once.
  static std::int32_t cachedArgumentSize();

  // For tests: the next snapshot asks the kernel for the argument size again.
  static void forgetArgumentSize();
};

}  // namespace agent
