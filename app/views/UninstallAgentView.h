// The uninstall screen: what the application believes about the agent, and the Remove button.
// Observes ProgramStatus::shared(), so every open window shows the same status.
#pragma once

#include <QWidget>
#include <memory>

#include "app/views/ObservedObject.h"

class QLabel;
class QPushButton;

namespace app {

class UninstallAgentView : public QWidget {
 public:
  explicit UninstallAgentView(QWidget* parent = nullptr);
  QLabel* statusLabel() const { return status_; }
  QPushButton* removeButton() const { return remove_; }

 private:
  void refresh();

  QLabel* status_;
  QPushButton* remove_;
  std::unique_ptr<ObservedObject> programStatus_;
};

}  // namespace app
