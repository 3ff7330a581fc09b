#include "platform/endpoint_security/audit/LoginCorrelator.h"

#include <algorithm>

namespace platform::es::audit {
namespace {

constexpr std::uint64_t kIdleNs = 60ull * 1000000000ull;
// sshd's default LoginGraceTime: a connection not logged in by then is closed.
constexpr std::uint64_t kLongestWaitNs = 120ull * 1000000000ull;

bool is(const std::optional<std::string>& value, std::string_view expected) {
  return value && *value == expected;
}

bool succeeded(const AuditRecord& record) {
  return is(record.message.find("res"), "success");
}

bool failed(const AuditRecord& record) {
  return is(record.message.find("res"), "failed");
}

bool isPamAuthentication(const AuditRecord& record) {
  return record.type == kUserAuth && is(record.message.find("op"), "PAM:authentication");
}

}  // namespace

Origin originOf(const AuditRecord& record) {
  Origin origin;
  origin.time = record.time;
  origin.pid = record.pid ? static_cast<pid_t>(*record.pid) : 0;
  origin.uid = record.uid;
  origin.auid = record.auid;
  origin.exe = record.message.find("exe");
  return origin;
}

LoginCorrelator::LoginCorrelator(std::chrono::milliseconds window, std::size_t maxAttempts,
                                 ProcReader proc)
    : windowNs_(static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(window).count())),
      maxAttempts_(maxAttempts),
      proc_(std::move(proc)) {}

std::vector<AuditEvent> LoginCorrelator::feed(const AuditRecord& record, std::uint64_t nowNs) {
  std::vector<AuditEvent> out;
  if (!record.pid) return out;  // not from a process: nobody to attribute it to
  const std::optional<std::string> exe = record.message.find("exe");
  Attempt* attempt = nullptr;
  if (is(exe, kSshdPath) || is(exe, kLoginPath)) {
    // First, so that what ends an earlier attempt of the pid comes before this record's events.
    const Program program = is(exe, kSshdPath) ? Program::kSshd : Program::kLogin;
    attempt = &attemptOf(program, static_cast<pid_t>(*record.pid), nowNs, out);
  }
  if (isPamAuthentication(record)) {
    out.push_back(
        AuthenticationEvent{originOf(record), succeeded(record), record.message.find("acct")});
  }
  if (attempt) feedAttempt(*attempt, record, nowNs, out);
  return out;
}

LoginCorrelator::Attempt& LoginCorrelator::attemptOf(Program program, pid_t pid,
                                                     std::uint64_t nowNs,
                                                     std::vector<AuditEvent>& out) {
  std::optional<std::uint64_t> startTicks;
  if (ProcStat stat; proc_.stat(pid, stat) == 0) startTicks = stat.startTicks;
  auto it = attempts_.find(pid);
  if (it != attempts_.end() && startTicks && it->second.startTicks &&
      *startTicks != *it->second.startTicks) {
    // Another process has the pid now: the earlier attempt is over, its lone failure stands.
    if (it->second.deadline) out.push_back(failure(it->second, *it->second.waiting, false));
    attempts_.erase(it);
    it = attempts_.end();
  }
  if (it == attempts_.end()) {
    makeRoom(nowNs);
    Attempt fresh;
    fresh.program = program;
    it = attempts_.emplace(pid, std::move(fresh)).first;
  }
  if (!it->second.startTicks) it->second.startTicks = startTicks;
  return it->second;
}

void LoginCorrelator::feedAttempt(Attempt& attempt, const AuditRecord& record, std::uint64_t nowNs,
                                  std::vector<AuditEvent>& out) {
  const Program program = attempt.program;
  attempt.lastSeenNs = nowNs;
  // The process goes on: a lone failure waits for what it writes next.
  if (attempt.deadline) attempt.deadline = nowNs + windowNs_;

  const bool openedSession =
      record.type == kUserStart && is(record.message.find("op"), "PAM:session_open");
  if (isPamAuthentication(record) && failed(record)) {
    out.push_back(failure(attempt, record, true));
    attempt.deadline.reset();
    attempt.waiting.reset();
    ++attempt.echoes;
  } else if ((program == Program::kSshd && openedSession && succeeded(record)) ||
             (program == Program::kLogin && record.type == kUserLogin && succeeded(record))) {
    out.push_back(success(program, record));
    attempt.deadline.reset();
    attempt.waiting.reset();
  } else if (record.type == kUserLogin && failed(record)) {
    if (is(record.message.find("acct"), kInvalidUser)) attempt.invalidUser = true;
    if (attempt.echoes > 0) {
      --attempt.echoes;
    } else if (!attempt.deadline) {
      attempt.deadline = nowNs + windowNs_;
      attempt.waitingSinceNs = nowNs;
      attempt.waiting = record;
    }
  }
}

std::vector<AuditEvent> LoginCorrelator::expire(std::uint64_t nowNs) {
  std::vector<AuditEvent> out;
  for (auto it = attempts_.begin(); it != attempts_.end();) {
    Attempt& attempt = it->second;
    if (attempt.deadline && *attempt.deadline <= nowNs) {
      if (connectionGoesOn(it->first, attempt, nowNs)) {
        attempt.deadline = nowNs + windowNs_;
      } else {
        out.push_back(failure(attempt, *attempt.waiting, false));
        attempt.deadline.reset();
        attempt.waiting.reset();
      }
    }
    if (!attempt.deadline && nowNs - attempt.lastSeenNs >= kIdleNs) {
      it = attempts_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

// Whether sshd's connection process of `attempt` still runs (and may yet log in another way).
bool LoginCorrelator::connectionGoesOn(pid_t pid, const Attempt& attempt,
                                       std::uint64_t nowNs) const {
  if (attempt.program != Program::kSshd || !attempt.startTicks) return false;
  if (nowNs - attempt.waitingSinceNs >= kLongestWaitNs) return false;
  ProcStat stat;
  return proc_.stat(pid, stat) == 0 && stat.startTicks == *attempt.startTicks;
}

std::optional<std::uint64_t> LoginCorrelator::nextDeadline() const {
  std::optional<std::uint64_t> next;
  for (const auto& [pid, attempt] : attempts_) {
    const std::uint64_t at = attempt.deadline ? *attempt.deadline : attempt.lastSeenNs + kIdleNs;
    if (!next || at < *next) next = at;
  }
  return next;
}

// Keeps the table bounded: the attempt seen longest ago goes first. Its pending failure, if
// any, is lost.
void LoginCorrelator::makeRoom(std::uint64_t) {
  if (attempts_.size() < maxAttempts_) return;
  auto oldest = std::min_element(attempts_.begin(), attempts_.end(), [](auto& a, auto& b) {
    return a.second.lastSeenNs < b.second.lastSeenNs;
  });
  attempts_.erase(oldest);
}

AuditEvent LoginCorrelator::failure(const Attempt& attempt, const AuditRecord& record,
                                    bool checked) {
  std::optional<std::string> name = record.message.find("acct");
  if (attempt.program == Program::kLogin) {
    return LoginLoginEvent{originOf(record), false, std::string(kLoginFailure), std::move(name)};
  }
  es_openssh_login_result_type_t result =
      checked ? ES_OPENSSH_AUTH_FAIL_PASSWD : ES_OPENSSH_AUTH_FAIL_NONE;
  if (attempt.invalidUser) result = ES_OPENSSH_INVALID_USER;
  return OpenSshLoginEvent{originOf(record), false, result, record.message.find("addr"),
                           std::move(name)};
}

AuditEvent LoginCorrelator::success(Program program, const AuditRecord& record) {
  if (program == Program::kLogin) {
    return LoginLoginEvent{originOf(record), true, std::nullopt, record.message.find("acct")};
  }
  return OpenSshLoginEvent{originOf(record), true, ES_OPENSSH_AUTH_SUCCESS,
                           record.message.find("addr"), record.message.find("acct")};
}

}  // namespace platform::es::audit
