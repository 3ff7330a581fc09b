// The agent's entry code: the one event-source client it creates and subscribes, the handler
// every message goes through, the service it publishes, and the clean-up before it ends. The
// platform parts it runs on are installed beforehand (agent/capture/Composition.h on this
// machine; tests install fakes).
#pragma once

#include <signal.h>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/yara/YaraSource.h"

// The client the agent created; null before setupMonitoring() succeeds and after clean-up.
extern es_client_t* g_client;

// Hands one message to the converter, which writes its log line and forwards its document.
void log_event_message(es_message_t message);

// Creates the client and subscribes it to the agent's kinds; 0 on success (also when a client
// exists already), 1 with the reason logged.
int setupMonitoring();

namespace agent {

// Creates the client on the agent's queue, publishes the service and serves until one of the
// `ending` signals arrives (they are blocked in every thread). Returns the process's status when
// it cannot start; ends the process itself once it has served.
int serveUntilSignalled(const sigset_t& ending);

// `watchagent --scan PATH`: scans PATH with the rules `options` names and prints each match as
// "<rule file stem>:<rule> PATH"; 0 with a match, 1 without, 2 when it cannot.
int scanOnce(const char* path, const platform::es::YaraOptions& options);

}  // namespace agent
