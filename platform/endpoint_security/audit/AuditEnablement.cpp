#include "platform/endpoint_security/audit/AuditEnablement.h"

#include <cstring>

#include "platform/endpoint_security/audit/AuditNetlink.h"
#include "platform/log/Log.h"

namespace platform::es::audit {

AuditEnablement& AuditEnablement::shared() {
  static AuditEnablement instance;
  return instance;
}

bool AuditEnablement::acquire(bool mayEnable, std::string& why) {
  std::lock_guard lock(mutex_);
  if (users_ > 0) {
    ++users_;
    return true;
  }
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
    if (int rc = setAuditEnabled(1); rc < 0) {
      why = std::string("auditing is off and could not be switched on: ") + std::strerror(-rc);
      return false;
    }
    enabledByUs_ = true;
    NSLog("EndpointSecurity: audit: auditing switched on (it was off and no audit daemon runs)");
  }
  ++users_;
  return true;
}

void AuditEnablement::release() {
  std::lock_guard lock(mutex_);
  if (users_ == 0 || --users_ > 0 || !enabledByUs_) return;
  enabledByUs_ = false;
  if (int rc = setAuditEnabled(0); rc < 0) {
    NSLog("EndpointSecurity: audit: switching auditing off again failed: %s", std::strerror(-rc));
    return;
  }
  NSLog("EndpointSecurity: audit: auditing switched off again");
}

}  // namespace platform::es::audit
