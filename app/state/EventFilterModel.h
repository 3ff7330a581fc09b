// Which event rows the table shows: one kind or all, and rows containing a text (in the kind,
// process path, pid or detail, case-insensitively). Keeps the stream's order. Its source is an
// EventTableModel. Main thread only.
#pragma once

#include <QSortFilterProxyModel>

namespace app {

class EventFilterModel final : public QSortFilterProxyModel {
 public:
  explicit EventFilterModel(QObject* parent = nullptr);

  // -1 shows every kind; otherwise an index into eventKinds().
  void setKind(int kind);
  void setText(const QString& text);
  int kind() const { return kind_; }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  int kind_ = -1;
  QString text_;
};

}  // namespace app
