#include "app/state/EventTableModel.h"

#include <QRegularExpression>
#include <algorithm>
#include <iterator>

namespace app {

EventTableModel::EventTableModel(std::size_t capacity, QObject* parent)
    : QAbstractTableModel(parent), capacity_(std::max<std::size_t>(capacity, 1)) {}

void EventTableModel::append(std::vector<EventRow> batch) {
  if (batch.empty()) return;
  // Rows that would leave again at once are never shown.
  auto first = batch.begin();
  if (batch.size() > capacity_) first += static_cast<std::ptrdiff_t>(batch.size() - capacity_);
  const std::size_t incoming = static_cast<std::size_t>(std::distance(first, batch.end()));

  const std::size_t overflow =
      rows_.size() + incoming > capacity_ ? rows_.size() + incoming - capacity_ : 0;
  if (overflow > 0) {
    beginRemoveRows({}, 0, static_cast<int>(overflow) - 1);
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(overflow));
    endRemoveRows();
  }
  const int start = static_cast<int>(rows_.size());
  beginInsertRows({}, start, start + static_cast<int>(incoming) - 1);
  rows_.insert(rows_.end(), std::make_move_iterator(first), std::make_move_iterator(batch.end()));
  endInsertRows();
}

void EventTableModel::clear() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

int EventTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant EventTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const EventRow& r = row(index.row());
  if (role == Qt::TextAlignmentRole &&
      (index.column() == PidColumn || index.column() == PpidColumn))
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  switch (index.column()) {
    case TimeColumn: {
      // The local time of day; the whole date and the zone's offset in the tooltip.
      const qsizetype t = r.time.indexOf(u'T');
      if (role == Qt::ToolTipRole || t < 0) return r.time;
      QString clock = r.time.mid(t + 1);
      const qsizetype zone = clock.indexOf(QRegularExpression(QStringLiteral("[Z+-]")));
      return zone < 0 ? clock : clock.left(zone);
    }
    case KindColumn:
      return r.kindName();
    case PathColumn:
      return r.path;
    case PidColumn:
      return r.pid < 0 ? QVariant() : QVariant(r.pid);
    case PpidColumn:
      return r.ppid < 0 ? QVariant() : QVariant(r.ppid);
    case UserColumn:
      return r.user;
    case DetailColumn:
      return r.detail;
    default:
      return {};
  }
}

QVariant EventTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case TimeColumn:
      return QStringLiteral("Time");
    case KindColumn:
      return QStringLiteral("Kind");
    case PathColumn:
      return QStringLiteral("Executable");
    case PidColumn:
      return QStringLiteral("PID");
    case PpidColumn:
      return QStringLiteral("PPID");
    case UserColumn:
      return QStringLiteral("User");
    case DetailColumn:
      return QStringLiteral("Detail");
    default:
      return {};
  }
}

}  // namespace app
