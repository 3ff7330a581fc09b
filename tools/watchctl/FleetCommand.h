// watchctl's fleet commands: `watchctl fleet tail` reads the documents every exporter stored in
// the fleet's JetStream stream, one JSON document per line, filtered by host and kind.
#pragma once

#include <optional>
#include <string>

#include "tools/fleet/Nats.h"

namespace CLI {
class App;
}

class FleetCommand {
 public:
  // Adds the "fleet" subcommand to `app`.
  explicit FleetCommand(CLI::App& app);

  bool parsed() const;
  // Runs the parsed fleet command; returns watchctl's exit status.
  int run();

 private:
  CLI::App* fleet_ = nullptr;
  CLI::App* tail_ = nullptr;
  fleet::NatsSettings nats_;
  std::string host_;
  std::string kind_;
  bool onlyNew_ = false;
  bool envelope_ = false;
  std::optional<double> idleSeconds_;
};
