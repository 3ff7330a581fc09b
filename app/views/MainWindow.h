// One window of the application: the content view and the Help menu.
#pragma once

#include <QMainWindow>
#include <QUrl>
#include <functional>
#include <optional>

class QAction;

namespace app {

class ContentView;

inline constexpr const char* kApplicationName = "Corvane Endpoint";
inline constexpr const char* kApplicationIcon = ":/icons/corvane-endpoint-256.png";

struct HelpActions {
  // The documentation among the application's resources, if it is there.
  std::function<std::optional<QUrl>()> documentationURL;
  // Opens a file with the desktop's default handler; the answer is not looked at.
  std::function<void(const QUrl&)> open;

  static HelpActions standard();
};

class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(HelpActions help = HelpActions::standard(), QWidget* parent = nullptr);

  // Run whenever the window is shown or becomes active again: asks the agent how it is.
  void setAgentStatusCheck(std::function<void()> check) { statusCheck_ = std::move(check); }

  ContentView* contentView() const { return content_; }
  QAction* helpAction() const { return helpAction_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  std::function<void()> statusCheck_;
  ContentView* content_;
  QAction* helpAction_;
};

}  // namespace app
