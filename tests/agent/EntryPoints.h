// The entry code's globals and functions, for tests that compile the agent's main.cpp (its
// main renamed to watchagent_main) into themselves.
#pragma once

#include "platform/endpoint_security/EndpointSecurity.h"

extern es_client_t* g_client;
int setupMonitoring();
void log_event_message(es_message_t message);
