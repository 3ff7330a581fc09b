#include "app/state/ProgramStatus.h"

namespace app {

ProgramStatus& ProgramStatus::shared() {
  static ProgramStatus instance;
  return instance;
}

ProgramStatus::ProgramStatus()
    : activeNavigationItems_{{std::string(kInstallAgentId), "Install agent"},
                             {std::string(kUninstallAgentId), "Uninstall agent"},
                             {std::string(kEventsId), "Events"},
                             {std::string(kProcessesId), "Processes"}} {}

void ProgramStatus::setAgentStatus(AgentInstalledStatus status) {
  objectWillChange_.send();
  agentStatus_ = status;
}

std::string_view displayText(ProgramStatus::AgentInstalledStatus status) {
  switch (status) {
    case ProgramStatus::AgentInstalledStatus::WatchagentActive:
      return "Agent Status: Installed";
    case ProgramStatus::AgentInstalledStatus::WatchagentRemoved:
      return "Agent Status: Removed";
    case ProgramStatus::AgentInstalledStatus::Initial:
      break;
  }
  return "Agent Status: Unkown";
}

}  // namespace app
