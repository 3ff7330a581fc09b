#include "app/state/ProcessTableModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace app {

bool ProcessTableModel::setDocument(const QByteArray& document) {
  const QJsonDocument parsed = QJsonDocument::fromJson(document);
  if (!parsed.isObject()) return false;
  const QJsonValue table = parsed.object().value(QLatin1String("table"));
  if (!table.isArray()) return false;
  std::vector<Entry> entries;
  entries.reserve(static_cast<std::size_t>(table.toArray().size()));
  for (const QJsonValue& item : table.toArray()) {
    const QJsonObject entry = item.toObject();
    if (!entry.value(QLatin1String("pid")).isDouble()) return false;
    entries.push_back({entry.value(QLatin1String("pid")).toInteger(),
                       entry.value(QLatin1String("executable")).toString()});
  }
  beginResetModel();
  entries_ = std::move(entries);
  endResetModel();
  return true;
}

int ProcessTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int ProcessTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant ProcessTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Entry& entry = entries_[static_cast<std::size_t>(index.row())];
  if (role == Qt::TextAlignmentRole && index.column() == PidColumn)
    return QVariant(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  return index.column() == PidColumn ? QVariant(entry.pid) : QVariant(entry.executable);
}

QVariant ProcessTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == PidColumn ? QStringLiteral("PID") : QStringLiteral("Executable");
}

}  // namespace app
