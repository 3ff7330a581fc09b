#include "app/views/InstallAgentView.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/install/AgentInstallManager.h"
#include "app/install/SystemExtensionManager.h"
#include "app/views/InlineMarkdown.h"
#include "app/views/InstructionImage.h"
#include "app/views/RequestMessage.h"
#include "ipc/Identifiers.h"

namespace app {
namespace {

constexpr qreal kImageMaxSize = 500;
constexpr qreal kImageMaxPercentage = 0.8;

QLabel* text(const QString& markdown, QWidget* parent) {
  auto* label = new QLabel(inlineMarkdownToHtml(markdown), parent);
  label->setTextFormat(Qt::RichText);
  label->setWordWrap(true);
  return label;
}

}  // namespace

InstallAgentView::InstallAgentView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("installAgentView"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addStretch();

  auto* hint = text(QStringLiteral("See instructions to the right \u2192"), this);
  hint->setObjectName(QStringLiteral("installHint"));
  hint->setAlignment(Qt::AlignHCenter);
  layout->addWidget(hint);
  layout->addSpacing(8);

  auto* start = text(QStringLiteral("Click Install to get started."), this);
  start->setObjectName(QStringLiteral("installPrompt"));
  start->setAlignment(Qt::AlignHCenter);
  start->setForegroundRole(QPalette::WindowText);
  layout->addWidget(start);

  installButton_ = new QPushButton(QStringLiteral("Install"), this);
  installButton_->setObjectName(QStringLiteral("installButton"));
  QObject::connect(installButton_, &QPushButton::clicked, this, [] { installExtension(); });
  layout->addWidget(installButton_, 0, Qt::AlignHCenter);
  layout->addSpacing(20);
  auto* message = new RequestMessage(RequestActivity::Operation::installing, this);
  message->setObjectName(QStringLiteral("installMessage"));
  layout->addWidget(message);
  layout->addStretch();

  installManager_ = std::make_unique<ObservedObject>(
      this, AgentInstallManager::shared().objectWillChange(), [this] { update(); });
}

InstallAgentInstructionsView::InstallAgentInstructionsView(QWidget* parent) : QScrollArea(parent) {
  setObjectName(QStringLiteral("instructionsScrollArea"));
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameShape(QFrame::NoFrame);

  auto* content = new QWidget;
  content->setObjectName(QStringLiteral("instructionsContent"));
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  layout->setAlignment(Qt::AlignTop);

  const auto title = [&](const QString& words) {
    auto* label = text(words, content);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.1);
    label->setFont(font);
    label->setProperty("kind", QStringLiteral("title"));
    layout->addWidget(label);
    layout->addSpacing(8);
  };
  const auto paragraph = [&](const QString& words) {
    auto* label = text(words, content);
    label->setProperty("kind", QStringLiteral("paragraph"));
    layout->addWidget(label);
    layout->addSpacing(8);
  };
  const auto image = [&](const QString& name, int bottomPadding) {
    auto* picture = new InstructionImage(name, kImageMaxSize, kImageMaxPercentage, content);
    picture->setProperty("kind", QStringLiteral("image"));
    layout->addWidget(picture, 0, Qt::AlignLeft);
    if (bottomPadding) layout->addSpacing(bottomPadding);
  };
  const auto divider = [&] {
    auto* line = new QFrame(content);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setProperty("kind", QStringLiteral("divider"));
    layout->addWidget(line);
    layout->addSpacing(16);
  };

  const std::string group(ipc::kAllowedClientGroup);
  const QString whoMayAsk = group.empty()
                                ? QStringLiteral("as root")
                                : QStringLiteral("as root or as a member of the group **%1**")
                                      .arg(QString::fromStdString(group));

  title(QStringLiteral("Step 1: Click Install Button"));
  paragraph(
      QStringLiteral("Click the **Install** button on the left to install the endpoint "
                     "agent or reinstall a new agent."));
  image(QStringLiteral("ClickInstall"), 0);
  divider();
  title(QStringLiteral("Step 2: Authenticate as an Administrator"));
  paragraph(
      QStringLiteral("After clicking **Install**, PolicyKit opens an **Authentication Required** "
                     "window: \u201CAuthentication is required to install or remove the Corvane "
                     "Endpoint agent, which runs as root.\u201D"));
  paragraph(
      QStringLiteral("Choose an administrator if asked, type that administrator's password and "
                     "click **Authenticate**. **Cancel** changes nothing; the reason then shows "
                     "under the Install button."));
  image(QStringLiteral("AuthenticateAdministrator"), 0);
  divider();
  title(QStringLiteral("Step 3: The Agent Starts"));
  paragraph(
      QStringLiteral("The agent now runs as the system service **watchagent**. Where systemd "
                     "runs the computer, it starts with the computer and is restarted if it "
                     "stops; elsewhere it runs until the computer restarts: click **Install** "
                     "again then."));
  paragraph(
      QStringLiteral("Under **Uninstall agent**, **Agent Status: Installed** means the agent's "
                     "service answers. **Events** shows what it reports, live."));
  image(QStringLiteral("AgentInstalled"), 0);
  divider();
  title(QStringLiteral("Step 4: Check the Agent"));
  paragraph(
      QStringLiteral("In a terminal, **systemctl status watchagent** shows the service "
                     "**active (running)**."));
  paragraph(QStringLiteral("**watchctl ping**, run %1, answers **established**.").arg(whoMayAsk));
  image(QStringLiteral("CheckTheAgent"), 8);

  setWidget(content);
}

QList<QWidget*> InstallAgentInstructionsView::steps() const {
  QList<QWidget*> children;
  const QLayout* layout = widget()->layout();
  for (int i = 0; i < layout->count(); ++i) {
    if (QWidget* child = layout->itemAt(i)->widget()) children.append(child);
  }
  return children;
}

InstallAgentViewWrapper::InstallAgentViewWrapper(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("installAgentViewWrapper"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);

  auto* split = new QSplitter(Qt::Horizontal, this);
  split->setObjectName(QStringLiteral("installSplitter"));
  split->setChildrenCollapsible(false);

  // The frame of 300 wide holds the padded view, as the padding is applied inside it.
  auto* left = new QWidget(split);
  left->setObjectName(QStringLiteral("installPane"));
  left->setFixedWidth(kInstallPaneWidth);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding,
                                 kDefaultPadding);
  leftLayout->addWidget(new InstallAgentView(left));

  auto* right = new QWidget(split);
  right->setObjectName(QStringLiteral("instructionsPane"));
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(kDefaultPadding, kDefaultPadding, kDefaultPadding,
                                  kDefaultPadding);
  rightLayout->addWidget(new InstallAgentInstructionsView(right));

  split->addWidget(left);
  split->addWidget(right);
  split->setStretchFactor(0, 0);
  split->setStretchFactor(1, 1);
  layout->addWidget(split);
}

}  // namespace app
