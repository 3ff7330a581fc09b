#include "platform/endpoint_security/process/EventRing.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <string>

#include "platform/log/Log.h"

namespace platform::es {

std::size_t hostRingBytes(unsigned cpus, std::uint64_t memoryBytes) {
  const std::uint64_t byCpus = std::max<std::uint64_t>(cpus, 1) * kRingBytesPerCpu;
  std::uint64_t bytes = std::clamp<std::uint64_t>(byCpus, kMinHostRingBytes, kMaxHostRingBytes);
  if (memoryBytes > 0) bytes = std::min(bytes, memoryBytes / kRingMemoryShare);
  bytes = std::max<std::uint64_t>(bytes, kMinRingBytes);
  return static_cast<std::size_t>(std::bit_floor(bytes));
}

std::optional<std::size_t> ringBytesFromSetting(std::string_view mib) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(mib.data(), mib.data() + mib.size(), value);
  if (ec != std::errc() || end != mib.data() + mib.size() || mib.empty()) return std::nullopt;
  if (value > (kMaxRingBytes >> 20) || value < (kMinRingBytes >> 20)) return std::nullopt;
  return static_cast<std::size_t>(std::bit_floor(value << 20));
}

std::size_t eventRingBytes(const char* setting) {
  if (setting != nullptr && *setting != '\0') {
    if (const auto bytes = ringBytesFromSetting(setting)) return *bytes;
    NSLog("EndpointSecurity: WATCH_EVENT_RING_MB=%s is not a size from %zu to %zu MiB, ignoring",
          setting, kMinRingBytes >> 20, kMaxRingBytes >> 20);
  }
  const long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  const std::uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) *
                                                               static_cast<std::uint64_t>(pageSize)
                                                         : 0;
  return hostRingBytes(cpus > 0 ? static_cast<unsigned>(cpus) : 1, memory);
}

}  // namespace platform::es
