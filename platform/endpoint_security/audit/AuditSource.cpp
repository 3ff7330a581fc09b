#include "platform/endpoint_security/audit/AuditSource.h"

#include <errno.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>

#include "platform/endpoint_security/audit/AuditEnablement.h"
#include "platform/endpoint_security/audit/AuditMessages.h"
#include "platform/endpoint_security/audit/AuditNetlink.h"
#include "platform/endpoint_security/audit/EnableChanges.h"
#include "platform/endpoint_security/audit/LoginCorrelator.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/log/Log.h"

namespace platform::es::audit {
namespace {

bool wanted(std::uint16_t type) {
  return type == kUserAuth || type == kUserStart || type == kUserLogin;
}

int pollTimeoutMs(const LoginCorrelator& correlator) {
  const std::optional<std::uint64_t> deadline = correlator.nextDeadline();
  if (!deadline) return -1;
  const std::uint64_t now = monotonicNow();
  if (*deadline <= now) return 0;
  return static_cast<int>((*deadline - now + 999999) / 1000000);
}

}  // namespace

AuditSource::AuditSource(AuditSourceOptions options) : options_(std::move(options)) {}

AuditSource::~AuditSource() {
  stop();
}

bool AuditSource::produces(es_event_type_t type) const {
  return type == ES_EVENT_TYPE_NOTIFY_AUTHENTICATION ||
         type == ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN || type == ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN;
}

es_new_client_result_t AuditSource::open(std::string& why) {
  if (int rc = openReadLog(socket_, options_.receiveBufferBytes); rc < 0) {
    why = std::string("audit multicast: ") + std::strerror(-rc);
    return rc == -EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED
                        : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (!reader_.open()) {
    why = std::string("eventfd: ") + std::strerror(errno);
    socket_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (!AuditEnablement::shared().acquire(options_.mayEnable, why)) {
    socket_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  acquired_ = true;
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void AuditSource::start(SourceContext& context) {
  reader_.start("es-audit", [this, &context] { run(context); });
}

void AuditSource::stop() {
  reader_.stop();
  // Closed first: the enablement counts open readers of the audit log as others.
  socket_.reset();
  if (acquired_) AuditEnablement::shared().release();
  acquired_ = false;
}

void AuditSource::run(SourceContext& context) {
  ExecutableCache executables(&context.packages);
  ProcessLookup processes(context.processes, executables);
  LoginCorrelator correlator(options_.window);
  EnableChanges changes;
  std::string buffer;
  std::uint64_t lost = 0;

  auto publish = [&](std::vector<AuditEvent> events) {
    for (const AuditEvent& event : events) {
      if (!context.sink.subscribed(kindOf(event))) continue;
      if (!context.sink.push(pendingFor(event, processes, monotonicNow()))) return false;
    }
    return true;
  };

  pollfd socket{socket_.get(), POLLIN, 0};
  while (reader_.wait({&socket, 1}, pollTimeoutMs(correlator))) {
    for (;;) {
      const int rc =
          receiveRecords(socket_.get(), buffer, [&](std::uint16_t type, std::string_view text) {
            if (auto change = changes.feed(type, text)) AuditEnablement::shared().noticed(*change);
            if (!wanted(type)) return;
            if (std::optional<AuditRecord> record = parseAuditRecord(type, text)) {
              publish(correlator.feed(*record, monotonicNow()));
            }
          });
      if (rc == -EAGAIN || rc == -EWOULDBLOCK) {
        if (auto change = changes.flush()) AuditEnablement::shared().noticed(*change);
        break;
      }
      if (rc == -ENOBUFS) {
        // The kernel overran our buffer: records are gone, say so and read on.
        NSLog("EndpointSecurity: audit: records lost (receive buffer overrun %llu)",
              static_cast<unsigned long long>(++lost));
        continue;
      }
      if (rc < 0) {
        NSLog("EndpointSecurity: audit: receive failed: %s", std::strerror(-rc));
        return;
      }
    }
    if (!publish(correlator.expire(monotonicNow()))) return;
  }
}

}  // namespace platform::es::audit

namespace platform::es {

std::unique_ptr<Source> makeAuditSource(audit::AuditSourceOptions options) {
  return std::make_unique<audit::AuditSource>(options);
}

}  // namespace platform::es
