// The application's state and installer against the fake backend: every row of the outcome
// table, the order and timing of the state change, the attribution of answers to the request
// submitted last, and the observers' notifications; also the report receiver.
#include <gtest/gtest.h>

#include <optional>
#include <unordered_set>

#include "AppTestSupport.h"
#include "app/install/AgentInstallManager.h"
#include "app/install/SystemExtensionManager.h"
#include "app/ipc/IPCManager.h"
#include "app/state/ProgramStatus.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/system_extensions/FakeSystemExtensions.h"

namespace {

using app::AgentInstallManager;
using app::ProgramStatus;
using app::SystemExtensionManager;
using Operation = SystemExtensionManager::Operation;
using Status = ProgramStatus::AgentInstalledStatus;
using testsupport::drainMainQueue;

constexpr const char* kInstallLine = "Installing endpoint extension!";
constexpr const char* kRemoveLine = "removeExtension";

std::string completionLine(long result, long operation) {
  return "**** SystemExtensionManager didFinishWithResult: " + std::to_string(result) + " for " +
         std::to_string(operation);
}

// ---- ProgramStatus --------------------------------------------------------------------------

TEST(ProgramStatus, StartsWithFourEntriesAndAnUnknownAgent) {
  ProgramStatus status;
  EXPECT_EQ(status.activeNavigationItems(),
            (std::vector<ProgramStatus::NavigationObjects>{{"InstallAgentId", "Install agent"},
                                                           {"UninstallAgentId", "Uninstall agent"},
                                                           {"EventsId", "Events"},
                                                           {"ProcessesId", "Processes"}}));
  EXPECT_EQ(status.agentStatus(), Status::Initial);
  EXPECT_EQ(app::displayText(Status::Initial), "Agent Status: Unkown");
  EXPECT_EQ(app::displayText(Status::WatchagentActive), "Agent Status: Installed");
  EXPECT_EQ(app::displayText(Status::WatchagentRemoved), "Agent Status: Removed");
}

TEST(ProgramStatus, EveryWriteIsAnnouncedBeforeItHappensEvenWhenEqual) {
  ProgramStatus status;
  std::vector<Status> seenBefore;
  auto observer =
      status.objectWillChange().sink([&] { seenBefore.push_back(status.agentStatus()); });
  status.setAgentStatus(Status::WatchagentActive);
  status.setAgentStatus(Status::WatchagentActive);
  status.setAgentStatus(Status::WatchagentRemoved);
  EXPECT_EQ(seenBefore, (std::vector<Status>{Status::Initial, Status::WatchagentActive,
                                             Status::WatchagentActive}));
  EXPECT_EQ(status.agentStatus(), Status::WatchagentRemoved);

  observer.cancel();
  status.setAgentStatus(Status::Initial);
  EXPECT_EQ(seenBefore.size(), 3u);
}

TEST(ProgramStatus, AnObserverCancelledDuringANotificationIsNotCalled) {
  ProgramStatus status;
  int laterCalls = 0;
  app::ObjectWillChangePublisher::Cancellable later;
  auto first = status.objectWillChange().sink([&] { later.cancel(); });
  later = status.objectWillChange().sink([&] { ++laterCalls; });
  status.setAgentStatus(Status::WatchagentActive);
  EXPECT_EQ(laterCalls, 0);
}

// ---- the installer --------------------------------------------------------------------------

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drainMainQueue();
    installed.emplace(*backend);
    reset(false, Status::Initial);
    log.clear();
  }
  void TearDown() override {
    installed.reset();
    drainMainQueue();
  }

  static void reset(bool installed, Status status) {
    SystemExtensionManager::shared().operation = Operation::unknown;
    AgentInstallManager::shared().setAgentInstalled(installed);
    ProgramStatus::shared().setAgentStatus(status);
  }

  std::shared_ptr<platform::system_extensions::FakeSystemExtensionBackend> backend =
      std::make_shared<platform::system_extensions::FakeSystemExtensionBackend>();
  std::optional<platform::ScopedOverride<SystemExtensionBackend>> installed;
  platform::log::Capture log;
};

TEST_F(InstallerTest, RequestsNameTheAgentTheMainQueueAndTheSharedDelegate) {
  app::installExtension();
  app::removeExtension();
  const auto sessions = backend->sessions();
  ASSERT_EQ(sessions.size(), 2u);
  const OSSystemExtensionRequest::Action actions[] = {OSSystemExtensionRequest::Action::activate,
                                                      OSSystemExtensionRequest::Action::deactivate};
  for (std::size_t i = 0; i < 2; ++i) {
    const OSSystemExtensionRequest& request = sessions[i]->request();
    EXPECT_EQ(request.action(), actions[i]);
    EXPECT_EQ(request.identifier(), ipc::kAgentBundleIdentifier);
    EXPECT_EQ(request.identifier(), std::string(ipc::kAppBundleIdentifier) + ".watchagent");
    EXPECT_EQ(request.queue(), dispatch_get_main_queue());
    EXPECT_EQ(request.delegate(), &SystemExtensionManager::shared());
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{kInstallLine, kRemoveLine}));
  // Submitting changes no displayed state.
  EXPECT_FALSE(AgentInstallManager::shared().agentInstalled());
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::Initial);
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::uninstalling);
}

TEST_F(InstallerTest, EachOutcomeLeavesTheStateOfItsTableRow) {
  enum class Answer { completed, reboot, failure };
  struct Row {
    const char* name;
    bool activation;
    Answer answer;
    std::vector<std::string> log;
    bool installed;
    Status status;
    Operation after;
  };
  // Each row starts from the state the opposite request leaves, so "unchanged" shows.
  const Row rows[] = {
      {"activation completed",
       true,
       Answer::completed,
       {kInstallLine, completionLine(0, 1)},
       true,
       Status::WatchagentActive,
       Operation::unknown},
      {"activation after reboot",
       true,
       Answer::reboot,
       {kInstallLine, completionLine(1, 1)},
       false,
       Status::WatchagentRemoved,
       Operation::installing},
      {"activation failed",
       true,
       Answer::failure,
       {kInstallLine, "**** SystemExtensionManager request didFailWithError: no agent here"},
       false,
       Status::WatchagentRemoved,
       Operation::installing},
      {"deactivation completed",
       false,
       Answer::completed,
       {kRemoveLine, completionLine(0, 2)},
       false,
       Status::WatchagentRemoved,
       Operation::unknown},
      {"deactivation after reboot",
       false,
       Answer::reboot,
       {kRemoveLine, completionLine(1, 2)},
       true,
       Status::WatchagentActive,
       Operation::uninstalling},
      {"deactivation failed",
       false,
       Answer::failure,
       {kRemoveLine, "**** SystemExtensionManager request didFailWithError: no agent here"},
       true,
       Status::WatchagentActive,
       Operation::uninstalling},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    drainMainQueue();
    if (row.activation)
      reset(false, Status::WatchagentRemoved);
    else
      reset(true, Status::WatchagentActive);
    log.clear();

    row.activation ? app::installExtension() : app::removeExtension();
    auto session = backend->last();
    ASSERT_TRUE(session);
    switch (row.answer) {
      case Answer::completed:
        session->finish(OSSystemExtensionRequestResultCompleted);
        break;
      case Answer::reboot:
        session->finish(OSSystemExtensionRequestResultWillCompleteAfterReboot);
        break;
      case Answer::failure:
        session->fail({OSSystemExtensionErrorCode::startFailed, "no agent here"});
        break;
    }
    drainMainQueue();
    EXPECT_EQ(log.lines(), row.log);
    EXPECT_EQ(AgentInstallManager::shared().agentInstalled(), row.installed);
    EXPECT_EQ(ProgramStatus::shared().agentStatus(), row.status);
    EXPECT_EQ(SystemExtensionManager::shared().operation, row.after);
  }
}

TEST_F(InstallerTest, StateChangesAfterTheDelegateReturnsInstalledFirstEachAnnounced) {
  struct Seen {
    std::string which;
    bool installed;
    Status status;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  auto installedObserver = AgentInstallManager::shared().objectWillChange().sink([&] {
    seen.push_back({"installed", AgentInstallManager::shared().agentInstalled(),
                    ProgramStatus::shared().agentStatus()});
  });
  auto statusObserver = ProgramStatus::shared().objectWillChange().sink([&] {
    seen.push_back({"status", AgentInstallManager::shared().agentInstalled(),
                    ProgramStatus::shared().agentStatus()});
  });

  app::installExtension();
  OSSystemExtensionRequest& request = backend->last()->request();
  SystemExtensionManager::shared().didFinishWithResult(request,
                                                       OSSystemExtensionRequestResultCompleted);
  // Back from the delegate: the record of the request is cleared, the state not yet touched.
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::unknown);
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(AgentInstallManager::shared().agentInstalled());

  drainMainQueue();
  EXPECT_EQ(seen, (std::vector<Seen>{{"installed", false, Status::Initial},
                                     {"status", true, Status::Initial}}));
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
}

TEST_F(InstallerTest, AnswersAreCreditedToTheRequestSubmittedLast) {
  int statusNotifications = 0;
  auto observer = ProgramStatus::shared().objectWillChange().sink([&] { ++statusNotifications; });
  app::installExtension();
  app::removeExtension();
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::uninstalling);
  const auto sessions = backend->sessions();
  ASSERT_EQ(sessions.size(), 2u);

  // The activation answers first, and counts as the removal.
  sessions[0]->finish(OSSystemExtensionRequestResultCompleted);
  drainMainQueue();
  EXPECT_FALSE(AgentInstallManager::shared().agentInstalled());
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentRemoved);
  EXPECT_EQ(statusNotifications, 1);

  // The second finds nothing outstanding: one line, no state task.
  sessions[1]->finish(OSSystemExtensionRequestResultCompleted);
  drainMainQueue();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{kInstallLine, kRemoveLine, completionLine(0, 2),
                                                   completionLine(0, 0)}));
  EXPECT_EQ(statusNotifications, 1);
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::unknown);
}

TEST_F(InstallerTest, ARebootPendingActivationLeavesTheNextCompletionAnActivation) {
  app::installExtension();
  backend->last()->finish(OSSystemExtensionRequestResultWillCompleteAfterReboot);
  drainMainQueue();
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::installing);
  OSSystemExtensionRequest& request = backend->last()->request();
  SystemExtensionManager::shared().didFinishWithResult(request,
                                                       OSSystemExtensionRequestResultCompleted);
  drainMainQueue();
  EXPECT_TRUE(AgentInstallManager::shared().agentInstalled());
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
}

TEST_F(InstallerTest, TwoCompletedActivationsNotifyTwiceAndOrderDecidesTheStatus) {
  int notifications = 0;
  auto observer = ProgramStatus::shared().objectWillChange().sink([&] { ++notifications; });
  const auto complete = [&](bool activation) {
    activation ? app::installExtension() : app::removeExtension();
    backend->last()->finish(OSSystemExtensionRequestResultCompleted);
    drainMainQueue();
  };
  complete(true);
  complete(true);
  EXPECT_EQ(notifications, 2);
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
  complete(false);
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentRemoved);
  complete(true);
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
}

TEST_F(InstallerTest, QuestionsAreLoggedAndChangeNothing) {
  app::installExtension();
  log.clear();
  auto session = backend->last();
  const OSSystemExtensionProperties existing[] = {
      {"/a/watchagent", "id", "0.9", "0.9"},       // older
      {"/a/watchagent", "id", "9.0", "9.0"},       // newer
      {"/a/watchagent", "id", "0.1.0", "0.1.0"}};  // same
  for (const auto& installed : existing) {
    auto answer =
        session->actionForReplacingExtension(installed, {"/b/watchagent", "id", "0.1.0", "0.1.0"});
    drainMainQueue();
    EXPECT_EQ(answer.get(), OSSystemExtensionReplacementActionReplace) << installed.bundleVersion;
  }
  session->requestNeedsUserApproval();
  drainMainQueue();
  const std::string replace = "**** SystemExtensionManager request actionForReplacingExtension";
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{replace, replace, replace,
                                      "**** SystemExtensionManager requestNeedsUserApproval"}));
  EXPECT_EQ(SystemExtensionManager::shared().operation, Operation::installing);
  EXPECT_EQ(ProgramStatus::shared().agentStatus(), Status::Initial);
}

TEST(Operation, RawValues) {
  const std::pair<long, std::optional<Operation>> cases[] = {
      {-1, std::nullopt},           {0, Operation::unknown}, {1, Operation::installing},
      {2, Operation::uninstalling}, {3, std::nullopt},
  };
  for (const auto& [raw, expected] : cases) {
    EXPECT_EQ(Operation::fromRawValue(raw), expected) << raw;
    if (expected) {
      EXPECT_EQ(expected->rawValue(), raw);
      EXPECT_EQ(std::hash<Operation>{}(*expected), std::hash<long>{}(raw));
    }
  }
  std::unordered_set<Operation> set{Operation::installing, Operation::installing};
  EXPECT_EQ(set.size(), 1u);
}

// ---- the report receiver --------------------------------------------------------------------

TEST(IPCManager, EachReportWritesItsOneLineWhateverThePayload) {
  using Report = void (app::IPCManager::*)(const ipc::NSData&);
  const std::pair<Report, const char*> reports[] = {
      {&app::IPCManager::reportEndpointMessageWithMsg,
       "got message from endpoint system extension"},
      {&app::IPCManager::reportNetworkMessageWithMsg, "got message from network system extension"},
      {&app::IPCManager::reportExecutableForPidWithMsg, "got report for executable and PID"},
  };
  const std::string payloads[] = {
      "",
      R"({"version":7,"eventType":9,"process":{"pid":1}})",
      std::string("\0\xff\xfe not json %s %n", 18),
  };
  app::IPCManager manager;
  EXPECT_EQ(manager.connectionToLowerTier, nullptr);
  for (const auto& [report, line] : reports) {
    for (const std::string& payload : payloads) {
      platform::log::Capture log;
      (manager.*report)(payload);
      EXPECT_EQ(log.lines(), std::vector<std::string>{line}) << payload.size() << " bytes";
    }
  }
  EXPECT_EQ(manager.connectionToLowerTier, nullptr);
}

TEST(IPCManager, TenReportsMakeTenLinesInOrder) {
  platform::log::Capture log;
  app::IPCManager manager;
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    if (i % 2) {
      manager.reportNetworkMessageWithMsg(std::to_string(i));
      expected.push_back("got message from network system extension");
    } else {
      manager.reportEndpointMessageWithMsg(std::to_string(i));
      expected.push_back("got message from endpoint system extension");
    }
  }
  EXPECT_EQ(log.lines(), expected);
}

}  // namespace
