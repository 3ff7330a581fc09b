#include "app/views/ProcessesView.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTime>
#include <QVBoxLayout>

#include "app/ipc/AgentSession.h"
#include "app/ipc/EventFeed.h"
#include "app/state/ProcessTableModel.h"
#include "platform/system_extensions/SystemExtensions.h"

namespace app {

ProcessesView::ProcessesView(std::string serviceName, QWidget* parent)
    : QWidget(parent), serviceName_(std::move(serviceName)) {
  setObjectName(QStringLiteral("processesView"));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("processesStatus"));
  status_->setWordWrap(true);
  status_->setTextFormat(Qt::PlainText);
  refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
  refresh_->setObjectName(QStringLiteral("processesRefreshButton"));
  top->addWidget(status_, 1);
  top->addWidget(refresh_);
  layout->addLayout(top);

  model_ = new ProcessTableModel(this);
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(model_);
  sorted_->setSortCaseSensitivity(Qt::CaseInsensitive);
  table_ = new QTableView(this);
  table_->setObjectName(QStringLiteral("processesTable"));
  table_->setModel(sorted_);
  table_->setSortingEnabled(true);
  table_->sortByColumn(ProcessTableModel::PidColumn, Qt::AscendingOrder);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setAlternatingRowColors(true);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->horizontalHeader()->resizeSection(
      ProcessTableModel::PidColumn, table_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 10);
  layout->addWidget(table_, 1);

  QObject::connect(refresh_, &QPushButton::clicked, this, [this] { refresh(); });
  status_->setText(QStringLiteral("Refresh asks the agent for its process table."));
}

ProcessesView::~ProcessesView() = default;

void ProcessesView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!askedOnce_) refresh();
}

void ProcessesView::refresh() {
  askedOnce_ = true;
  if (session_) return;  // an answer is on its way
  refresh_->setEnabled(false);
  status_->setText(QStringLiteral("Asking the agent for its process table\u2026"));
  AgentSession::Handlers handlers;
  handlers.ended = [this](const AgentUnreachable& why) {
    answered(std::nullopt, why.reason == AgentUnreachable::Reason::accessDenied
                               ? accessDeniedAdvice()
                               : why.description);
  };
  session_ = AgentSession::open(serviceName_, std::move(handlers));
  session_->requestProcessTable(
      [this](std::optional<std::string> table, const AgentUnreachable& why) {
        answered(table, why.description);
      });
}

void ProcessesView::answered(const std::optional<std::string>& table, const std::string& failure) {
  if (!session_) return;  // the other half of the answer came first
  // Called from the session's own block: it is let go of once that block has returned.
  dispatch_async(dispatch_get_main_queue(),
                 [done = std::shared_ptr<AgentSession>(std::move(session_))] {});
  refresh_->setEnabled(true);
  const QString at = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
  if (!table) {
    status_->setText(QString::fromStdString(failure));
    return;
  }
  if (!model_->setDocument(QByteArray::fromStdString(*table))) {
    status_->setText(QStringLiteral("The agent's process table could not be read."));
    return;
  }
  table_->sortByColumn(table_->horizontalHeader()->sortIndicatorSection(),
                       table_->horizontalHeader()->sortIndicatorOrder());
  status_->setText(QStringLiteral("%1 processes, as of %2.").arg(model_->entries().size()).arg(at));
}

}  // namespace app
