// How large the ring between the in-kernel process programs and their reader is. A burst of execs
// with large environments must fit while the reader catches up; the kernel pins the ring's memory,
// so it grows with the host (CPUs that can exec at once, memory that can spare it) within bounds.
// WATCH_EVENT_RING_MB, a setting of the agent's unit, overrides the choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::es {

inline constexpr std::size_t kRingBytesPerCpu = 2u << 20;
inline constexpr std::size_t kMinHostRingBytes = 4u << 20;
inline constexpr std::size_t kMinRingBytes = 1u << 20;
inline constexpr std::size_t kMaxHostRingBytes = 64u << 20;
inline constexpr std::size_t kMaxRingBytes = 1024u << 20;
// The default takes at most this share of the host's memory.
inline constexpr std::uint64_t kRingMemoryShare = 256;

// The ring for a host with `cpus` possible CPUs and `memoryBytes` of memory: kRingBytesPerCpu per
// CPU, from kMinHostRingBytes to kMaxHostRingBytes, and no more than 1/kRingMemoryShare of the
// memory when known (never under kMinRingBytes). Always a power of two, as the kernel requires.
// The agent maps the ring twice (a record may wrap around its end): its resident size grows by up
// to twice the ring once the ring has filled.
std::size_t hostRingBytes(unsigned cpus, std::uint64_t memoryBytes);

// The ring a setting asks for: whole MiB, rounded down to a power of two, within kMinRingBytes and
// kMaxRingBytes; nullopt for anything else (the caller logs it and sizes for the host).
std::optional<std::size_t> ringBytesFromSetting(std::string_view mib);

// The ring for this machine: the setting when it is valid, else hostRingBytes() of this host.
std::size_t eventRingBytes(const char* setting);

}  // namespace platform::es
