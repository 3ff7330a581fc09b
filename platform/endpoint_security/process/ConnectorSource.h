// The process source built on the netlink process connector, the fallback where the in-kernel
// source cannot load: the kernel reports exec, fork and exit of every process by pid, and a
// ConnectorTracker completes each message from /proc and keeps the process table.
//
// One reader thread receives the messages as soon as the kernel sends them (a process may be gone
// a moment later; the reader runs at a raised priority where it may) and pushes the events to
// the client's sink. When the client falls behind, the
// sink holds the reader, the socket's buffer fills and the kernel drops messages, which the
// per-CPU sequence numbers reveal: every loss is counted, logged as "EndpointSecurity: kernel
// event overrun, N events lost", the table is read again from /proc, and delivery goes on. Execs
// whose process was gone before /proc could be read are reported with what is known and logged
// with their count once per interval.
//
// Result codes of open(): not running as root -> ERR_NOT_PRIVILEGED; root without CAP_NET_ADMIN
// -> ERR_NOT_ENTITLED; the kernel refusing the subscription (for example from a user namespace)
// -> ERR_NOT_PERMITTED; a kernel without the connector, or another failure -> ERR_INTERNAL.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

struct ConnectorOptions {
  // The socket's receive buffer (the kernel doubles it); what a stalled reader can fall behind.
  int receiveBufferBytes = 8 << 20;
  // Incomplete execs are logged at most once per interval, with their count.
  std::chrono::milliseconds reportInterval = std::chrono::seconds(10);
  // While set, the reader does not read (tests use it to let processes end unread).
  const std::atomic<bool>* paused = nullptr;
};

std::unique_ptr<Source> makeConnectorSource(ConnectorOptions options = {});

}  // namespace platform::es
