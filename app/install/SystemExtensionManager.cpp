#include "app/install/SystemExtensionManager.h"

#include "app/install/AgentInstallManager.h"
#include "app/state/ProgramStatus.h"
#include "ipc/Identifiers.h"
#include "platform/log/Log.h"

namespace app {

AgentInstallManager& AgentInstallManager::shared() {
  static AgentInstallManager instance;
  return instance;
}

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
}

void SystemExtensionManager::didFinishWithResult(OSSystemExtensionRequest&,
                                                 OSSystemExtensionRequestResult result) {
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager didFinishWithResult: %ld for %ld",
         static_cast<long>(result), operation.rawValue());
  if (result != OSSystemExtensionRequestResultCompleted) return;
  // The answer is credited to the request submitted last, whichever request it names.
  if (operation == Operation::installing) {
    dispatch_async(dispatch_get_main_queue(), [] {
      AgentInstallManager::shared().setAgentInstalled(true);
      ProgramStatus::shared().setAgentStatus(ProgramStatus::AgentInstalledStatus::WatchagentActive);
    });
  } else if (operation == Operation::uninstalling) {
    dispatch_async(dispatch_get_main_queue(), [] {
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
}

namespace {

void submit(std::shared_ptr<OSSystemExtensionRequest> request,
            SystemExtensionManager::Operation operation) {
  request->setDelegate(&SystemExtensionManager::shared());
  SystemExtensionManager::shared().operation = operation;
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
