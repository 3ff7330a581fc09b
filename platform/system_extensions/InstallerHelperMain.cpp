// corvane-endpoint-installer: the privileged half of installing and removing the agent, run as
// root through pkexec when the application itself is not. It speaks the line protocol of
// helper_protocol on its standard input and output.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "platform/system_extensions/AgentInstaller.h"
#include "platform/system_extensions/AgentServiceBackend.h"

namespace {

using platform::system_extensions::AgentInstaller;
using platform::system_extensions::AgentServiceOptions;
using platform::system_extensions::InstallOutcome;
namespace protocol = platform::system_extensions::helper_protocol;

int usage() {
  std::cerr << "usage: corvane-endpoint-installer activate|deactivate --agent PATH "
               "[--identifier ID] [--version V] --service-name NAME [--services-dir DIR] "
               "[--state-dir DIR] [--mode automatic|systemd|detached]\n";
  return 2;
}

void answer(const InstallOutcome& outcome) {
  const std::string line =
      outcome.result ? protocol::completed(*outcome.result) : protocol::failed(outcome.error);
  std::cout << line << '\n' << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string action = argv[1];
  if (action != "activate" && action != "deactivate") return usage();
  std::map<std::string, std::string> values;
  for (int i = 2; i < argc; i += 2) {
    const std::string key = argv[i];
    if (!key.starts_with("--") || i + 1 >= argc) return usage();
    values[key.substr(2)] = argv[i + 1];
  }
  AgentServiceOptions options;
  for (const auto& [key, value] : values) {
    if (key == "agent")
      options.agentPath = value;
    else if (key == "identifier")
      options.bundleIdentifier = value;
    else if (key == "version")
      options.version = value;
    else if (key == "service-name")
      options.serviceName = value;
    else if (key == "services-dir")
      options.servicesDirectory = value;
    else if (key == "state-dir")
      options.stateDirectory = value;
    else if (key == "mode") {
      if (value == "systemd")
        options.mode = AgentServiceOptions::Mode::systemd;
      else if (value == "detached")
        options.mode = AgentServiceOptions::Mode::detached;
      else if (value != "automatic")
        return usage();
    } else {
      return usage();
    }
  }
  if (options.agentPath.empty() || options.serviceName.empty() ||
      options.serviceName.find('/') != std::string::npos)
    return usage();

  if (::geteuid() != 0) {
    answer(InstallOutcome::failed(OSSystemExtensionErrorCode::authorizationRequired,
                                  "The installer helper must run as root."));
    return 1;
  }

  options.passedEnvironment = platform::system_extensions::passedEnvironment(
      [](const char* name) { return std::getenv(name); });
  AgentInstaller installer(options);
  const auto ask = [](const OSSystemExtensionProperties& existing,
                      const OSSystemExtensionProperties&) {
    std::cout << protocol::replaceQuestion(existing) << '\n' << std::flush;
    std::string reply;
    if (!std::getline(std::cin, reply)) return OSSystemExtensionReplacementActionCancel;
    return reply == "replace" ? OSSystemExtensionReplacementActionReplace
                              : OSSystemExtensionReplacementActionCancel;
  };
  const InstallOutcome outcome =
      action == "activate" ? installer.activate(ask) : installer.deactivate();
  answer(outcome);
  return outcome.result ? 0 : 1;
}
