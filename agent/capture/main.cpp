// watchagent: creates its event-source client, subscribes to the twelve event kinds, serves its
// clients, and forwards every event to them as a JSON document. Reads no options or files; its
// settings come from its environment (WATCH_EXEC_ENVIRONMENT, WATCH_EXEC_ENVIRONMENT_REDACT,
// WATCH_YARA_RULES and WATCH_YARA_MAX_BYTES here, the sources read their own). It exits non-zero
// when it cannot publish its service, and ends cleanly (socket removed, clients closed, status 0)
// on SIGTERM, SIGINT or SIGHUP.
//
// `watchagent --scan PATH` only scans PATH with the YARA rules the agent loads and prints each
// match as "<rule file stem>:<rule> PATH"; status 0 with a match, 1 without, 2 when it cannot.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/capture/EventTable.h"
#include "agent/capture/ExecEnvironment.h"
#include "agent/capture/MySwiftBridge.h"
#include "agent/ipc/IPCForAgent.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/endpoint_security/BpfSource.h"
#include "platform/endpoint_security/ConnectorSource.h"
#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/EventRing.h"
#include "platform/endpoint_security/ProcessSourceChoice.h"
#include "platform/endpoint_security/ProcessTable.h"
#include "platform/endpoint_security/ScreenSharingSource.h"
#include "platform/endpoint_security/SourceBackend.h"
#include "platform/endpoint_security/audit/AuditSource.h"
#include "platform/endpoint_security/launch_items/LaunchItemSource.h"
#include "platform/endpoint_security/logind/LogindSource.h"
#include "platform/endpoint_security/malware/MalwareSource.h"
#include "platform/endpoint_security/yara/YaraRules.h"
#include "platform/endpoint_security/yara/YaraSource.h"
#include "platform/log/Log.h"
#include "platform/sysctl/TableSysctl.h"

// A serial queue: one worker thread runs the submitted work in order.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}
  ~SerialQueue() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Runs `work` on the queue and waits until it has run.
  void sync(const std::function<void()>& work) {
    bool done = false;
    std::unique_lock lock(mutex_);
    pending_.push_back([&] {
      work();
      std::lock_guard doneLock(mutex_);
      done = true;
      changed_.notify_all();
    });
    changed_.notify_all();
    changed_.wait(lock, [&] { return done; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      auto work = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread worker_;
};

es_client_t* g_client = nullptr;
SerialQueue* myQueue = nullptr;

void log_event_message(es_message_t message) {
  agent::MySwiftBridge::shared().processEndpointMessage(message);
}

namespace {

const es_event_type_t* const kSubscriptionList = agent::kSubscribedEvents.data();
const std::uint32_t kSubscriptionCount =
    static_cast<std::uint32_t>(agent::kSubscribedEvents.size());

void handleMessage(es_client_t* client, const es_message_t* message) {
  log_event_message(*message);
  if (message->action_type == ES_ACTION_TYPE_AUTH) {
    const es_respond_result_t result =
        es_respond_auth_result(client, message, ES_AUTH_RESULT_ALLOW, false);
    if (result != ES_RESPOND_RESULT_SUCCESS) {
      NSLog("ERROR: \"es_respond_auth_result: %d\"", static_cast<int>(result));
    }
  }
}

// Held while the client's subscription changes or the client ends.
std::mutex g_subscriptionMutex;
// The kinds the event-source client is subscribed to, by index in kSubscribedEvents.
std::bitset<agent::kSubscribedEvents.size()> g_subscribed;

// Subscribes the client to the process kinds (the many events) only while some connected client
// wants them, so that the process source skips building what nobody reads. The other kinds stay
// subscribed: they are few, and each is written to the log as it is converted. Runs where the
// connections change, before a new client's handshake is answered, so it misses nothing that
// follows; once the sources have started, a change of subscription only flips bits.
void followWantedKinds() {
  std::lock_guard lock(g_subscriptionMutex);
  if (g_client == nullptr) return;
  const auto& connections = agent::IPCForAgent::shared().currentConnections;
  std::vector<es_event_type_t> on, off;
  for (std::size_t i = 0; i < agent::kSubscribedEvents.size(); ++i) {
    const es_event_type_t type = agent::kSubscribedEvents[i];
    const bool wanted = !ipc::isProcessKind(type) || connections.wantsEventType(type);
    if (wanted == g_subscribed.test(i)) continue;
    (wanted ? on : off).push_back(type);
    g_subscribed.set(i, wanted);
  }
  if (!off.empty() && es_unsubscribe(g_client, off.data(),
                                     static_cast<std::uint32_t>(off.size())) == ES_RETURN_ERROR) {
    NSLog("ERROR: \"es_unsubscribe: ES_RETURN_ERROR\"");
  }
  if (!on.empty() &&
      es_subscribe(g_client, on.data(), static_cast<std::uint32_t>(on.size())) == ES_RETURN_ERROR) {
    NSLog("ERROR: \"es_subscribe: ES_RETURN_ERROR\"");
  }
}

void cleanUp() {
  es_client_t* client = nullptr;
  {
    // Not held while the client ends: a handler still running may change the subscription.
    std::lock_guard lock(g_subscriptionMutex);
    client = std::exchange(g_client, nullptr);
  }
  if (client == nullptr) return;
  es_unsubscribe(client, kSubscriptionList, kSubscriptionCount);
  es_clear_cache(client);
  es_delete_client(client);
}

}  // namespace

int setupMonitoring() {
  if (g_client != nullptr) return 0;

  // Probe: a client that ignores everything, only to learn whether the user approved us.
  es_new_client_result_t result =
      es_new_client(&g_client, [](es_client_t*, const es_message_t*) {});
  if (result == ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED) {
    NSLog("==== watchagent No Full Disk Access");
    return 1;
  }
  // The probe is never used again; a live one would only cost a second event stream.
  if (result == ES_NEW_CLIENT_RESULT_SUCCESS && g_client != nullptr) es_delete_client(g_client);
  g_client = nullptr;

  result = es_new_client(&g_client, handleMessage);
  if (result != ES_NEW_CLIENT_RESULT_SUCCESS) {
    switch (result) {
      case ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED:
        NSLog(
            "ERROR: \"Application requires 'com.apple.developer.endpoint-security.client' "
            "entitlement\"");
        break;
      case ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED:
        NSLog("ERROR: \"Application needs to run as root (and SIP disabled).\"");
        break;
      default:
        NSLog("ERROR: \"es_new_client: %d\"", static_cast<int>(result));
        break;
    }
    g_client = nullptr;  // a failed creation hands out no client
    cleanUp();
    return 1;
  }

  const es_clear_cache_result_t cleared = es_clear_cache(g_client);
  if (cleared != ES_CLEAR_CACHE_RESULT_SUCCESS) {
    NSLog("ERROR: \"es_clear_cache: %d\"", static_cast<int>(cleared));
    cleanUp();
    return 1;
  }

  if (es_subscribe(g_client, kSubscriptionList, kSubscriptionCount) == ES_RETURN_ERROR) {
    NSLog("ERROR: \"es_subscribe: ES_RETURN_ERROR\"");
    cleanUp();
    return 1;
  }
  g_subscribed.set();
  NSLog("==== watchagent success");
  return 0;
}

namespace {

// The ending signals are blocked before any thread exists, so every thread inherits the mask and
// only main's sigwait takes them. A reader that went away must not end the agent: SIGPIPE is
// ignored and the write fails with EPIPE instead.
sigset_t blockEndingSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  return ending;
}

// Large blocks (a process table's document is tens of MB) come from their own mappings and go
// back to the system when freed. Left to glibc, the first such free raises both thresholds to
// its size: later tables are then built in a thread's arena, whose top malloc_trim cannot
// return (measured: +19 MB kept after every `watchctl ps` of 5,000 4 KB paths).
void keepLargeBlocksReturnable() {
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 4 << 20);
}

// The YARA source's settings from the environment: WATCH_YARA_RULES is the rules folder,
// WATCH_YARA_MAX_BYTES the size above which a file is not scanned.
platform::es::YaraOptions yaraOptions() {
  platform::es::YaraOptions options;
  if (const char* folder = std::getenv("WATCH_YARA_RULES"); folder != nullptr && *folder != '\0') {
    options.rulesFolder = folder;
  }
  if (const char* limit = std::getenv("WATCH_YARA_MAX_BYTES")) {
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

int scanOnce(const char* path) {
  const platform::es::YaraOptions options = yaraOptions();
  std::vector<std::string> problems;
  const auto rules = platform::es::YaraRules::load(options.rulesFolder, problems);
  for (const std::string& problem : problems)
    std::fprintf(stderr, "%s, skipped\n", problem.c_str());
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
    return 2;
  }
  const platform::es::YaraScan result = rules->scan(fd, options.scanTimeoutSeconds);
  ::close(fd);
  for (const std::string& match : result.matches) std::printf("%s %s\n", match.c_str(), path);
  if (result.status != platform::es::YaraScan::Status::Scanned) {
    std::fprintf(stderr, "%s: %s\n", path,
                 result.status == platform::es::YaraScan::Status::TimedOut ? "scan timed out"
                                                                           : "cannot be scanned");
    return 2;
  }
  return result.matches.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--scan") == 0) return scanOnce(argv[2]);
  keepLargeBlocksReturnable();
  const sigset_t ending = blockEndingSignals();
  // The machine's own parts; tests of the entry install theirs instead.
  platform::es::ProcessTable processes;
  platform::es::SourceBackendOptions options;
  options.processes = &processes;
  platform::es::BpfOptions bpf;
  bpf.ringBytes = platform::es::eventRingBytes(std::getenv("WATCH_EVENT_RING_MB"));
  platform::es::SourceBackend machine(
      [bpf] {
        return platform::es::makeProcessSource([bpf] { return platform::es::makeBpfSource(bpf); },
                                               [] { return platform::es::makeConnectorSource(); });
      },
      {platform::es::makeAuditSource, platform::es::makeLogindSource,
       platform::es::makeScreenSharingSource, [] { return platform::es::makeLaunchItemSource(); },
       [] { return platform::es::makeMalwareSource(); },
       [] { return platform::es::makeYaraSource(yaraOptions()); }},
      options);
  platform::ScopedOverride<platform::es::Backend> eventSource(machine);
  // Process-table answers come from the table the event source keeps, /proc for the rest.
  platform::sysctl_backend::TableBackend table(processes, platform::sysctl_backend::system());
  platform::ScopedOverride<platform::sysctl_backend::Backend> processTable(table);
  NSLog("==== watchagent BEGIN");
  agent::setExecEnvironment(agent::ExecEnvironment::fromSetting(
      std::getenv("WATCH_EXEC_ENVIRONMENT"), std::getenv("WATCH_EXEC_ENVIRONMENT_REDACT")));
  myQueue = new SerialQueue(std::string(ipc::kAgentBundleIdentifier) + ".MyQueue");
  int status = 1;
  myQueue->sync([&] { status = setupMonitoring(); });
  if (status != 0) std::exit(-1);

  agent::IPCForAgent::shared().currentConnections.setWantedKindsChanged(followWantedKinds);
  followWantedKinds();  // nobody is connected yet
  agent::IPCForAgent::shared().startEndpointListener();
  if (!agent::IPCForAgent::shared().isListening()) {
    // The transport logged why (path taken by a file, another agent serving, ...). Exiting lets
    // the service manager's restart policy see the failure.
    NSLog("==== watchagent cannot publish its service, exiting");
    myQueue->sync([] { cleanUp(); });  // the sources put back what they changed
    return 1;
  }

  // Parked until one of the ending signals arrives.
  int sig = 0;
  while (sigwait(&ending, &sig) != 0) {
  }
  NSLog("==== watchagent ending on signal %d", sig);
  agent::IPCForAgent::shared().stopEndpointListener();  // clients closed, socket removed
  // The event-source client goes before the process does: its sources stop and put back what
  // they changed (auditing switched on for the agent is switched off again).
  myQueue->sync([] { cleanUp(); });
  std::fflush(nullptr);
  // Other long-lived objects may still have threads; leave without running destructors under them.
  std::_Exit(0);
}
