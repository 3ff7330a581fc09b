// What the sources built on eBPF programs share: the rights they need, the ring buffer's owner,
// libbpf's diagnostics kept out of the log (a source reports its own failure once), and the per-CPU
// loss counters their programs keep.
#pragma once

#include <bpf/libbpf.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/client/Capabilities.h"

namespace platform::es {

// Owns a libbpf ring buffer (its mapping and epoll set).
struct RingBufferDeleter {
  void operator()(ring_buffer* ring) const { ring_buffer__free(ring); }
};
using UniqueRingBuffer = std::unique_ptr<ring_buffer, RingBufferDeleter>;

// Whether this process may load programs: root with CAP_BPF and CAP_PERFMON (or CAP_SYS_ADMIN).
// Otherwise fills `why` and returns the client-creation result that says so.
es_new_client_result_t mayLoadBpf(std::string& why);

// Silences libbpf's own printing for the whole process.
void quietLibbpf();

// The sum over CPUs of a per-CPU array's first counter; nullopt when it cannot be read.
std::optional<std::uint64_t> sumPerCpu(const bpf_map* counters);

}  // namespace platform::es
