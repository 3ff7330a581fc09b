// Renders what a user of Corvane Endpoint sees to PNG files: the install screen (wide and
// narrow), the uninstall screen in each status, and the open Help menu.
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
#include <cstdio>

#include "app/state/ProgramStatus.h"
#include "app/views/ContentView.h"
#include "app/views/MainWindow.h"
#include "platform/system_extensions/FakeSystemExtensions.h"

namespace {

void settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
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
  // Nothing is installed while rendering: the buttons are not pressed.
  OSSystemExtensionManager::sharedManager().setBackend(
      std::make_shared<platform::system_extensions::FakeSystemExtensionBackend>());

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

  OSSystemExtensionManager::sharedManager().setBackend(nullptr);
  return ok ? 0 : 1;
}
