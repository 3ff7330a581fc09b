#include "agent/capture/Entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/capture/EventTable.h"
#include "agent/capture/MySwiftBridge.h"
#include "agent/ipc/IPCForAgent.h"
#include "ipc/Identifiers.h"
#include "platform/SerialQueue.h"
#include "platform/endpoint_security/yara/YaraRules.h"
#include "platform/log/Log.h"

es_client_t* g_client = nullptr;
// The agent's dispatch queue: the client is created and ended on it.
platform::SerialQueue* myQueue = nullptr;

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

namespace agent {

int serveUntilSignalled(const sigset_t& ending) {
  myQueue = new platform::SerialQueue("agent-queue");
  int status = 1;
  myQueue->sync([&] { status = setupMonitoring(); });
  if (status != 0) std::exit(-1);

  IPCForAgent::shared().currentConnections.setWantedKindsChanged(followWantedKinds);
  followWantedKinds();  // nobody is connected yet
  IPCForAgent::shared().startEndpointListener();
  if (!IPCForAgent::shared().isListening()) {
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
  IPCForAgent::shared().stopEndpointListener();  // clients closed, socket removed
  // The event-source client goes before the process does: its sources stop and put back what
  // they changed (auditing switched on for the agent is switched off again).
  myQueue->sync([] { cleanUp(); });
  std::fflush(nullptr);
  // Other long-lived objects may still have threads; leave without running destructors under them.
  std::_Exit(0);
}

int scanOnce(const char* path, const platform::es::YaraOptions& options) {
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

}  // namespace agent
