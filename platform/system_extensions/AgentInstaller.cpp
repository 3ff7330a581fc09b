#include "platform/system_extensions/AgentInstaller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/system_extensions/AgentUnitTemplate.h"

namespace platform::system_extensions {
namespace {

using Code = OSSystemExtensionErrorCode;
using namespace std::chrono;

constexpr std::string_view kUnitMarker = "# Written by Corvane Endpoint";

std::string errorText(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

std::string trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::string lastLine(const std::string& text) {
  std::string trimmed = trim(text);
  const auto newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

std::optional<pid_t> parsePid(const std::string& text) {
  const std::string value = trim(text);
  if (value.empty() || value.size() > 10) return std::nullopt;
  char* end = nullptr;
  const long pid = std::strtol(value.c_str(), &end, 10);
  if (*end != '\0' || pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Quoted for a unit file: systemd reads C escapes inside double quotes and expands specifiers.
std::string unitQuoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + '"';
}

bool hasControlCharacters(const std::string& value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// The program path of a unit's ExecStart as `systemctl show` prints it: "{ path=/x ; argv[]=...".
std::string execStartPath(const std::string& shown) {
  const auto start = shown.find("path=");
  if (start == std::string::npos) return {};
  const auto end = shown.find(" ;", start);
  return shown.substr(start + 5, end == std::string::npos ? std::string::npos : end - start - 5);
}

std::string canonical(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace

std::vector<std::string> passedEnvironment(
    const std::function<const char*(const char* name)>& lookup) {
  std::vector<std::string> entries;
  for (const char* name : kPassedVariables) {
    if (const char* value = lookup(name)) entries.push_back(std::string(name) + "=" + value);
  }
  return entries;
}

AgentInstaller::AgentInstaller(AgentServiceOptions options, CommandRunner systemctl)
    : options_(std::move(options)), systemctl_(std::move(systemctl)) {}

bool AgentInstaller::usesSystemd() const {
  switch (options_.mode) {
    case AgentServiceOptions::Mode::systemd:
      return true;
    case AgentServiceOptions::Mode::detached:
      return false;
    case AgentServiceOptions::Mode::automatic:
      break;
  }
  struct stat st {};
  return ::lstat(options_.systemdMarker.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

InstallOutcome AgentInstaller::activate(const ReplacementQuestion& ask) {
  if (!isExecutableFile(options_.agentPath))
    return InstallOutcome::failed(
        Code::extensionNotFound,
        "The agent program that ships with Corvane Endpoint was not found at \"" +
            options_.agentPath + "\".");
  if (hasControlCharacters(options_.agentPath) || hasControlCharacters(options_.servicesDirectory))
    return InstallOutcome::failed(Code::startFailed,
                                  "The agent's path holds characters it cannot be started with.");
  return usesSystemd() ? activateSystemd(ask) : activateDetached(ask);
}

InstallOutcome AgentInstaller::deactivate() {
  return usesSystemd() ? deactivateSystemd() : deactivateDetached();
}

OSSystemExtensionProperties AgentInstaller::shippedProperties() const {
  return {options_.agentPath, options_.bundleIdentifier, options_.version, options_.version};
}

OSSystemExtensionProperties AgentInstaller::propertiesOf(pid_t pid) const {
  // A running build tells nothing about its version; its executable is what identifies it.
  return {executableOf(pid).value_or(""), options_.bundleIdentifier, "", ""};
}

std::optional<InstallOutcome> AgentInstaller::settleRunning(const RunningAgent& running,
                                                            const ReplacementQuestion& ask) {
  const OSSystemExtensionProperties existing = propertiesOf(running.pid);
  if (ask(existing, shippedProperties()) != OSSystemExtensionReplacementActionReplace)
    return InstallOutcome::failed(
        Code::requestCanceled,
        "Another build of the agent is running (" +
            (existing.url.empty() ? "pid " + std::to_string(running.pid) : existing.url) +
            ") and was not replaced.");
  return std::nullopt;
}

std::vector<std::string> AgentInstaller::agentEnvironment() const {
  // A daemon's environment, not the user's: only what the agent and its diagnostics read.
  std::vector<std::string> environment{
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "XPC_SERVICES_DIR=" + options_.servicesDirectory};
  environment.insert(environment.end(), options_.passedEnvironment.begin(),
                     options_.passedEnvironment.end());
  return environment;
}

std::string AgentInstaller::logHint() const {
  const std::string last = lastLine(readFile(options_.logPath()).value_or(""));
  std::string hint = last.empty() ? "" : " Its last words: \"" + last + "\".";
  return hint + " Its output is in " + options_.logPath() + ".";
}

// ---- Detached mode -------------------------------------------------------------------------

std::optional<AgentInstaller::RunningAgent> AgentInstaller::runningDetached() const {
  if (auto content = readFile(options_.pidFilePath())) {
    if (auto pid = parsePid(*content); pid && processAlive(*pid)) {
      // A recycled pid runs something else: only an executable of the agent's name counts.
      const auto exe = executableOf(*pid);
      if (exe && baseName(*exe) == baseName(options_.agentPath)) return RunningAgent{*pid, false};
    }
  }
  // Started some other way (by hand, by a script): whoever serves the agent's socket.
  if (auto pid = servingPid(options_.socketPath()); pid && processAlive(*pid))
    return RunningAgent{*pid, false};
  return std::nullopt;
}

InstallOutcome AgentInstaller::activateDetached(const ReplacementQuestion& ask) {
  if (int err = makeDirectories(options_.stateDirectory, 0755); err < 0)
    return InstallOutcome::failed(Code::startFailed, "Cannot create " + options_.stateDirectory +
                                                         ": " + errorText(err) + ".");
  if (auto running = runningDetached()) {
    if (runsFile(running->pid, options_.agentPath)) {
      // Already running this build: keep it, and track it from now on.
      writeFileAtomically(options_.pidFilePath(), std::to_string(running->pid) + "\n", 0644);
      return InstallOutcome::completed();
    }
    if (auto refused = settleRunning(*running, ask)) return *refused;
    if (!stopProcess(running->pid, options_.stopTimeout))
      return InstallOutcome::failed(
          Code::stopFailed,
          "The running agent (pid " + std::to_string(running->pid) + ") could not be stopped.");
    ::unlink(options_.pidFilePath().c_str());
  }
  removeStaleSocket(options_.socketPath());

  const pid_t pid = startDetached(options_.agentPath, agentEnvironment(), options_.logPath());
  if (pid < 0)
    return InstallOutcome::failed(Code::startFailed,
                                  "The agent could not be started: " + errorText(pid) + ".");
  if (int err = writeFileAtomically(options_.pidFilePath(), std::to_string(pid) + "\n", 0644);
      err < 0) {
    stopProcess(pid, options_.stopTimeout);
    return InstallOutcome::failed(
        Code::startFailed, "Cannot write " + options_.pidFilePath() + ": " + errorText(err) + ".");
  }

  const auto deadline = steady_clock::now() + options_.startTimeout;
  for (;;) {
    if (servingPid(options_.socketPath()) == pid) return InstallOutcome::completed();
    if (!processAlive(pid)) {
      ::unlink(options_.pidFilePath().c_str());
      return InstallOutcome::failed(Code::startFailed,
                                    "The agent stopped while starting." + logHint());
    }
    if (steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  stopProcess(pid, options_.stopTimeout);
  ::unlink(options_.pidFilePath().c_str());
  removeStaleSocket(options_.socketPath());
  return InstallOutcome::failed(
      Code::startFailed, "The agent did not open its service within " +
                             std::to_string(duration_cast<seconds>(options_.startTimeout).count()) +
                             " s." + logHint());
}

InstallOutcome AgentInstaller::deactivateDetached() {
  const bool tracked = ::access(options_.pidFilePath().c_str(), F_OK) == 0;
  const auto running = runningDetached();
  if (!running && !tracked)
    return InstallOutcome::failed(Code::extensionNotFound,
                                  "The agent is not installed: no running agent was found.");
  if (running && !stopProcess(running->pid, options_.stopTimeout))
    return InstallOutcome::failed(
        Code::stopFailed,
        "The agent (pid " + std::to_string(running->pid) + ") could not be stopped.");
  ::unlink(options_.pidFilePath().c_str());
  removeStaleSocket(options_.socketPath());
  return InstallOutcome::completed();
}

// ---- systemd mode --------------------------------------------------------------------------

CommandResult AgentInstaller::systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "systemctl");
  return systemctl_(arguments);
}

std::string AgentInstaller::unitProperty(const std::string& property) {
  return trim(systemctl({"show", "-P", property, options_.unitName}).output);
}

bool AgentInstaller::unitRunsOurAgent() {
  if (unitProperty("LoadState") != "loaded") return false;
  const std::string path = execStartPath(unitProperty("ExecStart"));
  return !path.empty() && canonical(path) == canonical(options_.agentPath);
}

bool AgentInstaller::ownUnitFilePresent() const {
  const auto content = readFile(options_.unitPath());
  return content && content->starts_with(kUnitMarker);
}

std::string AgentInstaller::generatedUnit() const {
  // The packaged unit with our program, and the services directory it is to serve in.
  std::string unit(kAgentUnitTemplate);
  const std::string program = unitQuoted(options_.agentPath);
  for (auto at = unit.find(kAgentUnitProgramPlaceholder); at != std::string::npos;
       at = unit.find(kAgentUnitProgramPlaceholder, at + program.size()))
    unit.replace(at, kAgentUnitProgramPlaceholder.size(), program);
  std::string environment =
      "Environment=" + unitQuoted("XPC_SERVICES_DIR=" + options_.servicesDirectory) + "\n";
  // Elsewhere than the runtime directory the unit makes, the agent needs leave to write.
  if (options_.servicesDirectory != "/run/xpc")
    environment += "ReadWritePaths=" + unitQuoted(options_.servicesDirectory) + "\n";
  const auto execStart = unit.find("\nExecStart=");
  if (execStart != std::string::npos) {
    const auto lineEnd = unit.find('\n', execStart + 1);
    unit.insert(lineEnd == std::string::npos ? unit.size() : lineEnd + 1, environment);
  }
  return std::string(kUnitMarker) +
         " for the agent it ships; removed again when the agent is removed.\n" + unit;
}

std::optional<AgentInstaller::RunningAgent> AgentInstaller::runningSystemd() {
  if (systemctl({"is-active", "--quiet", options_.unitName}).exitStatus == 0) {
    if (auto pid = parsePid(unitProperty("MainPID")); pid && processAlive(*pid))
      return RunningAgent{*pid, true};
  }
  if (auto pid = servingPid(options_.socketPath()); pid && processAlive(*pid))
    return RunningAgent{*pid, false};
  return std::nullopt;
}

InstallOutcome AgentInstaller::activateSystemd(const ReplacementQuestion& ask) {
  if (auto running = runningSystemd()) {
    if (runsFile(running->pid, options_.agentPath) && running->underUnit) {
      systemctl({"enable", "--quiet", options_.unitName});
      return InstallOutcome::completed();
    }
    if (!runsFile(running->pid, options_.agentPath)) {
      if (auto refused = settleRunning(*running, ask)) return *refused;
    }
    // One started outside the unit would keep the socket from the unit's agent.
    if (!running->underUnit && !stopProcess(running->pid, options_.stopTimeout))
      return InstallOutcome::failed(
          Code::stopFailed,
          "The running agent (pid " + std::to_string(running->pid) + ") could not be stopped.");
  }
  if (!unitRunsOurAgent()) {
    if (int err = makeDirectories(options_.unitDirectory, 0755); err < 0)
      return InstallOutcome::failed(Code::startFailed, "Cannot create " + options_.unitDirectory +
                                                           ": " + errorText(err) + ".");
    if (int err = writeFileAtomically(options_.unitPath(), generatedUnit(), 0644); err < 0)
      return InstallOutcome::failed(
          Code::startFailed, "Cannot write " + options_.unitPath() + ": " + errorText(err) + ".");
    systemctl({"daemon-reload"});
  }
  const std::string journalHint =
      " See \"journalctl -u " + options_.unitName + "\" for the agent's own account.";
  if (systemctl({"enable", "--quiet", options_.unitName}).exitStatus != 0)
    return InstallOutcome::failed(Code::startFailed,
                                  "systemd refused to enable " + options_.unitName + ".");
  if (systemctl({"restart", options_.unitName}).exitStatus != 0)
    return InstallOutcome::failed(
        Code::startFailed, "systemd could not start " + options_.unitName + "." + journalHint);

  const auto deadline = steady_clock::now() + options_.startTimeout;
  for (;;) {
    if (auto peer = servingPid(options_.socketPath()); peer && runsFile(*peer, options_.agentPath))
      return InstallOutcome::completed();
    if (systemctl({"is-failed", "--quiet", options_.unitName}).exitStatus == 0)
      return InstallOutcome::failed(Code::startFailed,
                                    "The agent stopped while starting." + journalHint);
    if (steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return InstallOutcome::failed(
      Code::startFailed, "The agent did not open its service within " +
                             std::to_string(duration_cast<seconds>(options_.startTimeout).count()) +
                             " s." + journalHint);
}

InstallOutcome AgentInstaller::deactivateSystemd() {
  const bool loaded = unitProperty("LoadState") == "loaded";
  const bool ownUnit = ownUnitFilePresent();
  if (loaded) {
    const CommandResult stopped = systemctl({"disable", "--now", "--quiet", options_.unitName});
    if (stopped.exitStatus != 0)
      return InstallOutcome::failed(Code::stopFailed,
                                    "systemd could not stop " + options_.unitName + ".");
  }
  // Whoever still serves the socket once the unit is stopped was started by other means.
  std::optional<pid_t> byHand = servingPid(options_.socketPath());
  if (byHand && !processAlive(*byHand)) byHand.reset();
  if (!loaded && !ownUnit && !byHand)
    return InstallOutcome::failed(Code::extensionNotFound,
                                  "The agent is not installed: systemd knows no " +
                                      options_.unitName + " and no agent is running.");
  if (byHand && !stopProcess(*byHand, options_.stopTimeout))
    return InstallOutcome::failed(
        Code::stopFailed, "The agent (pid " + std::to_string(*byHand) + ") could not be stopped.");
  if (ownUnit) {
    ::unlink(options_.unitPath().c_str());
    systemctl({"daemon-reload"});
  }
  removeStaleSocket(options_.socketPath());
  return InstallOutcome::completed();
}

}  // namespace platform::system_extensions
