#include "app/views/ContentView.h"

#include <QLabel>
#include <QListWidget>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/ipc/EventFeed.h"
#include "app/views/EventsView.h"
#include "app/views/InstallAgentView.h"
#include "app/views/ProcessesView.h"
#include "app/views/UninstallAgentView.h"
#include "ipc/Identifiers.h"

namespace app {
namespace {

constexpr int kIdRole = Qt::UserRole;

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

QLabel* placeholder(const QString& words, QWidget* parent) {
  auto* label = new QLabel(words, parent);
  label->setObjectName(QStringLiteral("detailText"));
  label->setAlignment(Qt::AlignCenter);
  return label;
}

}  // namespace

ContentView::ContentView(QWidget* parent)
    : QWidget(parent), programStatus_(std::make_unique<ProgramStatus>()) {
  setObjectName(QStringLiteral("contentView"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);

  splitter_ = new QSplitter(Qt::Horizontal, this);
  splitter_->setObjectName(QStringLiteral("navigationSplitter"));
  splitter_->setChildrenCollapsible(false);

  sidebar_ = new QListWidget(splitter_);
  sidebar_->setObjectName(QStringLiteral("sidebar"));
  sidebar_->setSelectionMode(QAbstractItemView::SingleSelection);
  sidebar_->setMinimumWidth(160);
  for (const auto& item : programStatus_->activeNavigationItems()) {
    auto* row = new QListWidgetItem(qs(item.menuName), sidebar_);
    row->setData(kIdRole, qs(item.id));
    row->setSizeHint(QSize(0, sidebar_->fontMetrics().height() + 14));
  }
  QObject::connect(sidebar_, &QListWidget::currentItemChanged, this,
                   [this](QListWidgetItem* current) {
                     if (current) setSelection(current->data(kIdRole).toString().toStdString());
                   });

  detailHost_ = new QWidget(splitter_);
  detailHost_->setObjectName(QStringLiteral("detail"));
  detailLayout_ = new QVBoxLayout(detailHost_);
  detailLayout_->setContentsMargins(0, 0, 0, 0);

  splitter_->addWidget(sidebar_);
  splitter_->addWidget(detailHost_);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({180, 900});
  layout->addWidget(splitter_);

  showDetail();
}

ContentView::~ContentView() {
  // The events view reads the monitor: it goes first.
  delete detail_;
  detail_ = nullptr;
}

EventMonitor& ContentView::eventMonitor() {
  if (!eventMonitor_)
    eventMonitor_ = std::make_unique<EventMonitor>(std::string(ipc::kMachServiceName));
  return *eventMonitor_;
}

void ContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  const auto& items = programStatus_->activeNavigationItems();
  if (!selection_ && !items.empty()) setSelection(items.front().id);
}

void ContentView::setSelection(std::optional<std::string> selection) {
  if (selection == selection_ && detail_) return;
  selection_ = std::move(selection);
  // Keep the list's highlight in step when the selection is set from outside.
  QListWidgetItem* match = nullptr;
  for (int i = 0; selection_ && i < sidebar_->count(); ++i) {
    if (sidebar_->item(i)->data(kIdRole).toString().toStdString() == *selection_)
      match = sidebar_->item(i);
  }
  if (sidebar_->currentItem() != match) {
    const QSignalBlocker block(sidebar_);
    sidebar_->setCurrentItem(match);
    if (!match) sidebar_->clearSelection();
  }
  showDetail();
}

void ContentView::showDetail() {
  if (detail_) {
    detailLayout_->removeWidget(detail_);
    delete detail_;
  }
  if (!selection_)
    detail_ = placeholder(QStringLiteral("Hello2"), detailHost_);
  else if (*selection_ == kInstallAgentId)
    detail_ = new InstallAgentViewWrapper(detailHost_);
  else if (*selection_ == kUninstallAgentId)
    detail_ = new UninstallAgentView(detailHost_);
  else if (*selection_ == kEventsId)
    detail_ = new EventsView(eventMonitor(), detailHost_);
  else if (*selection_ == kProcessesId)
    detail_ = new ProcessesView(std::string(ipc::kMachServiceName), detailHost_);
  else
    detail_ = placeholder(QStringLiteral("Hello1"), detailHost_);
  detailLayout_->addWidget(detail_);
  detail_->show();
}

}  // namespace app
