#include "app/views/MainWindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QEvent>
#include <QMenuBar>

#include "app/support/MainBundle.h"
#include "app/views/ContentView.h"

namespace app {

HelpActions HelpActions::standard() {
  return {[]() -> std::optional<QUrl> {
            const auto file = MainBundle::mainBundle().urlForResource("documentation", "html");
            if (!file) return std::nullopt;
            return QUrl::fromLocalFile(QString::fromStdString(file->string()));
          },
          [](const QUrl& url) { QDesktopServices::openUrl(url); }};
}

MainWindow::MainWindow(HelpActions help, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("mainWindow"));
  content_ = new ContentView(this);
  setCentralWidget(content_);

  QMenu* menu = menuBar()->addMenu(QStringLiteral("&Help"));
  menu->setObjectName(QStringLiteral("helpMenu"));
  helpAction_ = menu->addAction(QString::fromUtf8(kApplicationName) + QStringLiteral(" Help"));
  helpAction_->setObjectName(QStringLiteral("helpAction"));
  helpAction_->setShortcut(QKeySequence::HelpContents);
  QObject::connect(helpAction_, &QAction::triggered, this, [help = std::move(help)] {
    if (const auto url = help.documentationURL()) help.open(*url);
  });
  resize(1100, 760);
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (statusCheck_) statusCheck_();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && statusCheck_) statusCheck_();
}

}  // namespace app
