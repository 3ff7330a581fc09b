// The window's content: the sidebar of navigation entries and the detail chosen by selection.
#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "app/state/ProgramStatus.h"

class QListWidget;
class QSplitter;
class QVBoxLayout;

namespace app {

class EventMonitor;

class ContentView : public QWidget {
 public:
  // Each window shows the entries of its own ProgramStatus.
  explicit ContentView(QWidget* parent = nullptr);

  const std::optional<std::string>& selection() const { return selection_; }
  void setSelection(std::optional<std::string> selection);

  ~ContentView() override;

  ProgramStatus& programStatus() { return *programStatus_; }
  // The window's event stream and table; made when the events screen is first shown.
  EventMonitor& eventMonitor();
  QListWidget* sidebar() const { return sidebar_; }
  QWidget* detail() const { return detail_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void showDetail();

  std::unique_ptr<ProgramStatus> programStatus_;
  std::unique_ptr<EventMonitor> eventMonitor_;
  std::optional<std::string> selection_;
  QSplitter* splitter_;
  QListWidget* sidebar_;
  QWidget* detailHost_;
  QVBoxLayout* detailLayout_;
  QWidget* detail_ = nullptr;
};

}  // namespace app
