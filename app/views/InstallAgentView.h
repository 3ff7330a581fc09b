// The install screen: the Install button on a fixed 300-wide left pane, the five enabling steps
// beside it.
#pragma once

#include <QScrollArea>
#include <QWidget>
#include <memory>

#include "app/views/ObservedObject.h"

class QPushButton;

namespace app {

inline constexpr int kDefaultPadding = 16;  // the toolkit's default padding around a pane
inline constexpr int kInstallPaneWidth = 300;

class InstallAgentView : public QWidget {
 public:
  explicit InstallAgentView(QWidget* parent = nullptr);
  QPushButton* installButton() const { return installButton_; }

 private:
  QPushButton* installButton_;
  // Redraws on every change of the install manager, though nothing shown depends on it.
  std::unique_ptr<ObservedObject> installManager_;
};

// The 23 children of the steps, top to bottom.
class InstallAgentInstructionsView : public QScrollArea {
 public:
  explicit InstallAgentInstructionsView(QWidget* parent = nullptr);
  // The children in display order (the spacing between them is not among them).
  QList<QWidget*> steps() const;
};

class InstallAgentViewWrapper : public QWidget {
 public:
  explicit InstallAgentViewWrapper(QWidget* parent = nullptr);
};

}  // namespace app
