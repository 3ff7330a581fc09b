#include "agent/capture/Composition.h"

#include <cstdlib>
#include <cstring>

#include "platform/endpoint_security/launch_items/LaunchItemSource.h"
#include "platform/endpoint_security/malware/MalwareSource.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/process/ConnectorSource.h"
#include "platform/endpoint_security/process/EventRing.h"
#include "platform/endpoint_security/screen_sharing/ScreenSharingSource.h"
#include "platform/log/Log.h"

namespace agent {
namespace {

// WATCH_YARA_RULES is the rules folder, WATCH_YARA_MAX_BYTES the size above which a file is not
// scanned.
platform::es::YaraOptions yaraOptions(const Options::Lookup& lookup) {
  platform::es::YaraOptions options;
  if (const char* folder = lookup("WATCH_YARA_RULES"); folder != nullptr && *folder != '\0') {
    options.rulesFolder = folder;
  }
  if (const char* limit = lookup("WATCH_YARA_MAX_BYTES")) {
    char* end = nullptr;
    const long long bytes = std::strtoll(limit, &end, 10);
    if (end != limit && *end == '\0' && bytes >= 0) {
      options.maxFileBytes = static_cast<off_t>(bytes);
    } else {
      NSLog("==== watchagent WATCH_YARA_MAX_BYTES=%s is not a number of bytes, ignoring", limit);
    }
  }
  return options;
}

platform::es::SourceBackendOptions backendOptions(platform::es::ProcessTable& processes) {
  platform::es::SourceBackendOptions options;
  options.processes = &processes;
  return options;
}

}  // namespace

Options Options::from(const Lookup& lookup) {
  Options options;
  options.yara = yaraOptions(lookup);
  options.ringBytes = platform::es::eventRingBytes(lookup("WATCH_EVENT_RING_MB"));
  options.execEnvironment = ExecEnvironment::fromSetting(lookup("WATCH_EXEC_ENVIRONMENT"),
                                                         lookup("WATCH_EXEC_ENVIRONMENT_REDACT"));
  options.processSource = platform::es::processSourcePreference(lookup("WATCH_EVENT_SOURCE"));
  const char* enable = lookup("WATCH_AUDIT_ENABLE");
  options.audit.mayEnable = enable == nullptr || std::strcmp(enable, "0") != 0;
  if (const char* address = lookup("WATCH_LOGIND_BUS")) options.logind.busAddress = address;
  options.services = xpc::ServicesDirectory::fromSetting(lookup("XPC_SERVICES_DIR"));
  return options;
}

Options Options::fromEnvironment() {
  return from([](const char* name) { return std::getenv(name); });
}

Composition::Composition(const Options& options)
    : machine_(
          [bpf = platform::es::BpfOptions{.ringBytes = options.ringBytes},
           preference = options.processSource] {
            return platform::es::makeProcessSource(
                [bpf] { return platform::es::makeBpfSource(bpf); },
                [] { return platform::es::makeConnectorSource(); }, preference);
          },
          {[audit = options.audit] { return platform::es::makeAuditSource(audit); },
           [logind = options.logind] { return platform::es::makeLogindSource(logind); },
           platform::es::makeScreenSharingSource,
           [] { return platform::es::makeLaunchItemSource(); },
           [] { return platform::es::makeMalwareSource(); },
           [yara = options.yara] { return platform::es::makeYaraSource(yara); }},
          backendOptions(processes_)),
      eventSource_(machine_),
      table_(processes_, platform::sysctl_backend::system()),
      processTable_(table_),
      services_(options.services),
      servicesInstalled_(services_) {
  setExecEnvironment(options.execEnvironment);
}

}  // namespace agent
