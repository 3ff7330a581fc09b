// The agent's process table (pid and executable of every process it could read), replaced as a
// whole by each new answer. Sorting is left to a proxy. Main thread only.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QString>
#include <vector>

namespace app {

class ProcessTableModel final : public QAbstractTableModel {
 public:
  enum Column { PidColumn, ExecutableColumn, ColumnCount };
  struct Entry {
    qint64 pid = 0;
    QString executable;
  };

  explicit ProcessTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Takes a process-table document; false, and the table unchanged, when it is not one.
  bool setDocument(const QByteArray& document);
  const std::vector<Entry>& entries() const { return entries_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::vector<Entry> entries_;
};

}  // namespace app
