// What the sources built on eBPF programs share: the rights they need, libbpf's diagnostics kept
// out of the log (a source reports its own failure once), and the per-CPU loss counters their
// programs keep.
#pragma once

#include <bpf/libbpf.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es {

bool hasEffectiveCapability(int capability);

// Whether this process may load programs: root with CAP_BPF and CAP_PERFMON (or CAP_SYS_ADMIN).
// Otherwise fills `why` and returns the client-creation result that says so.
es_new_client_result_t mayLoadBpf(std::string& why);

// Silences libbpf's own printing for the whole process.
void quietLibbpf();

// The sum over CPUs of a per-CPU array's first counter; nullopt when it cannot be read.
std::optional<std::uint64_t> sumPerCpu(const bpf_map* counters);

}  // namespace platform::es
