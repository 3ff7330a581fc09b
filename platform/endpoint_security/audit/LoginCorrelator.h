// Turns audit records into the events this source reports: one authentication per PAM
// authentication, and one login event per attempt of sshd or login, however many records the
// attempt leaves. Pure: time comes in as arguments, so the rules are table-tested with recorded
// sequences.
//
// An attempt is keyed by the pid of the process that writes its records (sshd's per-connection
// process; login itself) and that process's start time, read from /proc when a record arrives:
// a pid used again by a later connection starts a new attempt instead of inheriting the earlier
// one's state. A process already gone when its record is read keeps the attempt it had.
//   - success: sshd's session opened (USER_START op=PAM:session_open), login's USER_LOGIN
//     res=success; reported at once. It ends any failure still waiting in the same attempt: a
//     key refused before a password or another key was accepted is not a failed login.
//   - failure: a failed PAM authentication (USER_AUTH res=failed); reported at once. The
//     USER_LOGIN res=failed the program writes after its failure delay is the same attempt and
//     is not reported again.
//   - a USER_LOGIN res=failed with no failed PAM authentication (no password was checked: an
//     unknown user or a key refused) is reported once the process has written nothing more for
//     `window` (each further record of the attempt starts the wait again), unless a failed
//     authentication stands for it or a success ends it first. sshd's connection may go on
//     with another method however long its user takes, so while its process still runs the
//     wait goes on, up to sshd's default login grace time (120 s).
//   - sshd writes the account of an unknown user as "(invalid user)"; the attempt's user name
//     then comes from the failed authentication, which names the user tried.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/audit/AuditRecord.h"
#include "platform/procfs/ProcFs.h"

// Result kinds of an OpenSSH login, as the platform numbers them.
enum : es_openssh_login_result_type_t {
  ES_OPENSSH_LOGIN_EXCEED_MAXTRIES = 0,
  ES_OPENSSH_LOGIN_ROOT_DENIED = 1,
  ES_OPENSSH_AUTH_SUCCESS = 2,
  ES_OPENSSH_AUTH_FAIL_NONE = 3,
  ES_OPENSSH_AUTH_FAIL_PASSWD = 4,
  ES_OPENSSH_AUTH_FAIL_KBDINT = 5,
  ES_OPENSSH_AUTH_FAIL_PUBKEY = 6,
  ES_OPENSSH_AUTH_FAIL_HOSTBASED = 7,
  ES_OPENSSH_AUTH_FAIL_GSSAPI = 8,
  ES_OPENSSH_INVALID_USER = 9,
};

namespace platform::es::audit {

inline constexpr std::string_view kSshdPath = "/usr/sbin/sshd";
inline constexpr std::string_view kLoginPath = "/usr/bin/login";
// The failure text of a login event: PAM's text for a failed authentication.
inline constexpr std::string_view kLoginFailure = "Authentication failure";

// Who wrote the record that an event comes from; the kernel's ids, the sender's exe.
struct Origin {
  timespec time{};
  pid_t pid = 0;
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> auid;
  std::optional<std::string> exe;
};

struct AuthenticationEvent {
  Origin origin;
  bool success = false;
  std::optional<std::string> account;
};

struct OpenSshLoginEvent {
  Origin origin;
  bool success = false;
  es_openssh_login_result_type_t resultType = ES_OPENSSH_AUTH_FAIL_NONE;
  std::optional<std::string> address;
  std::optional<std::string> username;
};

struct LoginLoginEvent {
  Origin origin;
  bool success = false;
  std::optional<std::string> failureMessage;
  std::optional<std::string> username;
};

using AuditEvent = std::variant<AuthenticationEvent, OpenSshLoginEvent, LoginLoginEvent>;

class LoginCorrelator {
 public:
  // `proc` is where the writers' start times are read (tests give it a fixture tree).
  explicit LoginCorrelator(std::chrono::milliseconds window = std::chrono::milliseconds(500),
                           std::size_t maxAttempts = 1024, ProcReader proc = ProcReader());

  // The events `record` completes; `nowNs` is the monotonic time it arrived.
  std::vector<AuditEvent> feed(const AuditRecord& record, std::uint64_t nowNs);
  // The events whose wait has ended by `nowNs`; also forgets attempts idle for a minute.
  std::vector<AuditEvent> expire(std::uint64_t nowNs);
  // When expire next has something to report.
  std::optional<std::uint64_t> nextDeadline() const;
  std::size_t attempts() const { return attempts_.size(); }

 private:
  enum class Program { kSshd, kLogin };
  struct Attempt {
    Program program = Program::kSshd;
    bool invalidUser = false;
    int echoes = 0;  // USER_LOGIN failures still to come for failures already reported
    std::optional<std::uint64_t> deadline;
    std::optional<AuditRecord> waiting;  // the record a lone failure is reported from
    std::uint64_t lastSeenNs = 0;
    std::optional<std::uint64_t> startTicks;  // of the writing process, when it could be read
    std::uint64_t waitingSinceNs = 0;         // when the lone failure began to wait
  };

  void feedAttempt(Attempt& attempt, const AuditRecord& record, std::uint64_t nowNs,
                   std::vector<AuditEvent>& out);
  Attempt& attemptOf(Program program, pid_t pid, std::uint64_t nowNs, std::vector<AuditEvent>& out);
  bool connectionGoesOn(pid_t pid, const Attempt& attempt, std::uint64_t nowNs) const;
  void makeRoom(std::uint64_t nowNs);
  static AuditEvent failure(const Attempt& attempt, const AuditRecord& record, bool checked);
  static AuditEvent success(Program program, const AuditRecord& record);

  const std::uint64_t windowNs_;
  const std::size_t maxAttempts_;
  const ProcReader proc_;
  std::unordered_map<pid_t, Attempt> attempts_;
};

// The origin fields of `record`.
Origin originOf(const AuditRecord& record);

}  // namespace platform::es::audit
