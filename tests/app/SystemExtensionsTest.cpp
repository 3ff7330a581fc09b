// The request machinery and the real agent service: delegate calls reach the main thread in the
// allowed order; the detached mode really starts, replaces and stops an agent (a small stand-in
// that serves the service socket); the systemd mode issues the right systemctl calls; without
// privileges the backend asks for approval and goes through pkexec and the installer helper.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppTestSupport.h"
#include "platform/Override.h"
#include "platform/system_extensions/AgentInstaller.h"
#include "platform/system_extensions/AgentServiceBackend.h"
#include "platform/system_extensions/Process.h"

namespace {

namespace fs = std::filesystem;
namespace se = platform::system_extensions;
using testsupport::drainMainQueue;
using testsupport::RecordingDelegate;
using testsupport::runMainQueueUntil;
using testsupport::TemporaryDirectory;
using Code = OSSystemExtensionErrorCode;
using namespace std::chrono_literals;

constexpr const char* kServiceName = FAKE_AGENT_SERVICE_NAME;

std::shared_ptr<OSSystemExtensionRequest> request(OSSystemExtensionRequest::Action action,
                                                  RecordingDelegate& delegate) {
  auto r = std::make_shared<OSSystemExtensionRequest>(action, "com.example.agent",
                                                      dispatch_get_main_queue());
  r->setDelegate(&delegate);
  return r;
}

// ---- delivery rules -------------------------------------------------------------------------

TEST(RequestSession, DeliversOnTheMainThreadInOrderAndOnlyOneAnswer) {
  RecordingDelegate delegate;
  delegate.replacementAnswer = OSSystemExtensionReplacementActionReplace;
  auto session = std::make_shared<OSSystemExtensionRequestSession>(
      request(OSSystemExtensionRequest::Action::activate, delegate));
  OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementActionCancel;
  std::atomic<bool> done = false;
  std::thread worker([&] {
    session->requestNeedsUserApproval();
    answer = session->actionForReplacingExtension({"/old/watchagent", "", "", ""}, {}).get();
    session->finish(OSSystemExtensionRequestResultCompleted);
    session->fail({Code::unknown, "too late"});  // a second answer is dropped
    session->requestNeedsUserApproval();         // so is a question after the answer
    done = true;
  });
  ASSERT_TRUE(runMainQueueUntil([&] { return done.load(); }));
  worker.join();
  drainMainQueue();
  EXPECT_EQ(delegate.names(),
            (std::vector<std::string>{"approval", "replace /old/watchagent", "finish 0"}));
  for (const auto& call : delegate.calls) EXPECT_EQ(call.thread, std::this_thread::get_id());
  EXPECT_EQ(answer, OSSystemExtensionReplacementActionReplace);
}

TEST(RequestSession, DroppedWithoutAnswerFailsTheRequest) {
  RecordingDelegate delegate;
  {
    OSSystemExtensionRequestSession session(
        request(OSSystemExtensionRequest::Action::deactivate, delegate));
    session.requestNeedsUserApproval();
  }
  drainMainQueue();
  EXPECT_EQ(delegate.names(),
            (std::vector<std::string>{"approval", "fail The request ended without an answer."}));
}

TEST(RequestSession, ReplacementQuestionWithoutDelegateOrAfterAnswerIsCancel) {
  auto lonely = std::make_shared<OSSystemExtensionRequest>(
      OSSystemExtensionRequest::Action::activate, "x", dispatch_get_main_queue());
  OSSystemExtensionRequestSession noDelegate(lonely);
  auto first = noDelegate.actionForReplacingExtension({}, {});
  drainMainQueue();
  EXPECT_EQ(first.get(), OSSystemExtensionReplacementActionCancel);

  RecordingDelegate delegate;
  OSSystemExtensionRequestSession answered(
      request(OSSystemExtensionRequest::Action::activate, delegate));
  answered.finish(OSSystemExtensionRequestResultCompleted);
  auto late = answered.actionForReplacingExtension({}, {});
  EXPECT_EQ(late.get(), OSSystemExtensionReplacementActionCancel);
  drainMainQueue();
  EXPECT_EQ(delegate.names(), (std::vector<std::string>{"finish 0"}));
}

TEST(RequestSession, QuestionDroppedByTheQueueReleasesTheWaiter) {
  // A queue that throws blocks away, as the main queue does when the application is gone.
  struct DroppingQueue : platform::dispatch::Queue {
    void async(std::function<void()>) override {}
  };
  RecordingDelegate delegate;
  auto r = std::make_shared<OSSystemExtensionRequest>(OSSystemExtensionRequest::Action::activate,
                                                      "x", std::make_shared<DroppingQueue>());
  r->setDelegate(&delegate);
  OSSystemExtensionRequestSession session(r);
  auto answer = session.actionForReplacingExtension({}, {});
  ASSERT_EQ(answer.wait_for(1s), std::future_status::ready);
  EXPECT_EQ(answer.get(), OSSystemExtensionReplacementActionCancel);
  session.finish(OSSystemExtensionRequestResultCompleted);
}

TEST(SystemExtensionManagerPlatform, RequestWithoutBackendFails) {
  RecordingDelegate delegate;
  OSSystemExtensionManager::sharedManager().submitRequest(
      request(OSSystemExtensionRequest::Action::activate, delegate));
  drainMainQueue();
  ASSERT_EQ(delegate.calls.size(), 1u);
  EXPECT_EQ(delegate.lastError.code, Code::serviceUnavailable);
}

// ---- the agent service on a real system -----------------------------------------------------

// Kills whatever still runs from a test directory, so no test leaves a process behind.
void killProcessesUnder(const fs::path& directory) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    const auto exe = se::executableOf(pid);
    if (exe && exe->starts_with(directory.string())) ::kill(pid, SIGKILL);
  }
}

void writeScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
}

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    for (const char* build : {"buildA", "buildB", "broken"}) fs::create_directory(dir / build);
    fs::copy_file(FAKE_AGENT_PATH, dir / "buildA/watchagent");
    fs::copy_file(FAKE_AGENT_PATH, dir / "buildB/watchagent");
    options.agentPath = dir / "buildA/watchagent";
    options.bundleIdentifier = "com.example.agent";
    options.version = "1.2.3";
    options.serviceName = kServiceName;
    options.servicesDirectory = dir / "services";
    options.stateDirectory = dir / "state";
    options.mode = se::AgentServiceOptions::Mode::detached;
    options.startTimeout = 5s;
    options.stopTimeout = 2s;
  }
  void TearDown() override { killProcessesUnder(dir.path()); }

  std::optional<pid_t> trackedPid() const {
    auto content = se::readFile(options.pidFilePath());
    if (!content) return std::nullopt;
    return static_cast<pid_t>(std::stol(*content));
  }

  // An agent of the given build started the way a user would start one by hand.
  pid_t startByHand(const std::string& build) {
    se::AgentServiceOptions other = options;
    other.agentPath = dir / (build + "/watchagent");
    other.stateDirectory = dir / "elsewhere";
    se::AgentInstaller installer(other);
    EXPECT_TRUE(installer.activate(nullptr).result);
    ::unlink(other.pidFilePath().c_str());
    return *se::servingPid(options.socketPath());
  }

  TemporaryDirectory dir;
  se::AgentServiceOptions options;
  int questions = 0;
  OSSystemExtensionProperties asked;
  se::ReplacementQuestion answer(OSSystemExtensionReplacementAction action) {
    return [this, action](const OSSystemExtensionProperties& existing,
                          const OSSystemExtensionProperties&) {
      ++questions;
      asked = existing;
      return action;
    };
  }
};

TEST_F(AgentServiceTest, ActivationStartsTheAgentAndDeactivationStopsIt) {
  se::AgentInstaller installer(options);
  const auto started = installer.activate(answer(OSSystemExtensionReplacementActionReplace));
  ASSERT_TRUE(started.result) << started.error.localizedDescription;
  const auto pid = trackedPid();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(se::processAlive(*pid));
  EXPECT_TRUE(se::runsFile(*pid, options.agentPath));
  EXPECT_EQ(se::servingPid(options.socketPath()), pid);
  EXPECT_NE(::getsid(*pid), ::getsid(0)) << "the agent runs in a session of its own";

  // The same build already running is kept as it is.
  ASSERT_TRUE(installer.activate(answer(OSSystemExtensionReplacementActionReplace)).result);
  EXPECT_EQ(trackedPid(), pid);
  EXPECT_EQ(questions, 0);

  const auto stopped = installer.deactivate();
  ASSERT_TRUE(stopped.result) << stopped.error.localizedDescription;
  EXPECT_FALSE(se::processAlive(*pid));
  EXPECT_FALSE(fs::exists(options.pidFilePath()));
  EXPECT_FALSE(fs::exists(options.socketPath()));
}

TEST_F(AgentServiceTest, AnotherBuildIsReplacedOnlyWhenTheDelegateSaysSo) {
  const pid_t other = startByHand("buildB");
  se::AgentInstaller installer(options);

  const auto declined = installer.activate(answer(OSSystemExtensionReplacementActionCancel));
  ASSERT_FALSE(declined.result);
  EXPECT_EQ(declined.error.code, Code::requestCanceled);
  EXPECT_EQ(asked.url, dir / "buildB/watchagent");
  EXPECT_TRUE(se::processAlive(other));

  const auto replaced = installer.activate(answer(OSSystemExtensionReplacementActionReplace));
  ASSERT_TRUE(replaced.result) << replaced.error.localizedDescription;
  EXPECT_EQ(questions, 2);
  EXPECT_FALSE(se::processAlive(other));
  const auto pid = trackedPid();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(se::runsFile(*pid, options.agentPath));
}

TEST_F(AgentServiceTest, DeactivationFindsAnAgentStartedByHandAndForgetsAStalePidFile) {
  se::AgentInstaller installer(options);
  const pid_t byHand = startByHand("buildA");
  ASSERT_TRUE(installer.deactivate().result);
  EXPECT_FALSE(se::processAlive(byHand));

  // Only a pid file of an agent that died: cleaned up, and that is a completed removal.
  fs::create_directories(options.stateDirectory);
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  std::ofstream(options.pidFilePath()) << dead << "\n";
  ASSERT_TRUE(installer.deactivate().result);
  EXPECT_FALSE(fs::exists(options.pidFilePath()));

  const auto nothing = installer.deactivate();
  ASSERT_FALSE(nothing.result);
  EXPECT_EQ(nothing.error.code, Code::extensionNotFound);
}

TEST_F(AgentServiceTest, ARecycledPidIsNeverTakenForTheAgent) {
  // The pid file names a live process that is not an agent: this test itself.
  fs::create_directories(options.stateDirectory);
  std::ofstream(options.pidFilePath()) << ::getpid() << "\n";
  se::AgentInstaller installer(options);
  const auto started = installer.activate(answer(OSSystemExtensionReplacementActionCancel));
  ASSERT_TRUE(started.result) << started.error.localizedDescription;
  EXPECT_EQ(questions, 0);
  EXPECT_NE(trackedPid(), ::getpid());
  ASSERT_TRUE(installer.deactivate().result);
}

TEST_F(AgentServiceTest, StartFailuresAreReportedWithTheAgentsOwnWords) {
  struct Case {
    const char* name;
    std::string script;  // empty: no program at all
    Code code;
    const char* mentions;
  };
  const Case cases[] = {
      {"missing", "", Code::extensionNotFound, "was not found"},
      {"exits", "echo 'ERROR: \"es_new_client: 3\"' >&2\nexit 255", Code::startFailed,
       "ERROR: \"es_new_client: 3\""},
      {"silent", "exec sleep 30", Code::startFailed, "did not open its service"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    se::AgentServiceOptions broken = options;
    broken.agentPath = dir / (std::string("broken/") + c.name);
    broken.startTimeout = 400ms;
    if (!c.script.empty()) writeScript(broken.agentPath, c.script);
    se::AgentInstaller installer(broken);
    const auto outcome = installer.activate(answer(OSSystemExtensionReplacementActionReplace));
    ASSERT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error.code, c.code);
    EXPECT_NE(outcome.error.localizedDescription.find(c.mentions), std::string::npos)
        << outcome.error.localizedDescription;
    EXPECT_FALSE(fs::exists(broken.pidFilePath()));
  }
}

// ---- systemd mode, against a recorded systemctl ---------------------------------------------

// Plays systemd for the installer: answers the queries, records every command, and on "restart"
// serves the socket from this process, whose executable then stands for the agent.
class FakeSystemctl {
 public:
  explicit FakeSystemctl(std::string socketPath) : socketPath_(std::move(socketPath)) {}
  ~FakeSystemctl() {
    if (listener_ >= 0) ::close(listener_);
  }

  std::string loadState = "not-found";
  std::string execStart;
  int restartStatus = 0;
  std::vector<std::string> commands;

  se::CommandRunner runner() {
    return [this](const std::vector<std::string>& argv) { return run(argv); };
  }

 private:
  se::CommandResult run(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 1; i < argv.size(); ++i) line += (i > 1 ? " " : "") + argv[i];
    commands.push_back(line);
    if (line.starts_with("show -P LoadState")) return {0, loadState + "\n"};
    if (line.starts_with("show -P ExecStart")) return {0, execStart + "\n"};
    if (line.starts_with("is-active") || line.starts_with("is-failed")) return {3, ""};
    if (line.starts_with("restart")) {
      if (restartStatus == 0) serve();
      return {restartStatus, ""};
    }
    if (line.starts_with("disable") && listener_ >= 0) {
      ::close(std::exchange(listener_, -1));
      ::unlink(socketPath_.c_str());
    }
    return {0, ""};
  }

  void serve() {
    fs::create_directories(fs::path(socketPath_).parent_path());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 4), 0);
  }

  std::string socketPath_;
  int listener_ = -1;
};

class SystemdModeTest : public AgentServiceTest {
 protected:
  void SetUp() override {
    AgentServiceTest::SetUp();
    options.mode = se::AgentServiceOptions::Mode::systemd;
    options.unitDirectory = dir / "units";
    options.agentPath = se::executableOf(::getpid()).value();
    options.startTimeout = 2s;
  }
};

TEST_F(SystemdModeTest, ActivationWritesAUnitForTheShippedAgentAndStartsIt) {
  FakeSystemctl systemd(options.socketPath());
  se::AgentInstaller installer(options, systemd.runner());
  const auto outcome = installer.activate(answer(OSSystemExtensionReplacementActionReplace));
  ASSERT_TRUE(outcome.result) << outcome.error.localizedDescription;
  const auto unit = se::readFile(options.unitPath());
  ASSERT_TRUE(unit);
  EXPECT_NE(unit->find("ExecStart=\"" + options.agentPath + "\"\n"), std::string::npos) << *unit;
  EXPECT_NE(unit->find("XPC_SERVICES_DIR=" + options.servicesDirectory), std::string::npos);
  EXPECT_NE(unit->find("WantedBy=multi-user.target"), std::string::npos);
  const std::vector<std::string> changes{"daemon-reload", "enable --quiet watchagent.service",
                                         "restart watchagent.service"};
  std::vector<std::string> issued;
  for (const auto& command : systemd.commands)
    if (!command.starts_with("show") && !command.starts_with("is-")) issued.push_back(command);
  EXPECT_EQ(issued, changes);
}

TEST_F(SystemdModeTest, AUnitThatAlreadyRunsTheShippedAgentIsNotRewritten) {
  FakeSystemctl systemd(options.socketPath());
  systemd.loadState = "loaded";
  systemd.execStart = "{ path=" + options.agentPath + " ; argv[]=" + options.agentPath + " ; }";
  se::AgentInstaller installer(options, systemd.runner());
  ASSERT_TRUE(installer.activate(answer(OSSystemExtensionReplacementActionReplace)).result);
  EXPECT_FALSE(fs::exists(options.unitPath()));
}

TEST_F(SystemdModeTest, AServiceThatWillNotStartIsAFailure) {
  FakeSystemctl systemd(options.socketPath());
  systemd.restartStatus = 1;
  se::AgentInstaller installer(options, systemd.runner());
  const auto outcome = installer.activate(answer(OSSystemExtensionReplacementActionReplace));
  ASSERT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error.code, Code::startFailed);
  EXPECT_NE(outcome.error.localizedDescription.find("journalctl -u watchagent.service"),
            std::string::npos);
}

TEST_F(SystemdModeTest, DeactivationDisablesAndRemovesOnlyItsOwnUnit) {
  FakeSystemctl systemd(options.socketPath());
  se::AgentInstaller installer(options, systemd.runner());
  const auto missing = installer.deactivate();
  ASSERT_FALSE(missing.result);
  EXPECT_EQ(missing.error.code, Code::extensionNotFound);

  ASSERT_TRUE(installer.activate(answer(OSSystemExtensionReplacementActionReplace)).result);
  systemd.loadState = "loaded";
  systemd.commands.clear();
  ASSERT_TRUE(installer.deactivate().result);
  EXPECT_FALSE(fs::exists(options.unitPath()));
  EXPECT_NE(std::find(systemd.commands.begin(), systemd.commands.end(),
                      "disable --now --quiet watchagent.service"),
            systemd.commands.end());
  EXPECT_EQ(systemd.commands.back(), "daemon-reload");

  // A unit someone else wrote stays where it is.
  fs::create_directories(options.unitDirectory);
  std::ofstream(options.unitPath()) << "[Service]\nExecStart=/usr/sbin/watchagent\n";
  ASSERT_TRUE(installer.deactivate().result);
  EXPECT_TRUE(fs::exists(options.unitPath()));
}

TEST(GeneratedUnit, QuotesThePathForSystemd) {
  se::AgentServiceOptions options;
  options.agentPath = "/opt/my apps/100%/watch\"agent";
  options.servicesDirectory = "/run/xpc";
  const std::string unit = se::AgentInstaller(options).generatedUnit();
  EXPECT_NE(unit.find("ExecStart=\"/opt/my apps/100%%/watch\\\"agent\"\n"), std::string::npos)
      << unit;
}

TEST(GeneratedUnit, CarriesEveryLineOfThePackagedUnit) {
  const auto packaged = se::readFile(PACKAGED_UNIT);
  ASSERT_TRUE(packaged);
  for (const std::string directory : {"/run/xpc", "/srv/agent sockets"}) {
    SCOPED_TRACE(directory);
    se::AgentServiceOptions options;
    options.agentPath = "/usr/sbin/watchagent";
    options.servicesDirectory = directory;
    const std::string unit = se::AgentInstaller(options).generatedUnit();
    // The marker comes first: removal and the package's scripts look for it there.
    EXPECT_TRUE(unit.starts_with("# Written by Corvane Endpoint")) << unit;
    std::istringstream lines(*packaged);
    std::string line;
    int hardening = 0;
    while (std::getline(lines, line)) {
      if (line.starts_with("ExecStart=")) continue;
      EXPECT_NE(unit.find(line + "\n"), std::string::npos) << line;
      hardening += line.starts_with("Protect") || line.starts_with("CapabilityBoundingSet=");
    }
    EXPECT_GE(hardening, 5);
    EXPECT_NE(unit.find("\nExecStart=\"/usr/sbin/watchagent\"\nEnvironment=\"XPC_SERVICES_DIR=" +
                        directory + "\"\n"),
              std::string::npos)
        << unit;
    EXPECT_EQ(unit.find("ReadWritePaths=") != std::string::npos, directory != "/run/xpc");
    EXPECT_EQ(unit.find("@WATCH"), std::string::npos) << unit;
  }
}

// ---- the backend: privileges, approval, pkexec ----------------------------------------------

class BackendTest : public AgentServiceTest {
 protected:
  std::vector<std::string> carryOut(std::shared_ptr<se::AgentServiceBackend> backend,
                                    OSSystemExtensionRequest::Action action) {
    RecordingDelegate delegate;
    {
      const platform::ScopedOverride<SystemExtensionBackend> installed(*backend);
      OSSystemExtensionManager::sharedManager().submitRequest(request(action, delegate));
      EXPECT_TRUE(runMainQueueUntil([&] { return delegate.answered(); }));
    }
    drainMainQueue();
    for (const auto& call : delegate.calls) EXPECT_EQ(call.thread, std::this_thread::get_id());
    return delegate.names();
  }

  se::ElevationOptions unprivileged(std::vector<std::string> pkexec) {
    se::ElevationOptions elevation;
    elevation.privileged = [] { return false; };
    elevation.pkexecCandidates = std::move(pkexec);
    elevation.helperPath = INSTALLER_HELPER_PATH;
    return elevation;
  }
};

TEST_F(BackendTest, WithRightsTheWorkIsDoneInProcess) {
  se::ElevationOptions elevation;
  elevation.privileged = [] { return true; };
  auto backend = std::make_shared<se::AgentServiceBackend>(options, elevation);
  EXPECT_EQ(carryOut(backend, OSSystemExtensionRequest::Action::activate),
            std::vector<std::string>{"finish 0"});
  EXPECT_TRUE(trackedPid() && se::processAlive(*trackedPid()));
  backend = std::make_shared<se::AgentServiceBackend>(options, elevation);
  EXPECT_EQ(carryOut(backend, OSSystemExtensionRequest::Action::deactivate),
            std::vector<std::string>{"finish 0"});
  EXPECT_FALSE(trackedPid());
}

TEST_F(BackendTest, WithoutRightsOrPkexecItAsksForApprovalThenFailsClearly) {
  auto backend =
      std::make_shared<se::AgentServiceBackend>(options, unprivileged({dir / "no-such-pkexec"}));
  const auto calls = carryOut(backend, OSSystemExtensionRequest::Action::activate);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "approval");
  EXPECT_TRUE(calls[1].starts_with("fail Installing the agent needs administrator rights"))
      << calls[1];
  EXPECT_NE(calls[1].find("pkexec"), std::string::npos);
  EXPECT_FALSE(trackedPid());
}

TEST_F(BackendTest, ARefusedAuthenticationIsAFailure) {
  writeScript(dir / "pkexec-refuses", "exit 126");
  auto backend =
      std::make_shared<se::AgentServiceBackend>(options, unprivileged({dir / "pkexec-refuses"}));
  EXPECT_EQ(carryOut(backend, OSSystemExtensionRequest::Action::activate),
            (std::vector<std::string>{
                "approval",
                "fail Administrator authentication was dismissed or refused; nothing was "
                "changed."}));
}

TEST_F(BackendTest, ThroughPkexecTheHelperInstallsReplacesAndRemoves) {
  if (::geteuid() != 0) GTEST_SKIP() << "the installer helper only works as root";
  // pkexec as a test sees it: runs the program it is given, as root (this test's user).
  writeScript(dir / "pkexec", "exec \"$@\"");
  const pid_t other = startByHand("buildB");
  auto backend = std::make_shared<se::AgentServiceBackend>(options, unprivileged({dir / "pkexec"}));
  EXPECT_EQ(
      carryOut(backend, OSSystemExtensionRequest::Action::activate),
      (std::vector<std::string>{"approval", "replace " + dir / "buildB/watchagent", "finish 0"}));
  EXPECT_FALSE(se::processAlive(other));
  const auto pid = trackedPid();
  ASSERT_TRUE(pid);
  EXPECT_TRUE(se::runsFile(*pid, options.agentPath));

  backend = std::make_shared<se::AgentServiceBackend>(options, unprivileged({dir / "pkexec"}));
  EXPECT_EQ(carryOut(backend, OSSystemExtensionRequest::Action::deactivate),
            (std::vector<std::string>{"approval", "finish 0"}));
  EXPECT_FALSE(se::processAlive(*pid));
}

TEST_F(BackendTest, RequestsStillQueuedWhenTheBackendGoesFail) {
  se::ElevationOptions elevation;
  elevation.privileged = [] { return true; };
  options.agentPath = dir / "broken/slow";
  options.startTimeout = 300ms;
  writeScript(options.agentPath, "exec sleep 30");
  RecordingDelegate first, second;
  {
    se::AgentServiceBackend backend(options, elevation);
    backend.submit(std::make_shared<OSSystemExtensionRequestSession>(
        request(OSSystemExtensionRequest::Action::activate, first)));
    backend.submit(std::make_shared<OSSystemExtensionRequestSession>(
        request(OSSystemExtensionRequest::Action::activate, second)));
    // Let the first get under way: its agent is started (and never answers).
    for (int i = 0; i < 500 && !fs::exists(options.pidFilePath()); ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(options.pidFilePath()));
  }
  drainMainQueue();
  ASSERT_EQ(first.calls.size(), 1u);
  ASSERT_EQ(second.calls.size(), 1u);
  // The first was under way and ran to its end; the second never started.
  EXPECT_EQ(first.lastError.code, Code::startFailed);
  EXPECT_EQ(second.lastError.code, Code::serviceUnavailable);
}

}  // namespace
