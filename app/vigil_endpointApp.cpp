#include "app/vigil_endpointApp.h"

#include <QApplication>
#include <QIcon>
#include <cstdlib>

#include "app/BuildConfig.h"
#include "app/install/AgentStatusProbe.h"
#include "app/support/MainBundle.h"
#include "app/views/MainWindow.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/system_extensions/AgentServiceBackend.h"
#include "platform/xpc/Transport.h"

namespace app {

std::shared_ptr<SystemExtensionBackend> vigil_endpointApp::makeBackend() {
  namespace se = platform::system_extensions;
  const MainBundle& bundle = MainBundle::mainBundle();
  se::AgentServiceOptions options;
  // A missing agent is reported when a request is made, naming where it was expected.
  options.agentPath = bundle.pathForAuxiliaryExecutable("watchagent")
                          .value_or(std::filesystem::path(build_config::kInstalledAgentPath))
                          .string();
  options.bundleIdentifier = std::string(ipc::kAgentBundleIdentifier);
  options.version = build_config::kVersion;
  options.serviceName = std::string(ipc::kMachServiceName);
  options.passedEnvironment =
      se::passedEnvironment([](const char* name) { return std::getenv(name); });
  se::ElevationOptions elevation;
  elevation.helperPath = bundle.pathForAuxiliaryExecutable("corvane-endpoint-installer")
                             .value_or(std::filesystem::path())
                             .string();
  return std::make_shared<se::AgentServiceBackend>(std::move(options), std::move(elevation));
}

int vigil_endpointApp::main(int argc, char** argv) {
  // Where the agent's service socket is looked for.
  auto services = xpc::ServicesDirectory::fromSetting(std::getenv("XPC_SERVICES_DIR"));
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
  QApplication::setApplicationDisplayName(QString::fromUtf8(kApplicationName));
  QApplication::setApplicationVersion(QString::fromUtf8(build_config::kVersion));
  QApplication::setDesktopFileName(QStringLiteral("corvane-endpoint"));
  QApplication::setWindowIcon(QIcon(QString::fromUtf8(kApplicationIcon)));

  // Destroyed before the application: the request in progress finishes while the main queue
  // still exists to hear of it.
  const std::shared_ptr<SystemExtensionBackend> backend = makeBackend();
  const platform::ScopedOverride<SystemExtensionBackend> backendInstalled(*backend);
  AgentStatusProbe probe{std::string(ipc::kMachServiceName)};
  MainWindow window;
  window.setAgentStatusCheck([&probe] { probe.check(); });
  window.show();
  return QApplication::exec();
}

}  // namespace app
