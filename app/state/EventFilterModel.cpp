#include "app/state/EventFilterModel.h"

#include "app/state/EventTableModel.h"

namespace app {

EventFilterModel::EventFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {}

void EventFilterModel::setKind(int kind) {
  if (kind == kind_) return;
  kind_ = kind;
  invalidateRowsFilter();
}

void EventFilterModel::setText(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed == text_) return;
  text_ = trimmed;
  invalidateRowsFilter();
}

bool EventFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  const auto* events = static_cast<const EventTableModel*>(sourceModel());
  const EventRow& row = events->row(sourceRow);
  if (kind_ >= 0 && row.kind != kind_) return false;
  if (text_.isEmpty()) return true;
  const auto has = [&](const QString& field) { return field.contains(text_, Qt::CaseInsensitive); };
  return has(row.path) || has(row.detail) || has(row.kindName()) || has(row.user) ||
         (row.pid >= 0 && QString::number(row.pid) == text_);
}

}  // namespace app
