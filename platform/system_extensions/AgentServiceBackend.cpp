#include "platform/system_extensions/AgentServiceBackend.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace platform::system_extensions {
namespace {

using Code = OSSystemExtensionErrorCode;

std::string singleLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return text;
}

std::vector<std::string> splitTabs(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto tab = text.find('\t', start);
    parts.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

const char* modeName(AgentServiceOptions::Mode mode) {
  switch (mode) {
    case AgentServiceOptions::Mode::systemd:
      return "systemd";
    case AgentServiceOptions::Mode::detached:
      return "detached";
    case AgentServiceOptions::Mode::automatic:
      break;
  }
  return "automatic";
}

void deliver(OSSystemExtensionRequestSession& session, const InstallOutcome& outcome) {
  if (outcome.result)
    session.finish(*outcome.result);
  else
    session.fail(outcome.error);
}

}  // namespace

namespace helper_protocol {

std::string replaceQuestion(const OSSystemExtensionProperties& existing) {
  return "replace\t" + singleLine(existing.url) + "\t" + singleLine(existing.bundleVersion);
}

std::string completed(OSSystemExtensionRequestResult result) {
  return "completed " + std::to_string(static_cast<long>(result));
}

std::string failed(const OSSystemExtensionError& error) {
  return "failed " + std::to_string(static_cast<long>(error.code)) + "\t" +
         singleLine(error.localizedDescription);
}

}  // namespace helper_protocol

AgentServiceBackend::AgentServiceBackend(AgentServiceOptions options, ElevationOptions elevation,
                                         CommandRunner systemctl)
    : options_(std::move(options)),
      elevation_(std::move(elevation)),
      systemctl_(std::move(systemctl)) {}

AgentServiceBackend::~AgentServiceBackend() {
  std::deque<std::shared_ptr<OSSystemExtensionRequestSession>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(pending_);
  }
  for (auto& session : dropped)
    session->fail({Code::serviceUnavailable, "Corvane Endpoint is quitting; nothing was changed."});
  worker_.stop();
}

void AgentServiceBackend::submit(std::shared_ptr<OSSystemExtensionRequestSession> session) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(session));
  }
  worker_.async([this] { carryOutNext(); });
}

void AgentServiceBackend::carryOutNext() {
  std::shared_ptr<OSSystemExtensionRequestSession> session;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || pending_.empty()) return;
    session = std::move(pending_.front());
    pending_.pop_front();
  }
  carryOut(*session);
}

void AgentServiceBackend::carryOut(OSSystemExtensionRequestSession& session) {
  const bool privileged = elevation_.privileged ? elevation_.privileged() : ::geteuid() == 0;
  if (!privileged) {
    carryOutElevated(session);
    return;
  }
  // The question is answered on the request's queue; while waiting, keep an eye on shutdown so
  // that a main thread tearing the backend down is never waited for.
  const ReplacementQuestion ask = [&](const OSSystemExtensionProperties& existing,
                                      const OSSystemExtensionProperties& ext) {
    auto answer = session.actionForReplacingExtension(existing, ext);
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      std::lock_guard lock(mutex_);
      if (stopping_) return OSSystemExtensionReplacementActionCancel;
    }
    return answer.get();
  };
  AgentInstaller installer(options_, systemctl_);
  deliver(session, session.request().action() == OSSystemExtensionRequest::Action::activate
                       ? installer.activate(ask)
                       : installer.deactivate());
}

void AgentServiceBackend::carryOutElevated(OSSystemExtensionRequestSession& session) {
  const bool activating = session.request().action() == OSSystemExtensionRequest::Action::activate;
  session.requestNeedsUserApproval();

  std::string pkexec;
  for (const std::string& candidate : elevation_.pkexecCandidates) {
    if (isExecutableFile(candidate)) {
      pkexec = candidate;
      break;
    }
  }
  if (pkexec.empty()) {
    session.fail({Code::authorizationRequired,
                  std::string(activating ? "Installing" : "Removing") +
                      " the agent needs administrator rights. Run Corvane Endpoint as root, or "
                      "install PolicyKit (the \"pkexec\" program) so that it can ask for them."});
    return;
  }
  if (!isExecutableFile(elevation_.helperPath)) {
    session.fail({Code::extensionNotFound,
                  "The installer helper was not found at \"" + elevation_.helperPath + "\"."});
    return;
  }

  auto [helper, err] = Subprocess::start(
      {pkexec, elevation_.helperPath, activating ? "activate" : "deactivate", "--agent",
       options_.agentPath, "--identifier", options_.bundleIdentifier, "--version", options_.version,
       "--service-name", options_.serviceName, "--services-dir", options_.servicesDirectory,
       "--state-dir", options_.stateDirectory, "--mode", modeName(options_.mode)});
  if (!helper) {
    session.fail({Code::authorizationRequired,
                  "pkexec could not be started: " + std::string(std::strerror(-err)) + "."});
    return;
  }
  bool answered = false;
  while (auto line = helper->readLine()) {
    if (line->starts_with("replace\t")) {
      const auto parts = splitTabs(*line);
      OSSystemExtensionProperties existing{
          parts.size() > 1 ? parts[1] : "", options_.bundleIdentifier,
          parts.size() > 2 ? parts[2] : "", parts.size() > 2 ? parts[2] : ""};
      OSSystemExtensionProperties ours{options_.agentPath, options_.bundleIdentifier,
                                       options_.version, options_.version};
      auto answer = session.actionForReplacingExtension(std::move(existing), std::move(ours));
      OSSystemExtensionReplacementAction action = OSSystemExtensionReplacementActionCancel;
      for (;;) {
        if (answer.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready) {
          action = answer.get();
          break;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      helper->writeLine(action == OSSystemExtensionReplacementActionReplace ? "replace" : "cancel");
    } else if (line->starts_with("completed ")) {
      const long result = std::strtol(line->c_str() + 10, nullptr, 10);
      session.finish(result == OSSystemExtensionRequestResultWillCompleteAfterReboot
                         ? OSSystemExtensionRequestResultWillCompleteAfterReboot
                         : OSSystemExtensionRequestResultCompleted);
      answered = true;
    } else if (line->starts_with("failed ")) {
      const auto parts = splitTabs(line->substr(7));
      const long code = std::strtol(parts[0].c_str(), nullptr, 10);
      session.fail({code >= 1 && code <= 8 ? static_cast<Code>(code) : Code::unknown,
                    parts.size() > 1 ? parts[1] : "The installer helper failed."});
      answered = true;
    }
  }
  helper->closeInput();
  const int status = helper->wait();
  if (answered) return;
  // pkexec's own statuses: 126 when the user dismissed or was refused, 127 when not authorised.
  if (status == 126 || status == 127)
    session.fail({Code::authorizationDenied,
                  "Administrator authentication was dismissed or refused; nothing was changed."});
  else
    session.fail({Code::unknown, "The installer helper ended without an answer (status " +
                                     std::to_string(status) + ")."});
}

}  // namespace platform::system_extensions
