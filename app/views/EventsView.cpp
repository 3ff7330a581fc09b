#include "app/views/EventsView.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ipc/EventFeed.h"
#include "app/state/EventFilterModel.h"

namespace app {

EventsView::EventsView(EventMonitor& monitor, QWidget* parent)
    : QWidget(parent), monitor_(monitor) {
  setObjectName(QStringLiteral("eventsView"));
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  state_ = new QLabel(this);
  state_->setObjectName(QStringLiteral("eventsState"));
  state_->setWordWrap(true);
  state_->setTextFormat(Qt::PlainText);
  count_ = new QLabel(this);
  count_->setObjectName(QStringLiteral("eventsCount"));
  top->addWidget(state_, 1);
  top->addWidget(count_);
  layout->addLayout(top);

  auto* filters = new QHBoxLayout;
  kind_ = new QComboBox(this);
  kind_->setObjectName(QStringLiteral("eventsKindFilter"));
  kind_->addItem(QStringLiteral("All kinds"), -1);
  int index = 0;
  for (const ipc::EventKindName& kind : eventKinds()) {
    kind_->addItem(
        QString::fromLatin1(kind.eventDesc.data(), static_cast<qsizetype>(kind.eventDesc.size())),
        index++);
  }
  text_ = new QLineEdit(this);
  text_->setObjectName(QStringLiteral("eventsTextFilter"));
  text_->setPlaceholderText(QStringLiteral("Filter by path, pid, user or detail"));
  text_->setClearButtonEnabled(true);
  pause_ = new QPushButton(QStringLiteral("Pause"), this);
  pause_->setObjectName(QStringLiteral("eventsPauseButton"));
  filters->addWidget(kind_);
  filters->addWidget(text_, 1);
  filters->addWidget(pause_);
  layout->addLayout(filters);

  filter_ = new EventFilterModel(this);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->setObjectName(QStringLiteral("eventsSplitter"));
  split->setChildrenCollapsible(false);
  table_ = new QTableView(split);
  table_->setObjectName(QStringLiteral("eventsTable"));
  table_->setModel(&monitor_.model());
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setWordWrap(false);
  table_->setAlternatingRowColors(true);
  table_->verticalHeader()->hide();
  // Fixed row heights and column widths: a batch never makes the view measure its rows.
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(true);
  const int digit = table_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  header->resizeSection(EventTableModel::TimeColumn, digit * 12);
  header->resizeSection(EventTableModel::KindColumn, digit * 18);
  header->resizeSection(EventTableModel::PathColumn, digit * 26);
  header->resizeSection(EventTableModel::PidColumn, digit * 8);
  header->resizeSection(EventTableModel::PpidColumn, digit * 8);
  header->resizeSection(EventTableModel::UserColumn, digit * 10);
  detail_ = new QPlainTextEdit(split);
  detail_->setObjectName(QStringLiteral("eventsDetail"));
  detail_->setReadOnly(true);
  detail_->setPlaceholderText(QStringLiteral("Select an event to see its document."));
  detail_->setFont(QFont(QStringLiteral("DejaVu Sans Mono")));
  split->addWidget(table_);
  split->addWidget(detail_);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  layout->addWidget(split, 1);

  QObject::connect(kind_, &QComboBox::currentIndexChanged, this, [this] {
    const int kind = kind_->currentData().toInt();
    filter_->setKind(kind);
    useFilterWhenNeeded();
    // The agent is asked for the chosen kind only, so it spends nothing on the others.
    ipc::Subscription wanted;
    if (kind >= 0) {
      wanted.kinds.reset();
      wanted.kinds.set(static_cast<std::size_t>(kind));
    }
    monitor_.feed().setSubscription(std::move(wanted));
  });
  QObject::connect(text_, &QLineEdit::textChanged, this, [this](const QString& words) {
    filter_->setText(words);
    useFilterWhenNeeded();
  });
  QObject::connect(pause_, &QPushButton::clicked, this, [this] { setPaused(!monitor_.paused()); });
  watchSelection();

  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("eventsBatchTimer"));
  QObject::connect(timer_, &QTimer::timeout, this, [this] { takeBatch(); });
  timer_->start(kBatchIntervalMs);

  feed_ = std::make_unique<ObservedObject>(this, monitor_.feed().objectWillChange(),
                                           [this] { refreshState(); });
  setPaused(monitor_.paused());
  refreshState();
  refreshCount();
  monitor_.feed().start();
}

bool EventsView::filtering() const {
  return table_->model() == filter_;
}

void EventsView::useFilterWhenNeeded() {
  // Unfiltered, the table shows the rows directly and the filter is detached: a proxy redoes its
  // mapping of every row for each batch that lets old rows go.
  const bool wanted = filter_->kind() >= 0 || !text_->text().trimmed().isEmpty();
  if (wanted == filtering()) return;
  if (wanted) {
    filter_->setSourceModel(&monitor_.model());
    table_->setModel(filter_);
  } else {
    table_->setModel(&monitor_.model());
    filter_->setSourceModel(nullptr);
  }
  watchSelection();
  table_->scrollToBottom();
  showSelected();
}

void EventsView::watchSelection() {
  QObject::connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
                   [this] { showSelected(); });
}

void EventsView::takeBatch() {
  QScrollBar* bar = table_->verticalScrollBar();
  const bool following = bar->value() == bar->maximum();
  if (monitor_.drain() > 0 && following) table_->scrollToBottom();
  refreshCount();
}

void EventsView::refreshState() {
  state_->setText(QString::fromStdString(monitor_.feed().stateText()));
  const bool trouble = monitor_.feed().state() != EventFeed::State::live &&
                       monitor_.feed().state() != EventFeed::State::connecting;
  state_->setProperty("trouble", trouble);
  state_->setStyleSheet(trouble ? QStringLiteral("color: #b3261e;") : QString());
}

void EventsView::refreshCount() {
  const QString number = QLocale().toString(static_cast<qulonglong>(monitor_.received()));
  count_->setText(number + (monitor_.received() == 1 ? QStringLiteral(" document received")
                                                     : QStringLiteral(" documents received")));
}

void EventsView::showSelected() {
  const QModelIndex current =
      filtering() ? filter_->mapToSource(table_->currentIndex()) : table_->currentIndex();
  if (!current.isValid()) {
    detail_->clear();
    return;
  }
  detail_->setPlainText(indentedJson(monitor_.model().row(current.row()).document()));
}

void EventsView::setPaused(bool paused) {
  monitor_.setPaused(paused);
  pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}

}  // namespace app
