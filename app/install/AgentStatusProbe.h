// Asks the agent's service whether the agent is there, and sets ProgramStatus::shared() from the
// answer: a service that answers the handshake, or that turns this user away, is an installed
// agent; nobody serving the name is a removed one; anything else leaves the status unknown.
// Used when the application starts and whenever its window is shown again. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/ipc/AgentSession.h"
#include "app/state/ProgramStatus.h"

namespace app {

// The status an answer stands for; nullopt when it tells nothing.
std::optional<ProgramStatus::AgentInstalledStatus> statusFromProbe(
    const std::optional<AgentUnreachable>& failure);

class AgentStatusProbe {
 public:
  explicit AgentStatusProbe(std::string serviceName) : serviceName_(std::move(serviceName)) {}

  // Starts a check unless one is under way. A request to install or remove that is still
  // waiting for its own answer when this one comes has the last word, so this one is then
  // dropped; after a request failed or was cancelled the status follows the agent again.
  void check();
  bool checking() const { return session_ != nullptr; }

 private:
  void finish(const std::optional<AgentUnreachable>& failure);

  std::string serviceName_;
  std::unique_ptr<AgentSession> session_;
};

}  // namespace app
