// Switching auditing on and off, with the mark and the checks that keep it on for others.
#include "platform/endpoint_security/audit/AuditEnablement.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/endpoint_security/audit/AuditNetlink.h"
#include "platform/log/Log.h"

namespace platform::es::audit {
namespace {

void setMark(const std::string& path) {
  ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
  std::ofstream(path) << ::getpid() << '\n';
}

void setMark() {
  setMark(kSwitchedOnMark);
}

// Auditing is about to be switched on by an agent, and nobody audits system calls here: the
// processes started from now on need no audit context. A rule already in place is someone else's.
void keepNewProcessesUnaudited() {
  if (const int rc = addTaskNeverRule(); rc == 0) {
    setMark(kTaskRuleMark);
  } else if (rc != -EEXIST) {
    NSLog(
        "EndpointSecurity: audit: could not keep new processes out of system-call auditing: %s; "
        "their system calls take the audit path",
        std::strerror(-rc));
  }
}

// Takes back the task rule, when an agent added it.
void releaseTaskRule() {
  if (::access(kTaskRuleMark, F_OK) != 0) return;
  if (const int rc = deleteTaskNeverRule(); rc < 0 && rc != -ENOENT) {
    NSLog("EndpointSecurity: audit: taking back the task rule failed: %s", std::strerror(-rc));
    return;
  }
  ::unlink(kTaskRuleMark);
}

bool marked() {
  return ::access(kSwitchedOnMark, F_OK) == 0;
}

std::string listed(const std::vector<std::uint32_t>& ports) {
  std::string text;
  for (std::uint32_t port : ports) text += (text.empty() ? "" : ", ") + std::to_string(port);
  return text;
}

std::string who(const EnableChange& change) {
  if (!change.pid) return "a process the kernel did not name";
  return "pid " + std::to_string(*change.pid) + (change.exe ? " (" + *change.exe + ")" : "");
}

}  // namespace

AuditEnablement& AuditEnablement::shared() {
  static AuditEnablement instance;
  return instance;
}

bool AuditEnablement::acquire(bool mayEnable, std::string& why) {
  std::lock_guard lock(mutex_);
  if (users_ == 0) {
    AuditStatus status;
    if (int rc = getAuditStatus(status); rc < 0) {
      why = std::string("audit status: ") + std::strerror(-rc);
      return false;
    }
    if (status.enabled == 0 && status.daemonPid == 0) {
      if (!mayEnable) {
        why = "auditing is off and WATCH_AUDIT_ENABLE=0";
        return false;
      }
      keepNewProcessesUnaudited();
      if (int rc = set(1); rc < 0) {
        releaseTaskRule();
        why = std::string("auditing is off and could not be switched on: ") + std::strerror(-rc);
        return false;
      }
      setMark();
      NSLog("EndpointSecurity: audit: auditing switched on (it was off and no audit daemon runs)");
    }
  }
  ++users_;
  if (mayEnable) ++enablers_;
  return true;
}

void AuditEnablement::release() {
  std::lock_guard lock(mutex_);
  // Which user leaves is not known: one that may enable is counted off first, so that a
  // change noticed meanwhile errs on leaving auditing as it is.
  if (enablers_ > 0) --enablers_;
  if (users_ == 0 || --users_ > 0) return;
  switchOffIfOurs();
}

void AuditEnablement::switchOffIfOurs() {
  AuditStatus status;
  if (getAuditStatus(status) < 0 || status.enabled != 1 || !marked()) return;
  if (status.daemonPid != 0) {
    // The daemon relies on it now, and decides from here on.
    releaseTaskRule();
    ::unlink(kSwitchedOnMark);
    NSLog("EndpointSecurity: audit: auditing left on: an audit daemon (pid %u) is registered",
          status.daemonPid);
    return;
  }
  if (const auto others = readLogReaders(); !others.empty()) {
    // The mark stays for the reader that stops last, if it is an agent.
    NSLog(
        "EndpointSecurity: audit: auditing left on: other readers of the audit log (netlink "
        "ports %s)",
        listed(others).c_str());
    return;
  }
  if (int rc = set(0); rc < 0) {
    NSLog("EndpointSecurity: audit: switching auditing off again failed: %s", std::strerror(-rc));
    return;
  }
  releaseTaskRule();
  ::unlink(kSwitchedOnMark);
  NSLog("EndpointSecurity: audit: auditing switched off again");
}

int AuditEnablement::set(std::uint32_t enabled) {
  own_ = OwnChange{enabled, std::chrono::steady_clock::now() + std::chrono::seconds(1)};
  return setAuditEnabled(enabled);
}

bool AuditEnablement::isOwn(const EnableChange& change) {
  const bool own =
      own_ && own_->enabled == change.enabled && std::chrono::steady_clock::now() < own_->until;
  if (own) own_.reset();
  return own;
}

void AuditEnablement::noticed(const EnableChange& change) {
  std::lock_guard lock(mutex_);
  // Every source of this process reads the same record; our own changes are logged where made.
  if (change.serial != 0 && change.serial == lastSerial_) return;
  lastSerial_ = change.serial;
  if (isOwn(change)) return;
  NSLog("EndpointSecurity: audit: auditing switched %s by %s (it was %s)",
        change.enabled == 0 ? "off" : "on", who(change).c_str(), change.old == 0 ? "off" : "on");
  AuditStatus status;
  if (getAuditStatus(status) < 0) return;
  // An audit daemon's rules decide which processes are audited.
  if (status.daemonPid != 0) releaseTaskRule();
  if (change.enabled != 0 || users_ == 0 || status.enabled != 0) return;
  if (status.daemonPid != 0) {
    NSLog(
        "EndpointSecurity: audit: left off: the audit daemon (pid %u) decides; no "
        "authentication or login events until it is on again",
        status.daemonPid);
  } else if (enablers_ == 0) {
    NSLog(
        "EndpointSecurity: audit: left off (WATCH_AUDIT_ENABLE=0); no authentication or login "
        "events until it is on again");
  } else {
    keepNewProcessesUnaudited();
    if (int rc = set(1); rc < 0) {
      NSLog("EndpointSecurity: audit: switching auditing on again failed: %s", std::strerror(-rc));
    } else {
      setMark();
      NSLog("EndpointSecurity: audit: auditing switched on again (no audit daemon runs)");
    }
  }
}

}  // namespace platform::es::audit
