// Which process source a client gets: the in-kernel (eBPF) source wherever the kernel allows it,
// the process connector otherwise. The agent's WATCH_EVENT_SOURCE=bpf|connector forces one. The
// choice is logged once per client as "EndpointSecurity: event source: bpf" or
// "EndpointSecurity: event source: connector (<why the eBPF source is unavailable>)".
#pragma once

#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

// Which process source a client gets: the choice above, or the one the setting forces.
enum class ProcessSourcePreference { automatic, bpf, connector };

// The preference a setting names: "bpf" or "connector"; anything else (null too) is automatic.
ProcessSourcePreference processSourcePreference(const char* setting);

// A process source that opens `bpf`, or `connector` when `bpf` cannot open; with both refused,
// the result is not entitled when the eBPF source lacked its capabilities, else not permitted
// (not running as root is not privileged either way).
std::unique_ptr<Source> makeProcessSource(
    SourceFactory bpf, SourceFactory connector,
    ProcessSourcePreference preference = ProcessSourcePreference::automatic);

}  // namespace platform::es
