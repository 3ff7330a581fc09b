// The processes screen: the agent's process table, sortable by any column, asked for again
// with Refresh. The first request goes out when the screen is first shown.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

namespace app {

class AgentSession;
class ProcessTableModel;

class ProcessesView : public QWidget {
 public:
  ProcessesView(std::string serviceName, QWidget* parent = nullptr);
  ~ProcessesView() override;

  void refresh();
  ProcessTableModel* model() const { return model_; }
  QTableView* table() const { return table_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void answered(const std::optional<std::string>& table, const std::string& failure);

  std::string serviceName_;
  ProcessTableModel* model_;
  QSortFilterProxyModel* sorted_;
  QLabel* status_;
  QPushButton* refresh_;
  QTableView* table_;
  std::unique_ptr<AgentSession> session_;
  bool askedOnce_ = false;
};

}  // namespace app
