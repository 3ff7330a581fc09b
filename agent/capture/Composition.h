// The agent's composition root: its settings, read from its environment once at start, and the
// machine's platform parts built from them and installed for the life of the process. Nothing
// below reads the environment; each part gets its setting from here.
//
//   WATCH_YARA_RULES         the YARA rules folder
//   WATCH_YARA_MAX_BYTES     files larger than this are not scanned
//   WATCH_EVENT_RING_MB      the in-kernel source's ring (process/EventRing.h)
//   WATCH_EXEC_ENVIRONMENT, WATCH_EXEC_ENVIRONMENT_REDACT
//                            what exec records keep of the environment (ExecEnvironment.h)
//   WATCH_EVENT_SOURCE       bpf|connector forces that process source (ProcessSourceChoice.h)
//   WATCH_AUDIT_ENABLE       0 forbids switching auditing on (audit/AuditSource.h)
//   WATCH_LOGIND_BUS         the bus logind is read from (logind/LogindSource.h)
//   XPC_SERVICES_DIR         where the service socket is published (platform/xpc/Transport.h)
#pragma once

#include <cstddef>
#include <functional>

#include "agent/capture/ExecEnvironment.h"
#include "platform/Override.h"
#include "platform/endpoint_security/Backend.h"
#include "platform/endpoint_security/audit/AuditSource.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/logind/LogindSource.h"
#include "platform/endpoint_security/process/ProcessSourceChoice.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/endpoint_security/yara/YaraSource.h"
#include "platform/sysctl/TableSysctl.h"
#include "platform/xpc/Transport.h"

namespace agent {

struct Options {
  platform::es::YaraOptions yara;
  std::size_t ringBytes = 0;  // the in-kernel source's ring
  ExecEnvironment execEnvironment;
  platform::es::ProcessSourcePreference processSource =
      platform::es::ProcessSourcePreference::automatic;
  platform::es::audit::AuditSourceOptions audit;
  platform::es::logind::LogindSourceOptions logind;
  xpc::ServicesDirectory services = xpc::ServicesDirectory::fromSetting(nullptr);

  // A variable's value, or null when it is not set.
  using Lookup = std::function<const char*(const char* name)>;
  // The settings `lookup` gives; a malformed value is logged and its default kept.
  static Options from(const Lookup& lookup);
  // The settings of this process's environment.
  static Options fromEnvironment();
};

// The machine's event source (every source of this host, sharing one process table), the
// process-table answers from that table (/proc for the rest) and the services directory;
// installed while alive.
class Composition {
 public:
  explicit Composition(const Options& options);
  Composition(const Composition&) = delete;
  Composition& operator=(const Composition&) = delete;

 private:
  platform::es::ProcessTable processes_;
  platform::es::SourceBackend machine_;
  platform::ScopedOverride<platform::es::Backend> eventSource_;
  platform::sysctl_backend::TableBackend table_;
  platform::ScopedOverride<platform::sysctl_backend::Backend> processTable_;
  xpc::ServicesDirectory services_;
  platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled_;
};

}  // namespace agent
