// Auditing switched on for as long as some agent needs it, and never switched off under anyone
// else. The kernel drops the records of PAM, sshd and login while auditing is off.
//
// - On: when it is off and no audit daemon is registered, the first source to start switches it
//   on and leaves a mark (kSwitchedOnMark) that an agent did, for whichever agent stops last.
//   Nobody audits system calls then: first it adds a task rule with the action "never", so that
//   the processes started from then on skip the audit path in every system call (the kernel
//   otherwise gives each new process an audit context once auditing has ever been on, until
//   reboot), marked (kTaskRuleMark) for the agent that takes it back.
// - Off: the last source of the last agent switches it off again only when an agent switched it
//   on (the mark), no audit daemon is registered and no other socket reads the audit log (another
//   agent, or any other reader: /proc/net/netlink); otherwise it stays on, logged with the reason.
//   The task rule goes with it, and as soon as an audit daemon is registered: its rules decide.
// - Under our feet: a change of the flag the kernel announces is logged; while sources run that
//   may switch it on and no audit daemon decides, auditing switched off is switched on again.
//
// One per process: shared(). An audit daemon's own setting is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/endpoint_security/audit/EnableChanges.h"

namespace platform::es::audit {

// Present while auditing is on because an agent switched it on; holds that agent's pid.
inline constexpr const char* kSwitchedOnMark = "/run/watchagent/audit-switched-on";
// Present while the task rule an agent added is in place.
inline constexpr const char* kTaskRuleMark = "/run/watchagent/audit-task-never";

class AuditEnablement {
 public:
  static AuditEnablement& shared();

  // Counts one user. With `mayEnable`, switches auditing on when it is off and unclaimed.
  // Returns false, with the reason in `why`, when records cannot arrive.
  bool acquire(bool mayEnable, std::string& why);
  // Counts one user off; the last one may switch auditing off again (see above). The caller's
  // own audit socket must be closed already, or it counts as another reader.
  void release();
  // A change of the flag the kernel announced: logged; auditing switched off is switched on
  // again while a user that may do so runs and no audit daemon is registered.
  void noticed(const EnableChange& change);

 private:
  void switchOffIfOurs();
  // Sets the flag, expecting the kernel's announcement of it (not to be taken for another's).
  int set(std::uint32_t enabled);
  bool isOwn(const EnableChange& change);

  struct OwnChange {
    std::uint32_t enabled;
    std::chrono::steady_clock::time_point until;
  };

  std::mutex mutex_;
  int users_ = 0;
  int enablers_ = 0;              // users that may switch auditing on
  std::uint64_t lastSerial_ = 0;  // of the last change noticed
  std::optional<OwnChange> own_;
};

}  // namespace platform::es::audit
