// What the window shows: the sidebar's entries, and what the application believes about the
// agent. ProgramStatus::shared() carries the agent status; each window makes its own instance
// for its sidebar. Main thread only; nothing is stored between launches.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/state/Observable.h"

namespace app {

class ProgramStatus {
 public:
  struct NavigationObjects {
    std::string id;
    std::string menuName;
    friend bool operator==(const NavigationObjects&, const NavigationObjects&) = default;
  };

  enum class AgentInstalledStatus { Initial, WatchagentActive, WatchagentRemoved };

  static ProgramStatus& shared();

  ProgramStatus();
  ProgramStatus(const ProgramStatus&) = delete;
  ProgramStatus& operator=(const ProgramStatus&) = delete;

  const std::vector<NavigationObjects>& activeNavigationItems() const {
    return activeNavigationItems_;
  }

  AgentInstalledStatus agentStatus() const { return agentStatus_; }
  // Observers hear of every write before it happens, also of one that keeps the value.
  void setAgentStatus(AgentInstalledStatus status);

  ObjectWillChangePublisher& objectWillChange() { return objectWillChange_; }

 private:
  ObjectWillChangePublisher objectWillChange_;
  std::vector<NavigationObjects> activeNavigationItems_;
  AgentInstalledStatus agentStatus_ = AgentInstalledStatus::Initial;
};

inline constexpr std::string_view kInstallAgentId = "InstallAgentId";
inline constexpr std::string_view kUninstallAgentId = "UninstallAgentId";
inline constexpr std::string_view kEventsId = "EventsId";
inline constexpr std::string_view kProcessesId = "ProcessesId";

// The uninstall screen's text for a status.
std::string_view displayText(ProgramStatus::AgentInstalledStatus status);

}  // namespace app
