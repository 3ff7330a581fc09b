// Reads the fleet's stream back in stream order through an ordered JetStream consumer (ephemeral,
// no acknowledgements; the client library recreates it from the last sequence it saw when it
// falls behind or loses a server), filtered by subject.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/fleet/Nats.h"

namespace fleet {

// One stored message as the exporter wrote it. A machine's messages are in the order of
// (epoch, sequence).
struct FleetMessage {
  std::string subject;
  std::string host;
  std::uint64_t epoch = 0;     // the exporter epoch; 0 when the header is missing
  std::uint64_t sequence = 0;  // the machine's sequence number; 0 when the header is missing
  std::string document;
};

class Reader {
 public:
  // Everything stored under `filter` (from the start, or only what arrives from now on), or
  // nullptr with `error` set.
  static std::unique_ptr<Reader> open(Link& link, const std::string& stream,
                                      const std::string& filter, bool onlyNew, std::string& error);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The next message, or nothing when none arrives within `timeout`; `error` is set when the
  // subscription failed for good.
  std::optional<FleetMessage> next(std::chrono::milliseconds timeout, std::string& error);

 private:
  Reader() = default;
  natsSubscription* subscription_ = nullptr;
};

}  // namespace fleet
