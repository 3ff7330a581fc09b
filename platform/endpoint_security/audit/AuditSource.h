// The audit source: PAM, sshd and login report each authentication, account check and session
// to the kernel's audit log; this source reads those records from the read-only multicast group
// (so an audit daemon keeps working beside it) and turns them into AUTHENTICATION,
// OPENSSH_LOGIN and LOGIN_LOGIN events (LoginCorrelator has the rules). The process named by a
// record comes from the process table, else from /proc, else from the record itself.
//
// open() refuses with ERR_NOT_PERMITTED without CAP_AUDIT_READ, ERR_INTERNAL when the kernel has
// no audit support or auditing is off and may not or cannot be switched on (AuditEnablement).
// One reader thread per source.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/client/Source.h"

namespace platform::es::audit {

struct AuditSourceOptions {
  // Switch auditing on when it is off and no audit daemon runs.
  bool mayEnable = true;
  // How long a failed login that checked no password waits for the record that explains it.
  std::chrono::milliseconds window = std::chrono::milliseconds(500);
  int receiveBufferBytes = 1 << 20;
};

class AuditSource final : public Source {
 public:
  explicit AuditSource(AuditSourceOptions options = {});
  ~AuditSource() override;

  std::string_view name() const override { return "audit"; }
  bool produces(es_event_type_t type) const override;
  es_new_client_result_t open(std::string& why) override;
  void start(SourceContext& context) override;
  void stop() override;

 private:
  void run(SourceContext& context);

  const AuditSourceOptions options_;
  UniqueFd socket_;
  bool acquired_ = false;
  ReaderThread reader_;
};

}  // namespace platform::es::audit

namespace platform::es {

// The machine's audit source (the agent's WATCH_AUDIT_ENABLE=0 clears mayEnable).
std::unique_ptr<Source> makeAuditSource(audit::AuditSourceOptions options = {});

}  // namespace platform::es
