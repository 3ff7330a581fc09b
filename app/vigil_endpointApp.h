// The application: one window, the Help command, and the service that installs the agent.
#pragma once

#include <memory>

#include "platform/system_extensions/SystemExtensions.h"

namespace app {

class vigil_endpointApp {
 public:
  // The backend that installs the agent shipped with this build, found in the bundle.
  static std::shared_ptr<SystemExtensionBackend> makeBackend();

  // Runs the application until its last window closes; returns the exit status.
  static int main(int argc, char** argv);
};

}  // namespace app
