// Whether the application last saw the agent installed: set when an activation or deactivation
// completes. Main thread only; every launch starts with false.
#pragma once

#include "app/state/Observable.h"

namespace app {

class AgentInstallManager {
 public:
  static AgentInstallManager& shared();

  AgentInstallManager() = default;
  AgentInstallManager(const AgentInstallManager&) = delete;
  AgentInstallManager& operator=(const AgentInstallManager&) = delete;

  bool agentInstalled() const { return agentInstalled_; }
  // Observers hear of every write before it happens, also of one that keeps the value.
  void setAgentInstalled(bool installed) {
    objectWillChange_.send();
    agentInstalled_ = installed;
  }

  ObjectWillChangePublisher& objectWillChange() { return objectWillChange_; }

 private:
  ObjectWillChangePublisher objectWillChange_;
  bool agentInstalled_ = false;
};

}  // namespace app
