// The events table: the most recent event rows, oldest first, taken in batches so that a fast
// stream costs one insertion (and at most one removal) per batch. Main thread only.
#pragma once

#include <QAbstractTableModel>
#include <deque>
#include <vector>

#include "app/state/EventRow.h"

namespace app {

class EventTableModel final : public QAbstractTableModel {
 public:
  // The columns of `watchctl stream --format table`, in its order.
  enum Column {
    TimeColumn,
    KindColumn,
    PidColumn,
    PpidColumn,
    UserColumn,
    PathColumn,
    DetailColumn,
    ColumnCount
  };
  static constexpr std::size_t kDefaultCapacity = 50'000;

  explicit EventTableModel(std::size_t capacity = kDefaultCapacity, QObject* parent = nullptr);

  // Appends a batch, then lets go of the oldest rows beyond the capacity.
  void append(std::vector<EventRow> batch);
  void clear();

  const EventRow& row(int index) const { return rows_[static_cast<std::size_t>(index)]; }
  std::size_t capacity() const { return capacity_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  std::size_t capacity_;
  std::deque<EventRow> rows_;
};

}  // namespace app
