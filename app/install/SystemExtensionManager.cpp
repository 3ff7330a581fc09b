#include "app/install/SystemExtensionManager.h"

#include "app/install/AgentInstallManager.h"
#include "app/install/RequestActivity.h"
#include "app/state/ProgramStatus.h"
#include "ipc/Identifiers.h"
#include "platform/log/Log.h"

namespace app {

AgentInstallManager& AgentInstallManager::shared() {
  static AgentInstallManager instance;
  return instance;
}

RequestActivity& RequestActivity::shared() {
  static RequestActivity instance;
  return instance;
}

namespace {

using Activity = RequestActivity;

Activity::Operation activityOperation(SystemExtensionManager::Operation operation) {
  if (operation == SystemExtensionManager::Operation::installing)
    return Activity::Operation::installing;
  if (operation == SystemExtensionManager::Operation::uninstalling)
    return Activity::Operation::uninstalling;
  return Activity::Operation::none;
}

std::string approvalText(SystemExtensionManager::Operation operation) {
  const bool installing = operation == SystemExtensionManager::Operation::installing;
  return std::string(
             "Administrator rights are needed. A PolicyKit window asks for an "
             "administrator's password; once it is given, the agent is ") +
         (installing ? "installed and started as the system service watchagent."
                     : "stopped and removed.");
}

}  // namespace

SystemExtensionManager& SystemExtensionManager::shared() {
  static SystemExtensionManager instance;
  return instance;
}

OSSystemExtensionReplacementAction SystemExtensionManager::actionForReplacingExtension(
    OSSystemExtensionRequest&, const OSSystemExtensionProperties&,
    const OSSystemExtensionProperties&) {
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager request actionForReplacingExtension");
  return OSSystemExtensionReplacementActionReplace;
}

void SystemExtensionManager::requestNeedsUserApproval(OSSystemExtensionRequest&) {
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager requestNeedsUserApproval");
  RequestActivity::shared().set(activityOperation(operation), RequestActivity::Phase::needsApproval,
                                approvalText(operation));
}

void SystemExtensionManager::didFinishWithResult(OSSystemExtensionRequest&,
                                                 OSSystemExtensionRequestResult result) {
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager didFinishWithResult: %ld for %ld",
         static_cast<long>(result), operation.rawValue());
  if (result != OSSystemExtensionRequestResultCompleted) {
    RequestActivity::shared().set(activityOperation(operation), RequestActivity::Phase::completed,
                                  "The change takes effect after the computer restarts.");
    return;
  }
  // The answer is credited to the request submitted last, whichever request it names.
  if (operation == Operation::installing) {
    dispatch_async(dispatch_get_main_queue(), [] {
      RequestActivity::shared().set(Activity::Operation::installing, Activity::Phase::completed,
                                    "The agent is installed and running.");
      AgentInstallManager::shared().setAgentInstalled(true);
      ProgramStatus::shared().setAgentStatus(ProgramStatus::AgentInstalledStatus::WatchagentActive);
    });
  } else if (operation == Operation::uninstalling) {
    dispatch_async(dispatch_get_main_queue(), [] {
      RequestActivity::shared().set(Activity::Operation::uninstalling, Activity::Phase::completed,
                                    "The agent is stopped and removed.");
      AgentInstallManager::shared().setAgentInstalled(false);
      ProgramStatus::shared().setAgentStatus(
          ProgramStatus::AgentInstalledStatus::WatchagentRemoved);
    });
  } else {
    return;
  }
  operation = Operation::unknown;
}

void SystemExtensionManager::didFailWithError(OSSystemExtensionRequest&,
                                              const OSSystemExtensionError& error) {
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager request didFailWithError: %{public}s",
         error.localizedDescription.c_str());
  RequestActivity::shared().set(activityOperation(operation), RequestActivity::Phase::failed,
                                error.localizedDescription);
}

namespace {

void submit(std::shared_ptr<OSSystemExtensionRequest> request,
            SystemExtensionManager::Operation operation) {
  request->setDelegate(&SystemExtensionManager::shared());
  SystemExtensionManager::shared().operation = operation;
  RequestActivity::shared().set(activityOperation(operation), RequestActivity::Phase::working,
                                operation == SystemExtensionManager::Operation::installing
                                    ? "Installing the agent\u2026"
                                    : "Removing the agent\u2026");
  OSSystemExtensionManager::sharedManager().submitRequest(std::move(request));
}

}  // namespace

void installExtension() {
  os_log(OS_LOG_DEFAULT, "Installing endpoint extension!");
  submit(OSSystemExtensionRequest::activationRequestForExtension(
             std::string(ipc::kAgentBundleIdentifier), dispatch_get_main_queue()),
         SystemExtensionManager::Operation::installing);
}

void removeExtension() {
  os_log(OS_LOG_DEFAULT, "removeExtension");
  submit(OSSystemExtensionRequest::deactivationRequestForExtension(
             std::string(ipc::kAgentBundleIdentifier), dispatch_get_main_queue()),
         SystemExtensionManager::Operation::uninstalling);
}

}  // namespace app
