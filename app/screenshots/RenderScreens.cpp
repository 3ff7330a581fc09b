// Renders what a user of Corvane Endpoint sees to PNG files: the install screen (wide and
// narrow, and with a failed request), the uninstall screen in each status and while approval is
// asked, the events screen without an agent and with live documents from a stand-in agent
// (wide and narrow), the processes screen, and the open Help menu.
//
//   corvane-endpoint-screenshots OUTPUT_DIRECTORY
#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/install/RequestActivity.h"
#include "app/ipc/EventFeed.h"
#include "app/screenshots/SampleAgent.h"
#include "app/state/ProgramStatus.h"
#include "app/views/ContentView.h"
#include "app/views/MainWindow.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/system_extensions/FakeSystemExtensions.h"
#include "platform/xpc/Transport.h"

namespace {

void settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

bool settleUntil(const std::function<bool()>& condition, int limitMs = 10000) {
  for (int waited = 0; waited < limitMs; waited += 10) {
    if (condition()) return true;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

bool save(QWidget& window, const QString& path) {
  settle();
  const bool ok = window.grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QApplication::setApplicationDisplayName(QString::fromUtf8(app::kApplicationName));
  if (argc != 2) {
    std::fprintf(stderr, "usage: corvane-endpoint-screenshots OUTPUT_DIRECTORY\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  // The stand-in agent's socket lives here, never beside a real agent's.
  QTemporaryDir services;
  xpc::ServicesDirectory servicesDirectory{services.path().toStdString()};
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(servicesDirectory);
  // Nothing is installed while rendering: the buttons are not pressed.
  platform::system_extensions::FakeSystemExtensionBackend backend;
  const platform::ScopedOverride<SystemExtensionBackend> backendInstalled(backend);

  app::MainWindow window(
      app::HelpActions{[] { return std::optional<QUrl>(); }, [](const QUrl&) {}});
  window.resize(1100, 760);
  window.show();
  settle();
  bool ok = save(window, out + "/install.png");

  // The later steps, scrolled into view.
  if (auto* steps = window.findChild<QScrollArea*>("instructionsScrollArea")) {
    steps->verticalScrollBar()->setValue(steps->verticalScrollBar()->maximum() / 2);
    ok = save(window, out + "/install-steps-middle.png") && ok;
    steps->verticalScrollBar()->setValue(steps->verticalScrollBar()->maximum());
    ok = save(window, out + "/install-steps-end.png") && ok;
    steps->verticalScrollBar()->setValue(0);
  }

  window.resize(760, 600);
  ok = save(window, out + "/install-narrow.png") && ok;
  window.resize(1100, 760);

  app::ContentView* content = window.contentView();
  content->setSelection(std::string(app::kUninstallAgentId));
  using Status = app::ProgramStatus::AgentInstalledStatus;
  const std::pair<Status, const char*> statuses[] = {
      {Status::Initial, "uninstall-unknown"},
      {Status::WatchagentActive, "uninstall-installed"},
      {Status::WatchagentRemoved, "uninstall-removed"}};
  for (const auto& [status, name] : statuses) {
    app::ProgramStatus::shared().setAgentStatus(status);
    ok = save(window, out + "/" + name + ".png") && ok;
  }

  // A request waiting for an administrator, and one that failed.
  app::RequestActivity::shared().set(
      app::RequestActivity::Operation::uninstalling, app::RequestActivity::Phase::needsApproval,
      "Administrator rights are needed. A PolicyKit window asks for an administrator's password; "
      "once it is given, the agent is stopped and removed.");
  ok = save(window, out + "/uninstall-approval.png") && ok;
  content->setSelection(std::string(app::kInstallAgentId));
  app::RequestActivity::shared().set(
      app::RequestActivity::Operation::installing, app::RequestActivity::Phase::failed,
      "Administrator authentication was dismissed or refused; nothing was changed.");
  ok = save(window, out + "/install-failed.png") && ok;
  app::RequestActivity::shared().set(app::RequestActivity::Operation::none,
                                     app::RequestActivity::Phase::idle, "");

  // Events with no agent serving, then live from the stand-in agent.
  content->setSelection(std::string(app::kEventsId));
  app::EventFeed& feed = content->eventMonitor().feed();
  settleUntil([&] { return feed.state() == app::EventFeed::State::notRunning; });
  ok = save(window, out + "/events-no-agent.png") && ok;
  {
    app::sample::SampleAgent agent{std::string(ipc::kMachServiceName)};
    settleUntil([&] { return agent.clients() > 0 && feed.state() == app::EventFeed::State::live; });
    for (std::size_t n = 0; n < 140; ++n) agent.broadcast(app::sample::eventDocument(n));
    settleUntil([&] { return content->eventMonitor().model().rowCount() >= 140; });
    settle();
    if (auto* table = window.findChild<QTableView*>("eventsTable")) {
      table->selectRow(table->model()->rowCount() - 3);  // an ssh login
      table->scrollToBottom();
    }
    ok = save(window, out + "/events.png") && ok;
    window.resize(760, 600);
    ok = save(window, out + "/events-narrow.png") && ok;
    window.resize(1100, 760);

    content->setSelection(std::string(app::kProcessesId));
    settleUntil([&] {
      auto* table = window.findChild<QTableView*>("processesTable");
      return table && table->model()->rowCount() > 0;
    });
    ok = save(window, out + "/processes.png") && ok;
    window.resize(760, 600);
    ok = save(window, out + "/processes-narrow.png") && ok;
    window.resize(1100, 760);
  }

  // The open Help menu, drawn over the window where it pops up.
  content->setSelection(std::string(app::kInstallAgentId));
  settle();
  QMenu* help = window.findChild<QMenu*>("helpMenu");
  QMenuBar* bar = window.menuBar();
  const QRect titleRect = bar->actionGeometry(help->menuAction());
  help->popup(bar->mapToGlobal(titleRect.bottomLeft()));
  help->setActiveAction(window.helpAction());
  settle();
  QPixmap shot = window.grab();
  {
    QPainter painter(&shot);
    painter.drawPixmap(window.mapFromGlobal(help->mapToGlobal(QPoint(0, 0))), help->grab());
  }
  const QString menuPath = out + "/help-menu.png";
  const bool menuOk = shot.save(menuPath);
  std::printf("%s %s\n", menuOk ? "wrote" : "FAILED", qPrintable(menuPath));
  help->hide();
  ok = ok && menuOk;

  return ok ? 0 : 1;
}
