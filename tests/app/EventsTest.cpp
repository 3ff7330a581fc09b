// The application as a client of the agent's service: event rows and the tables (headless), the
// status check, the Events and Processes screens against a stand-in agent on a real socket in a
// temporary services directory, and the outcome of a request beside its button.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "AppTestSupport.h"
#include "app/install/AgentStatusProbe.h"
#include "app/install/RequestActivity.h"
#include "app/install/SystemExtensionManager.h"
#include "app/ipc/EventFeed.h"
#include "app/screenshots/SampleAgent.h"
#include "app/state/EventFilterModel.h"
#include "app/state/EventTableModel.h"
#include "app/state/ProcessTableModel.h"
#include "app/views/EventsView.h"
#include "app/views/InstallAgentView.h"
#include "app/views/ProcessesView.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/system_extensions/FakeSystemExtensions.h"
#include "platform/xpc/Transport.h"

namespace {

using Status = app::ProgramStatus::AgentInstalledStatus;
using testsupport::runMainQueueUntil;

QByteArray golden(const char* name) {
  QFile file(QStringLiteral(GOLDEN_DIR "/%1.json").arg(QLatin1String(name)));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Sets the local time zone for one test; rows show times in it.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    if (const char* saved = std::getenv("TZ")) before_ = saved;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~LocalZone() {
    before_ ? ::setenv("TZ", before_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  std::optional<std::string> before_;
};

std::vector<app::EventRow> rows(std::size_t first, std::size_t count) {
  std::vector<app::EventRow> out;
  for (std::size_t n = first; n < first + count; ++n)
    out.push_back(
        *app::eventRowFromDocument(QByteArray::fromStdString(app::sample::eventDocument(n))));
  return out;
}

TEST(EventRow, EachKindShowsItsMainDetail) {
  const LocalZone zone("UTC0");
  struct Case {
    const char* file;
    const char* kind;
    QString detail;
  };
  const Case cases[] = {
      {"exec", "EXEC", ""},  // filled in below from the document's own arguments
      {"fork", "FORK", "child 2003"},
      {"exit", "EXIT", "status 1280"},
      {"auth", "AUTHENTICATION", "succeeded"},
      {"xpMalwareDetected", "XP_MALWARE_DETECTED", "/Users/fixture/Downloads/p.dmg"},
      {"lwSessionLogin", "LW_SESSION_LOGIN", "lw-login-user"},
      {"lwSessionUnlock", "LW_SESSION_UNLOCK", "lw-unlock-user"},
      {"loginLogin", "LOGIN", "login-user"},
      {"openSshLogin", "OPENSSH_LOGIN", "2001:db8::7 (ssh-user)"},
      {"screensharingAttach", "SCREENSHARING_ATTACH", "192.0.2.10 (ss-auth-user)"},
      {"btmLaunchItemAdd", "BTM_LAUNCH_ITEM_ADD", ""},
      {"btmLaunchItemRemove", "BTM_LAUNCH_ITEM_REMOVE", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const QByteArray document = golden(c.file);
    ASSERT_FALSE(document.isEmpty());
    const auto row = app::eventRowFromDocument(document);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->kindName(), c.kind);
    EXPECT_EQ(row->time, "2024-03-09T16:00:00.250+00:00");
    EXPECT_EQ(row->path, "/opt/fixture/proc1/bin/tool1");
    EXPECT_EQ(row->pid, 1003);
    if (!c.detail.isEmpty())
      EXPECT_EQ(row->detail, c.detail);
    else
      EXPECT_FALSE(row->detail.isEmpty());
    EXPECT_EQ(row->document(), document);
  }
  // Launch items show the item's path; exec the program it ran, then its arguments.
  const auto exec =
      app::eventRowFromDocument(QByteArray::fromStdString(app::sample::eventDocument(0)));
  EXPECT_EQ(exec->detail, "/usr/bin/bash -c make -j2");
  const auto item =
      app::eventRowFromDocument(QByteArray::fromStdString(app::sample::eventDocument(6)));
  EXPECT_EQ(item->detail, "/etc/systemd/system/backup.timer");
}

TEST(EventRow, WhatIsNotADocumentIsNoRowAndShowsAsWritten) {
  for (const char* bytes : {"", "Hello", "[1,2]", "{\"a\":", "\xff\xfe"})
    EXPECT_FALSE(app::eventRowFromDocument(QByteArray(bytes))) << bytes;
  const auto unknown = app::eventRowFromDocument(R"({"eventType":3,"process":{"pid":7}})");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->kindName(), "unknown");
  EXPECT_EQ(unknown->pid, 7);
  EXPECT_EQ(app::indentedJson("Hello"), "Hello");
  EXPECT_EQ(app::indentedJson(R"({"a":{"b":1}})"), "{\n    \"a\": {\n        \"b\": 1\n    }\n}\n");
  // Shown as sent: keys in their order, numbers as written, strings untouched, empty ones kept.
  EXPECT_EQ(
      app::indentedJson(R"({"z":18446744073709551615,"a":[],"m":"x, {\"y\": [1]}","b":[1.50,{}]})"),
      "{\n    \"z\": 18446744073709551615,\n    \"a\": [],\n"
      "    \"m\": \"x, {\\\"y\\\": [1]}\",\n    \"b\": [\n        1.50,\n        {}\n    ]\n}\n");
}

TEST(EventTableModel, KeepsTheNewestRowsWithOneChangePerBatch) {
  // Times are shown in the local zone, as watchctl's table shows them: here one an hour east.
  const LocalZone zone("CET-1");
  app::EventTableModel model(5);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  model.append(rows(0, 3));
  model.append(rows(3, 4));
  ASSERT_EQ(model.rowCount(), 5);
  EXPECT_EQ(inserted.count(), 2);
  EXPECT_EQ(removed.count(), 1);
  // The oldest two went: row 0 is document 2.
  EXPECT_EQ(model.row(0).document().toStdString(), app::sample::eventDocument(2));
  // A batch larger than the table: only its tail is taken, the rest never shows.
  model.append(rows(100, 12));
  ASSERT_EQ(model.rowCount(), 5);
  EXPECT_EQ(model.row(0).document().toStdString(), app::sample::eventDocument(107));
  EXPECT_EQ(model.row(4).document().toStdString(), app::sample::eventDocument(111));
  EXPECT_EQ(model.headerData(app::EventTableModel::PidColumn, Qt::Horizontal), "PID");
  // The time column shows the time of day; the tooltip the whole date.
  const QModelIndex time = model.index(0, app::EventTableModel::TimeColumn);
  EXPECT_EQ(time.data(), "10:41:22.000");
  EXPECT_EQ(time.data(Qt::ToolTipRole), "2026-12-10T10:41:22.000+01:00");
  EXPECT_EQ(model.headerData(app::EventTableModel::TimeColumn, Qt::Horizontal), "Time");
  model.append({});
  EXPECT_EQ(inserted.count(), 3);
}

TEST(EventFilterModel, FiltersByKindAndText) {
  app::EventTableModel model;
  model.append(rows(0, 14));  // two of each of the seven sample kinds
  app::EventFilterModel filter;
  filter.setSourceModel(&model);
  EXPECT_EQ(filter.rowCount(), 14);
  filter.setKind(8);  // openSshLogin
  EXPECT_EQ(filter.rowCount(), 2);
  filter.setText("192.0.2.44");
  EXPECT_EQ(filter.rowCount(), 2);
  filter.setText("nobody-has-this");
  EXPECT_EQ(filter.rowCount(), 0);
  filter.setKind(-1);
  filter.setText("  GIT ");  // trimmed, any case: the path or the arguments
  EXPECT_EQ(filter.rowCount(), 2);
  filter.setText(QString::number(model.row(3).pid));  // a pid matches exactly
  EXPECT_EQ(filter.rowCount(), 1);
  // Rows that arrive later are filtered too.
  filter.setText("");
  filter.setKind(0);
  model.append(rows(14, 7));
  EXPECT_EQ(filter.rowCount(), 6);
}

TEST(EventInbox, KeepsTheNewestWhileNobodyTakesAndCountsEverything) {
  app::EventInbox inbox(3);
  for (auto& row : rows(0, 5)) inbox.put(std::move(row));
  inbox.countUnreadable();
  EXPECT_EQ(inbox.received(), 6);
  EXPECT_EQ(inbox.unreadable(), 1);
  auto taken = inbox.take();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].document().toStdString(), app::sample::eventDocument(2));
  EXPECT_TRUE(inbox.take().empty());
}

TEST(ProcessTableModel, TakesOnlyAProcessTable) {
  app::ProcessTableModel model;
  ASSERT_TRUE(model.setDocument(QByteArray::fromStdString(app::sample::processTableDocument())));
  ASSERT_EQ(model.rowCount(), 10);
  EXPECT_EQ(model.entries()[5].executable, "/usr/sbin/watchagent");
  EXPECT_EQ(model.data(model.index(5, 0)).toLongLong(), 812);
  for (const char* bad : {"Hello", "{}", R"({"table":{}})", R"({"table":[{"pid":"1"}]})"}) {
    EXPECT_FALSE(model.setDocument(bad)) << bad;
    EXPECT_EQ(model.rowCount(), 10) << bad;
  }
  EXPECT_TRUE(model.setDocument(R"({"table":[]})"));
  EXPECT_EQ(model.rowCount(), 0);
}

TEST(AgentStatusProbe, EachAnswerStandsForAStatus) {
  using Reason = app::AgentUnreachable::Reason;
  EXPECT_EQ(app::statusFromProbe(std::nullopt), Status::WatchagentActive);
  EXPECT_EQ(app::statusFromProbe(app::AgentUnreachable{Reason::notRunning, ""}),
            Status::WatchagentRemoved);
  EXPECT_EQ(app::statusFromProbe(app::AgentUnreachable{Reason::accessDenied, ""}),
            Status::WatchagentActive);
  EXPECT_EQ(app::statusFromProbe(app::AgentUnreachable{Reason::failed, ""}), std::nullopt);
  const std::pair<int, Reason> errors[] = {{ENOENT, Reason::notRunning},
                                           {ECONNREFUSED, Reason::notRunning},
                                           {EACCES, Reason::accessDenied},
                                           {ECONNABORTED, Reason::accessDenied},
                                           {EPROTO, Reason::failed}};
  for (const auto& [code, reason] : errors)
    EXPECT_EQ(app::classifyConnectionError(NSError{code, "x"}).reason, reason) << code;
}

// Each test has its own services directory, so the stand-in agent is the only one it reaches.
class WithServices : public ::testing::Test {
 protected:
  void SetUp() override {
    services.path = (dir.path() / "xpc").string();
    std::filesystem::create_directories(dir.path() / "xpc");
    app::ProgramStatus::shared().setAgentStatus(Status::Initial);
    app::SystemExtensionManager::shared().operation =
        app::SystemExtensionManager::Operation::unknown;
    app::RequestActivity::shared().set(app::RequestActivity::Operation::none,
                                       app::RequestActivity::Phase::idle, "");
  }
  void TearDown() override { testsupport::drainMainQueue(); }
  std::unique_ptr<app::sample::SampleAgent> startAgent() {
    auto agent = std::make_unique<app::sample::SampleAgent>(std::string(ipc::kMachServiceName));
    EXPECT_TRUE(agent->listening());
    return agent;
  }

  testsupport::TemporaryDirectory dir;
  xpc::ServicesDirectory services;
  platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled{services};
  const std::string service{ipc::kMachServiceName};
};

TEST_F(WithServices, TheStatusCheckFollowsTheService) {
  app::AgentStatusProbe probe(service);
  probe.check();
  ASSERT_TRUE(runMainQueueUntil([&] { return !probe.checking(); }));
  EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentRemoved);

  auto agent = startAgent();
  probe.check();
  ASSERT_TRUE(runMainQueueUntil([&] { return !probe.checking(); }));
  EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentActive);

  // A request still outstanding has the last word.
  agent.reset();
  app::SystemExtensionManager::shared().operation =
      app::SystemExtensionManager::Operation::installing;
  app::RequestActivity::shared().set(app::RequestActivity::Operation::installing,
                                     app::RequestActivity::Phase::working, "");
  probe.check();
  ASSERT_TRUE(runMainQueueUntil([&] { return !probe.checking(); }));
  EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
}

// A request that failed or was cancelled (the administrator dismissed the prompt) has no word
// left: the status follows the agent again, both ways.
TEST_F(WithServices, TheStatusFollowsTheAgentAgainAfterAFailedOrCancelledRequest) {
  using Code = OSSystemExtensionErrorCode;
  auto backend = std::make_shared<platform::system_extensions::FakeSystemExtensionBackend>();
  const platform::ScopedOverride<SystemExtensionBackend> installed(*backend);
  app::AgentStatusProbe probe(service);
  auto check = [&] {
    probe.check();
    return runMainQueueUntil([&] { return !probe.checking(); });
  };
  const struct {
    const char* name;
    bool install;
    Code code;
  } cases[] = {{"install, administrator prompt dismissed", true, Code::authorizationDenied},
               {"install, agent failed to start", true, Code::startFailed},
               {"remove, administrator prompt dismissed", false, Code::authorizationDenied}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    app::ProgramStatus::shared().setAgentStatus(Status::Initial);
    c.install ? app::installExtension() : app::removeExtension();
    ASSERT_TRUE(check());
    EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::Initial) << "held back";
    backend->last()->fail({c.code, "no"});
    ASSERT_TRUE(runMainQueueUntil([] {
      return app::RequestActivity::shared().phase() == app::RequestActivity::Phase::failed;
    }));
    {
      auto agent = startAgent();
      ASSERT_TRUE(check());
      EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
    }
    ASSERT_TRUE(check());
    EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentRemoved);
  }
}

TEST_F(WithServices, TheEventsScreenSaysWhenNoAgentServesThenShowsItsEventsLive) {
  app::EventMonitor monitor(service);
  app::EventsView view(monitor);
  view.resize(1000, 700);
  view.show();
  auto* state = view.findChild<QLabel*>("eventsState");
  ASSERT_TRUE(runMainQueueUntil(
      [&] { return monitor.feed().state() == app::EventFeed::State::notRunning; }));
  runMainQueueUntil([&] { return state->text().contains("not running"); });
  EXPECT_TRUE(state->text().contains("The agent is not running")) << state->text().toStdString();

  // The feed tries again by itself and finds the agent.
  auto agent = startAgent();
  ASSERT_TRUE(runMainQueueUntil([&] { return agent->clients() == 1; }));
  ASSERT_TRUE(
      runMainQueueUntil([&] { return monitor.feed().state() == app::EventFeed::State::live; }));
  for (std::size_t n = 0; n < 21; ++n) agent->broadcast(app::sample::eventDocument(n));
  agent->broadcast("not json");
  auto* table = view.findChild<QTableView*>("eventsTable");
  ASSERT_TRUE(runMainQueueUntil([&] { return table->model()->rowCount() == 21; }));
  auto* count = view.findChild<QLabel*>("eventsCount");
  ASSERT_TRUE(runMainQueueUntil([&] { return count->text() == "22 documents received"; }))
      << count->text().toStdString();
  EXPECT_EQ(table->model()->index(0, app::EventTableModel::DetailColumn).data(),
            "/usr/bin/bash -c make -j2");

  // Filters.
  auto* kind = view.findChild<QComboBox*>("eventsKindFilter");
  kind->setCurrentIndex(kind->findText("OPENSSH_LOGIN"));
  EXPECT_EQ(table->model()->rowCount(), 3);
  kind->setCurrentIndex(0);
  QTest::keyClicks(view.findChild<QLineEdit*>("eventsTextFilter"), "backup.timer");
  EXPECT_EQ(table->model()->rowCount(), 3);
  view.findChild<QLineEdit*>("eventsTextFilter")->clear();

  // The detail pane shows the selected document, indented.
  table->selectRow(4);
  auto* detail = view.findChild<QPlainTextEdit*>("eventsDetail");
  EXPECT_TRUE(detail->toPlainText().contains("\"sourceAddress\": \"192.0.2.44\""))
      << detail->toPlainText().toStdString();

  // Paused, the table stands still while the count goes on; resumed, it catches up.
  auto* pause = view.findChild<QPushButton*>("eventsPauseButton");
  QTest::mouseClick(pause, Qt::LeftButton);
  EXPECT_EQ(pause->text(), "Resume");
  for (std::size_t n = 21; n < 28; ++n) agent->broadcast(app::sample::eventDocument(n));
  ASSERT_TRUE(runMainQueueUntil([&] { return count->text() == "29 documents received"; }));
  EXPECT_EQ(table->model()->rowCount(), 21);
  QTest::mouseClick(pause, Qt::LeftButton);
  EXPECT_EQ(pause->text(), "Pause");
  ASSERT_TRUE(runMainQueueUntil([&] { return table->model()->rowCount() == 28; }));

  // The agent goes away: the screen says so and tries again.
  agent.reset();
  ASSERT_TRUE(runMainQueueUntil(
      [&] { return monitor.feed().state() == app::EventFeed::State::notRunning; }));
  agent = startAgent();
  ASSERT_TRUE(
      runMainQueueUntil([&] { return monitor.feed().state() == app::EventFeed::State::live; }));
}

// Choosing a kind asks the agent for that kind only, on this connection and the next ones.
TEST_F(WithServices, TheEventsScreenAsksTheAgentForTheChosenKindOnly) {
  auto agent = startAgent();
  app::EventMonitor monitor(service);
  app::EventsView view(monitor);
  view.show();
  ASSERT_TRUE(
      runMainQueueUntil([&] { return monitor.feed().state() == app::EventFeed::State::live; }));
  EXPECT_EQ(agent->subscriptions(), std::vector<std::string>{});  // everything, as before

  auto* kind = view.findChild<QComboBox*>("eventsKindFilter");
  kind->setCurrentIndex(kind->findText("OPENSSH_LOGIN"));
  ASSERT_TRUE(runMainQueueUntil([&] { return agent->subscriptions().size() == 1; }));
  EXPECT_EQ(agent->subscriptions()[0], R"({"kinds":["OPENSSH_LOGIN"]})");
  std::size_t sent = 0;
  for (std::size_t n = 0; n < 14; ++n) sent += agent->broadcast(app::sample::eventDocument(n));
  EXPECT_EQ(sent, 2u);
  auto* count = view.findChild<QLabel*>("eventsCount");
  ASSERT_TRUE(runMainQueueUntil([&] { return count->text() == "2 documents received"; }))
      << count->text().toStdString();

  // The agent restarts: the new connection asks for the same.
  agent.reset();
  agent = startAgent();
  ASSERT_TRUE(runMainQueueUntil([&] { return agent->subscriptions().size() == 1; }));
  EXPECT_EQ(agent->subscriptions()[0], R"({"kinds":["OPENSSH_LOGIN"]})");

  kind->setCurrentIndex(0);
  ASSERT_TRUE(runMainQueueUntil([&] { return agent->subscriptions().size() == 2; }));
  EXPECT_EQ(agent->subscriptions()[1], "{}");
}

// Serves the agent's socket but hangs up on every client, as the agent does on one it does not
// admit.
class Refuser {
 public:
  explicit Refuser(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::listen(fd_, 8) == 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) ::close(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
      }
    });
  }
  ~Refuser() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(WithServices, AUserTheServiceTurnsAwayIsToldHowToJoinAndTheAgentCountsAsInstalled) {
  Refuser refuser((dir.path() / "xpc" / service).string());
  ASSERT_TRUE(refuser.ok());
  app::EventMonitor monitor(service);
  app::EventsView view(monitor);
  view.show();
  ASSERT_TRUE(runMainQueueUntil([&] {
    return monitor.feed().state() == app::EventFeed::State::accessDenied;
  })) << monitor.feed().stateText();
  auto* state = view.findChild<QLabel*>("eventsState");
  runMainQueueUntil([&] { return state->text().startsWith("Access denied"); });
  EXPECT_TRUE(state->text().startsWith(QString::fromStdString(app::accessDeniedAdvice())))
      << state->text().toStdString();
  const std::string group(ipc::kAllowedClientGroup);
  if (!group.empty()) {
    EXPECT_TRUE(state->text().contains(QString::fromStdString("adduser $USER " + group)));
  }

  app::AgentStatusProbe probe(service);
  probe.check();
  ASSERT_TRUE(runMainQueueUntil([&] { return !probe.checking(); }));
  EXPECT_EQ(app::ProgramStatus::shared().agentStatus(), Status::WatchagentActive);
}

TEST_F(WithServices, TheProcessesScreenShowsTheTableSortedAndRefreshes) {
  auto agent = startAgent();
  app::ProcessesView view(service);
  view.resize(800, 600);
  view.show();
  auto* table = view.findChild<QTableView*>("processesTable");
  ASSERT_TRUE(runMainQueueUntil([&] { return table->model()->rowCount() == 10; }));
  auto* status = view.findChild<QLabel*>("processesStatus");
  EXPECT_TRUE(status->text().startsWith("10 processes")) << status->text().toStdString();
  EXPECT_EQ(table->model()->index(0, 0).data().toLongLong(), 1);
  table->sortByColumn(app::ProcessTableModel::ExecutableColumn, Qt::DescendingOrder);
  EXPECT_EQ(table->model()->index(0, 1).data().toString(), "/usr/sbin/watchagent");

  agent->setProcessTable("Hello");
  QTest::mouseClick(view.findChild<QPushButton*>("processesRefreshButton"), Qt::LeftButton);
  ASSERT_TRUE(runMainQueueUntil([&] { return status->text().contains("could not take"); }))
      << status->text().toStdString();
  EXPECT_EQ(table->model()->rowCount(), 10);  // the last table stays

  agent.reset();
  QTest::mouseClick(view.findChild<QPushButton*>("processesRefreshButton"), Qt::LeftButton);
  ASSERT_TRUE(runMainQueueUntil([&] { return status->text().contains("not running"); }))
      << status->text().toStdString();
}

TEST(RequestMessage, TheOutcomeOfARequestShowsBesideItsButton) {
  auto backend = std::make_shared<platform::system_extensions::FakeSystemExtensionBackend>();
  const platform::ScopedOverride<SystemExtensionBackend> installed(*backend);
  app::InstallAgentView view;
  view.show();
  auto* message = view.findChild<QLabel*>("installMessage");
  ASSERT_TRUE(message);
  QTest::mouseClick(view.findChild<QPushButton*>("installButton"), Qt::LeftButton);
  testsupport::drainMainQueue();
  EXPECT_EQ(message->text(), "Installing the agent\u2026");

  backend->last()->requestNeedsUserApproval();
  testsupport::drainMainQueue();
  EXPECT_TRUE(message->text().contains("administrator's password"))
      << message->text().toStdString();
  EXPECT_TRUE(message->text().contains("installed and started as the system service"));

  backend->last()->fail({OSSystemExtensionErrorCode::authorizationDenied,
                         "Administrator authentication was dismissed or refused."});
  testsupport::drainMainQueue();
  EXPECT_EQ(message->text(), "Administrator authentication was dismissed or refused.");
  EXPECT_TRUE(message->isVisibleTo(&view));

  // A removal's outcome belongs beside Remove, not here.
  app::removeExtension();
  testsupport::drainMainQueue();
  EXPECT_FALSE(message->isVisibleTo(&view));
  backend->last()->finish(OSSystemExtensionRequestResultCompleted);
  testsupport::drainMainQueue();
  testsupport::drainMainQueue();
}

}  // namespace
