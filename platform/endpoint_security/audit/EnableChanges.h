// Changes of auditing's enable flag as the kernel announces them on the audit log: an
// AUDIT_CONFIG_CHANGE record "op=set audit_enabled=<new> old=<old> ... res=1", followed (when
// the change came through a system call) by the SYSCALL record of the same serial that names the
// process. Pure: fed records, it returns each change once it knows who made it, or once the read
// that brought it ends without saying.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::es::audit {

inline constexpr std::uint16_t kConfigChange = 1305;
inline constexpr std::uint16_t kSyscall = 1300;

struct EnableChange {
  std::uint64_t serial = 0;  // the record's
  std::uint32_t enabled = 0;
  std::uint32_t old = 0;
  std::optional<std::int64_t> pid;  // who changed it, when the kernel said
  std::optional<std::string> exe;
};

class EnableChanges {
 public:
  // One record; returns the change it completes, or the one it shows will not be completed.
  std::optional<EnableChange> feed(std::uint16_t type, std::string_view text);
  // The change still waiting for its SYSCALL record, at the end of a read.
  std::optional<EnableChange> flush();

 private:
  std::optional<EnableChange> pending_;
};

}  // namespace platform::es::audit
