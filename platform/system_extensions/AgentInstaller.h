// The privileged half of activation and deactivation: installs and starts, or stops and removes,
// the agent that ships with the application. Through systemd when it is the init system,
// otherwise as a detached process tracked by a pid file. Runs as root: inside the application
// when it has the rights, else in the installer helper started through pkexec.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_extensions/Process.h"
#include "platform/system_extensions/SystemExtensions.h"

namespace platform::system_extensions {

// The variables of the installing program's environment a detached agent is given too: the
// sanitizers' settings and the locale, for its diagnostics.
inline constexpr const char* kPassedVariables[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                                   "TZ", "LANG"};

// The entries of kPassedVariables that `lookup` (a variable's value, or null) has.
std::vector<std::string> passedEnvironment(
    const std::function<const char*(const char* name)>& lookup);

struct AgentServiceOptions {
  enum class Mode { automatic, systemd, detached };

  std::string agentPath;  // the agent program that ships with the application
  std::string bundleIdentifier;
  std::string version;      // of the shipped agent, for the replacement question
  std::string serviceName;  // the agent's service: its socket's file name
  std::string servicesDirectory = "/run/xpc";
  std::string stateDirectory = "/run/corvane-endpoint";  // pid file and the agent's output
  Mode mode = Mode::automatic;
  std::string systemdMarker = "/run/systemd/system";  // present when systemd is PID 1
  std::string unitName = "watchagent.service";
  std::string unitDirectory = "/etc/systemd/system";  // where a unit of our own is written
  std::chrono::milliseconds startTimeout{10000};
  std::chrono::milliseconds stopTimeout{5000};
  // "NAME=value" entries a detached agent gets besides its own settings: what the installing
  // program's environment has of kPassedVariables (its main reads them).
  std::vector<std::string> passedEnvironment;

  std::string socketPath() const { return servicesDirectory + "/" + serviceName; }
  std::string pidFilePath() const { return stateDirectory + "/watchagent.pid"; }
  std::string logPath() const { return stateDirectory + "/watchagent.log"; }
  std::string unitPath() const { return unitDirectory + "/" + unitName; }
};

struct InstallOutcome {
  std::optional<OSSystemExtensionRequestResult> result;  // set on success
  OSSystemExtensionError error;                          // meaningful when result is not

  static InstallOutcome completed() { return {OSSystemExtensionRequestResultCompleted, {}}; }
  static InstallOutcome failed(OSSystemExtensionErrorCode code, std::string description) {
    return {std::nullopt, {code, std::move(description)}};
  }
};

// Asked when an agent from another build is running; Replace lets activation stop it.
using ReplacementQuestion = std::function<OSSystemExtensionReplacementAction(
    const OSSystemExtensionProperties& existing, const OSSystemExtensionProperties& ext)>;

using CommandRunner = std::function<CommandResult(const std::vector<std::string>& argv)>;

class AgentInstaller {
 public:
  explicit AgentInstaller(AgentServiceOptions options, CommandRunner systemctl = runCommand);

  InstallOutcome activate(const ReplacementQuestion& ask);
  InstallOutcome deactivate();

  bool usesSystemd() const;

  // The unit written when systemd knows no unit that runs our agent.
  std::string generatedUnit() const;

 private:
  struct RunningAgent {
    pid_t pid;
    bool underUnit;  // started by systemd for our unit
  };

  InstallOutcome activateDetached(const ReplacementQuestion& ask);
  InstallOutcome deactivateDetached();
  InstallOutcome activateSystemd(const ReplacementQuestion& ask);
  InstallOutcome deactivateSystemd();

  std::optional<RunningAgent> runningDetached() const;
  std::optional<RunningAgent> runningSystemd();
  // Asks whether a running agent of another build may go; nullopt means go on.
  std::optional<InstallOutcome> settleRunning(const RunningAgent& running,
                                              const ReplacementQuestion& ask);
  OSSystemExtensionProperties propertiesOf(pid_t pid) const;
  OSSystemExtensionProperties shippedProperties() const;

  CommandResult systemctl(std::vector<std::string> arguments);
  std::string unitProperty(const std::string& property);
  bool unitRunsOurAgent();
  bool ownUnitFilePresent() const;
  std::vector<std::string> agentEnvironment() const;
  std::string logHint() const;

  AgentServiceOptions options_;
  CommandRunner systemctl_;
};

}  // namespace platform::system_extensions
