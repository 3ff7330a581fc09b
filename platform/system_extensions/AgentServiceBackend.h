// The real backend: carries out activation and deactivation of the bundled agent on a worker
// thread, one request after another, and answers on each request's queue. Without root it
// reports that approval is needed and runs the installer helper through pkexec.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialQueue.h"
#include "platform/system_extensions/AgentInstaller.h"
#include "platform/system_extensions/SystemExtensions.h"

namespace platform::system_extensions {

struct ElevationOptions {
  std::function<bool()> privileged;  // default: effective uid 0
  std::vector<std::string> pkexecCandidates{"/usr/bin/pkexec", "/bin/pkexec"};
  std::string helperPath;  // the installer helper, run as root through pkexec
};

class AgentServiceBackend final : public SystemExtensionBackend {
 public:
  AgentServiceBackend(AgentServiceOptions options, ElevationOptions elevation,
                      CommandRunner systemctl = runCommand);
  // Lets the request in progress finish; requests not yet started fail.
  ~AgentServiceBackend() override;

  void submit(std::shared_ptr<OSSystemExtensionRequestSession> session) override;

 private:
  void carryOutNext();
  void carryOut(OSSystemExtensionRequestSession& session);
  void carryOutElevated(OSSystemExtensionRequestSession& session);

  AgentServiceOptions options_;
  ElevationOptions elevation_;
  CommandRunner systemctl_;

  std::mutex mutex_;
  std::deque<std::shared_ptr<OSSystemExtensionRequestSession>> pending_;  // guarded by mutex_
  bool stopping_ = false;                                                 // guarded by mutex_
  platform::SerialQueue worker_{"agent-installer"};  // one carryOutNext() per submitted request
};

// The line protocol between the backend and the installer helper (helper output first):
//   "replace\t<url>\t<version>"  question; answered with a line "replace" or "cancel"
//   "completed <result>"         final answer
//   "failed <code>\t<text>"      final answer
namespace helper_protocol {
std::string replaceQuestion(const OSSystemExtensionProperties& existing);
std::string completed(OSSystemExtensionRequestResult result);
std::string failed(const OSSystemExtensionError& error);
}  // namespace helper_protocol

}  // namespace platform::system_extensions
