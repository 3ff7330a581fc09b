// The events screen: what the agent reports, live. A line about the connection and the count of
// documents received, the filters and Pause, the table of the newest events, and the selected
// event's document below it. The rows arrive in batches from a timer, a few dozen times a
// second, however fast the agent sends.
#pragma once

#include <QWidget>
#include <memory>

#include "app/views/ObservedObject.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace app {

class EventFilterModel;
class EventMonitor;

class EventsView : public QWidget {
 public:
  static constexpr int kBatchIntervalMs = 30;

  // The monitor must outlive the view.
  explicit EventsView(EventMonitor& monitor, QWidget* parent = nullptr);

  QTableView* table() const { return table_; }
  EventFilterModel* filter() const { return filter_; }
  // Whether the table shows the rows through the filter (a kind or a text is chosen).
  bool filtering() const;

 private:
  void takeBatch();
  void useFilterWhenNeeded();
  void watchSelection();
  void refreshState();
  void refreshCount();
  void showSelected();
  void setPaused(bool paused);

  EventMonitor& monitor_;
  EventFilterModel* filter_;
  QLabel* state_;
  QLabel* count_;
  QComboBox* kind_;
  QLineEdit* text_;
  QPushButton* pause_;
  QTableView* table_;
  QPlainTextEdit* detail_;
  QTimer* timer_;
  std::unique_ptr<ObservedObject> feed_;
};

}  // namespace app
