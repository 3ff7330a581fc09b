#include "app/views/UninstallAgentView.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/install/SystemExtensionManager.h"
#include "app/state/ProgramStatus.h"
#include "app/views/RequestMessage.h"

namespace app {

UninstallAgentView::UninstallAgentView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("uninstallAgentView"));
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(0);
  layout->addStretch();

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("agentStatusLabel"));
  status_->setTextFormat(Qt::PlainText);
  status_->setAlignment(Qt::AlignHCenter);
  layout->addWidget(status_, 0, Qt::AlignHCenter);
  layout->addSpacing(20);

  remove_ = new QPushButton(QStringLiteral("Remove"), this);
  remove_->setObjectName(QStringLiteral("removeButton"));
  QObject::connect(remove_, &QPushButton::clicked, this, [] { removeExtension(); });
  layout->addWidget(remove_, 0, Qt::AlignHCenter);
  layout->addSpacing(12);
  auto* message = new RequestMessage(RequestActivity::Operation::uninstalling, this);
  message->setObjectName(QStringLiteral("removeMessage"));
  // Across the pane: a centred item would keep the height of one line when its text wraps.
  layout->addWidget(message);
  layout->addStretch();

  refresh();
  programStatus_ = std::make_unique<ObservedObject>(
      this, ProgramStatus::shared().objectWillChange(), [this] { refresh(); });
}

void UninstallAgentView::refresh() {
  const std::string_view text = displayText(ProgramStatus::shared().agentStatus());
  status_->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace app
