// A scripted stand-in for the kernel's process queries, for tests. It answers like the system
// backend (same layouts, same truncation, same errno values) from a table of processes, and
// records what it was asked.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sysctl/sysctl.h"

namespace platform::sysctl_backend {

struct FakeProcess {
  std::int32_t pid = 0;
  std::string path;  // delivered byte for byte: may be empty or not UTF-8
  std::vector<std::string> args;
  int error = 0;  // when nonzero, kern.procargs2 for this process fails with this errno
  std::int32_t ppid = 0;
  std::uint32_t uid = 0;
};

class FakeSysctl final : public Backend {
 public:
  // What is answered; set before queries begin.
  std::int32_t argmax = 256 * 1024;
  int argmaxError = 0;  // kern.argmax fails with this errno
  // How long kern.argmax takes to answer, to widen the window of concurrent first queries.
  std::chrono::milliseconds argmaxDelay{0};
  int tableSizeError = 0;  // the size query of kern.proc.all fails with this errno
  int tableReadError = 0;  // reading kern.proc.all into a buffer fails with this errno
  std::vector<FakeProcess> processes;
  // When set, kern.proc.all delivers exactly these bytes instead of records made from
  // `processes` (kern.procargs2 still answers from `processes`).
  std::optional<std::string> rawTable;

  int query(const int* name, u_int namelen, void* oldp, std::size_t* oldlenp, const void* newp,
            std::size_t newlen) override;

  // What was asked.
  int argmaxQueries() const;
  // The buffer length handed to each kern.procargs2 read, in call order.
  std::vector<std::size_t> argumentBufferSizes() const;
  // The process ids kern.procargs2 was asked about, in call order.
  std::vector<std::int32_t> argumentQueries() const;

 private:
  std::string table() const;
  int readArguments(std::int32_t pid, void* oldp, std::size_t* oldlenp);

  mutable std::mutex mutex_;
  int argmaxQueries_ = 0;
  std::vector<std::size_t> argumentBufferSizes_;
  std::vector<std::int32_t> argumentQueries_;
};

// Bytes of a kern.proc.all table holding these process ids, for building raw tables.
std::string processTableBytes(const std::vector<std::int32_t>& pids);

}  // namespace platform::sysctl_backend
