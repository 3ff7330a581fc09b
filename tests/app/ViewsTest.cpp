// The window, found by object names: sidebar and selection, the install screen's fixed pane and
// its 23 steps, the image sizing rule, the uninstall screen's status after each outcome, the
// Help command.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QVBoxLayout>
#include <fstream>
#include <optional>

#include "AppTestSupport.h"
#include "app/install/AgentInstallManager.h"
#include "app/install/SystemExtensionManager.h"
#include "app/state/ProgramStatus.h"
#include "app/support/MainBundle.h"
#include "app/views/ContentView.h"
#include "app/views/InlineMarkdown.h"
#include "app/views/InstallAgentView.h"
#include "app/views/InstructionImage.h"
#include "app/views/MainWindow.h"
#include "app/views/UninstallAgentView.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/system_extensions/FakeSystemExtensions.h"

namespace {

using app::ProgramStatus;
using Status = ProgramStatus::AgentInstalledStatus;
using testsupport::drainMainQueue;

app::HelpActions noHelp() {
  return {[] { return std::optional<QUrl>(); }, [](const QUrl&) {}};
}

// The plain text of a rich-text label and the runs shown in bold.
struct Rendered {
  QString plain;
  QStringList bold;
};
Rendered render(const QString& html) {
  QTextDocument document;
  document.setHtml(html);
  Rendered out{document.toPlainText(), {}};
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (fragment.charFormat().fontWeight() >= QFont::Bold) out.bold << fragment.text();
    }
  }
  return out;
}

QString detailText(app::ContentView& content) {
  auto* label = qobject_cast<QLabel*>(content.detail());
  return label ? label->text() : QString();
}

class ViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drainMainQueue();
    installed.emplace(*backend);
    app::SystemExtensionManager::shared().operation =
        app::SystemExtensionManager::Operation::unknown;
    app::AgentInstallManager::shared().setAgentInstalled(false);
    ProgramStatus::shared().setAgentStatus(Status::Initial);
    drainMainQueue();
  }
  void TearDown() override {
    installed.reset();
    drainMainQueue();
  }

  std::shared_ptr<platform::system_extensions::FakeSystemExtensionBackend> backend =
      std::make_shared<platform::system_extensions::FakeSystemExtensionBackend>();
  std::optional<platform::ScopedOverride<SystemExtensionBackend>> installed;
};

TEST_F(ViewsTest, ANewWindowListsTheEntriesAndOpensOnTheInstallScreen) {
  app::MainWindow window(noHelp());
  app::ContentView& content = *window.contentView();
  // Before the sidebar is shown nothing is chosen.
  EXPECT_FALSE(content.selection());
  EXPECT_EQ(detailText(content), "Hello2");

  window.show();
  drainMainQueue();
  QListWidget* sidebar = window.findChild<QListWidget*>("sidebar");
  ASSERT_TRUE(sidebar);
  ASSERT_EQ(sidebar->count(), 4);
  EXPECT_EQ(sidebar->item(0)->text(), "Install agent");
  EXPECT_EQ(sidebar->item(1)->text(), "Uninstall agent");
  EXPECT_EQ(sidebar->item(2)->text(), "Events");
  EXPECT_EQ(sidebar->item(3)->text(), "Processes");
  EXPECT_EQ(content.selection(), "InstallAgentId");
  EXPECT_EQ(sidebar->currentRow(), 0);
  EXPECT_EQ(content.detail()->objectName(), "installAgentViewWrapper");
  EXPECT_TRUE(window.findChild<QPushButton*>("installButton"));

  // Shown again, a chosen row stays chosen.
  sidebar->setCurrentRow(1);
  window.hide();
  window.show();
  EXPECT_EQ(content.selection(), "UninstallAgentId");
}

TEST_F(ViewsTest, TheSelectionChoosesTheDetail) {
  app::ContentView content;
  content.show();
  const std::pair<std::optional<std::string>, QString> cases[] = {
      {std::nullopt, "Hello2"},
      {"UninstallAgentId", "uninstallAgentView"},
      {"InstallAgentId", "installAgentViewWrapper"},
      {"SomethingElse", "Hello1"},
      {"installagentid", "Hello1"},
      {"", "Hello1"},
  };
  for (const auto& [selection, expected] : cases) {
    content.setSelection(selection);
    const QString shown =
        detailText(content).isEmpty() ? content.detail()->objectName() : detailText(content);
    EXPECT_EQ(shown, expected) << selection.value_or("(none)");
  }
  // Choosing a row is choosing its id.
  content.sidebar()->setCurrentRow(1);
  EXPECT_EQ(content.selection(), "UninstallAgentId");
  EXPECT_EQ(content.detail()->objectName(), "uninstallAgentView");
}

TEST_F(ViewsTest, TheUninstallScreenShowsEachOutcomeOfTheButtons) {
  app::MainWindow window(noHelp());
  window.show();
  drainMainQueue();
  app::ContentView& content = *window.contentView();
  const auto status = [&] {
    auto* label = window.findChild<QLabel*>("agentStatusLabel");
    return label ? label->text() : QString("(no status label)");
  };

  content.setSelection("UninstallAgentId");
  EXPECT_EQ(status(), "Agent Status: Unkown");
  ASSERT_TRUE(window.findChild<QPushButton*>("removeButton"));

  content.setSelection("InstallAgentId");
  QTest::mouseClick(window.findChild<QPushButton*>("installButton"), Qt::LeftButton);
  ASSERT_EQ(backend->sessions().size(), 1u);
  EXPECT_EQ(backend->last()->request().action(), OSSystemExtensionRequest::Action::activate);
  backend->last()->finish(OSSystemExtensionRequestResultCompleted);
  drainMainQueue();
  content.setSelection("UninstallAgentId");
  EXPECT_EQ(status(), "Agent Status: Installed");

  // The screen stays open while the removal completes, and follows it.
  QTest::mouseClick(window.findChild<QPushButton*>("removeButton"), Qt::LeftButton);
  ASSERT_EQ(backend->sessions().size(), 2u);
  EXPECT_EQ(backend->last()->request().action(), OSSystemExtensionRequest::Action::deactivate);
  EXPECT_EQ(status(), "Agent Status: Installed");
  backend->last()->finish(OSSystemExtensionRequestResultCompleted);
  drainMainQueue();
  EXPECT_EQ(status(), "Agent Status: Removed");

  QTest::mouseClick(window.findChild<QPushButton*>("removeButton"), Qt::LeftButton);
  backend->last()->fail({OSSystemExtensionErrorCode::extensionNotFound, "nothing to remove"});
  drainMainQueue();
  EXPECT_EQ(status(), "Agent Status: Removed");
  // The window's own status object is not the one that changed.
  EXPECT_EQ(content.programStatus().agentStatus(), Status::Initial);
}

TEST_F(ViewsTest, EveryOpenUninstallScreenFollowsTheSharedStatus) {
  app::MainWindow first(noHelp()), second(noHelp());
  for (app::MainWindow* window : {&first, &second}) {
    window->show();
    window->contentView()->setSelection("UninstallAgentId");
  }
  ProgramStatus::shared().setAgentStatus(Status::WatchagentActive);
  drainMainQueue();
  for (app::MainWindow* window : {&first, &second})
    EXPECT_EQ(window->findChild<QLabel*>("agentStatusLabel")->text(), "Agent Status: Installed");
}

TEST_F(ViewsTest, TheInstallPaneStaysThreeHundredWide) {
  app::MainWindow window(noHelp());
  window.show();
  drainMainQueue();
  for (const QSize size : {QSize(1100, 760), QSize(1600, 900), QSize(820, 600), QSize(1300, 500)}) {
    window.resize(size);
    drainMainQueue();
    QWidget* pane = window.findChild<QWidget*>("installPane");
    QWidget* instructions = window.findChild<QWidget*>("instructionsPane");
    ASSERT_TRUE(pane && instructions);
    EXPECT_EQ(pane->width(), 300) << size.width();
    EXPECT_GT(instructions->width(), 0) << size.width();
    EXPECT_GT(instructions->x(), pane->x());
  }
}

TEST_F(ViewsTest, TheInstructionsAreTheFourLinuxStepsInOrder) {
  enum Kind { Title, Paragraph, Image, Divider };
  struct Step {
    Kind kind;
    QString content;  // plain text, or the image's name
    QStringList bold;
    int paddingBelow;
  };
  // Who may ask the agent depends on the group the build lets in.
  const QString group = QString::fromUtf8(ipc::kAllowedClientGroup.data(),
                                          static_cast<qsizetype>(ipc::kAllowedClientGroup.size()));
  const QString watchctl = group.isEmpty()
                               ? "watchctl ping, run as root, answers established."
                               : "watchctl ping, run as root or as a member of the group " + group +
                                     ", answers established.";
  QStringList watchctlBold{"watchctl ping"};
  if (!group.isEmpty()) watchctlBold << group;
  watchctlBold << "established";
  const std::vector<Step> expected = {
      {Title, "Step 1: Click Install Button", {}, 8},
      {Paragraph,
       "Click the Install button on the left to install the endpoint agent or reinstall a new "
       "agent.",
       {"Install"},
       8},
      {Image, "ClickInstall", {}, 0},
      {Divider, "", {}, 16},
      {Title, "Step 2: Authenticate as an Administrator", {}, 8},
      {Paragraph,
       "After clicking Install, PolicyKit opens an Authentication Required window: "
       "\u201CAuthentication is required to install or remove the Corvane Endpoint agent, which "
       "runs as root.\u201D",
       {"Install", "Authentication Required"},
       8},
      {Paragraph,
       "Choose an administrator if asked, type that administrator's password and click "
       "Authenticate. Cancel changes nothing; the reason then shows under the Install button.",
       {"Authenticate", "Cancel"},
       8},
      {Image, "AuthenticateAdministrator", {}, 0},
      {Divider, "", {}, 16},
      {Title, "Step 3: The Agent Starts", {}, 8},
      {Paragraph,
       "The agent now runs as the system service watchagent. Where systemd runs the computer, it "
       "starts with the computer and is restarted if it stops; elsewhere it runs until the "
       "computer restarts: click Install again then.",
       {"watchagent", "Install"},
       8},
      {Paragraph,
       "Under Uninstall agent, Agent Status: Installed means the agent's service answers. "
       "Events shows what it reports, live.",
       {"Uninstall agent", "Agent Status: Installed", "Events"},
       8},
      {Image, "AgentInstalled", {}, 0},
      {Divider, "", {}, 16},
      {Title, "Step 4: Check the Agent", {}, 8},
      {Paragraph,
       "In a terminal, systemctl status watchagent shows the service active (running).",
       {"systemctl status watchagent", "active (running)"},
       8},
      {Paragraph, watchctl, watchctlBold, 8},
      {Image, "CheckTheAgent", {}, 8},
  };

  app::InstallAgentInstructionsView view;
  EXPECT_EQ(view.verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
  const QList<QWidget*> steps = view.steps();
  ASSERT_EQ(steps.size(), static_cast<qsizetype>(expected.size()));
  const QLayout* layout = view.widget()->layout();
  for (int i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i + 1));
    const Step& step = expected[static_cast<std::size_t>(i)];
    QWidget* widget = steps[i];
    switch (step.kind) {
      case Title:
      case Paragraph: {
        auto* label = qobject_cast<QLabel*>(widget);
        ASSERT_TRUE(label);
        const Rendered shown = render(label->text());
        EXPECT_EQ(shown.plain, step.content);
        EXPECT_EQ(shown.bold, step.bold);
        EXPECT_EQ(label->font().bold(), step.kind == Title);
        break;
      }
      case Image: {
        auto* image = dynamic_cast<app::InstructionImage*>(widget);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->name(), step.content);
        EXPECT_DOUBLE_EQ(image->widthBound(), 500);
        break;
      }
      case Divider: {
        auto* line = qobject_cast<QFrame*>(widget);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->frameShape(), QFrame::HLine);
        break;
      }
    }
    const int index = layout->indexOf(widget);
    QLayoutItem* next = layout->itemAt(index + 1);
    const int padding = next && next->spacerItem() ? next->spacerItem()->sizeHint().height() : 0;
    EXPECT_EQ(padding, step.paddingBelow);
  }
}

TEST(InstructionImage, TheBoundIsTheSmallerOfMaxSizeAndAShareOfTheNaturalWidth) {
  const auto pixmap = [](int width, qreal ratio = 1.0) {
    QPixmap image(width, width / 2);
    image.fill(Qt::darkCyan);
    image.setDevicePixelRatio(ratio);
    return image;
  };
  const std::pair<QPixmap, qreal> cases[] = {
      {pixmap(400), 320},      {pixmap(600), 480},       {pixmap(700), 500}, {pixmap(1000), 500},
      {QPixmap(), 500},        {pixmap(1250, 2.0), 500},  // counts at half its pixels: 625 points
      {pixmap(800, 2.0), 320},
  };
  for (const auto& [image, bound] : cases) {
    app::InstructionImage shown("x", image, 500, 0.8);
    EXPECT_DOUBLE_EQ(shown.widthBound(), bound) << image.width() << " px";
    EXPECT_EQ(shown.maximumWidth(), static_cast<int>(bound));
    EXPECT_EQ(shown.hasImage(), !image.isNull());
  }
}

TEST(InstructionImage, ItIsShownAtItsBoundAndShrinksWithANarrowPane) {
  QPixmap image(1000, 400);
  image.fill(Qt::darkCyan);
  QWidget pane;
  auto* layout = new QVBoxLayout(&pane);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* shown = new app::InstructionImage("x", image, 500, 0.8, &pane);
  layout->addWidget(shown, 0, Qt::AlignLeft);
  layout->addStretch();
  pane.show();
  const std::pair<int, QSize> cases[] = {
      {1200, QSize(500, 200)}, {300, QSize(300, 120)}, {500, QSize(500, 200)}};
  for (const auto& [width, drawn] : cases) {
    pane.resize(width, 800);
    drainMainQueue();
    EXPECT_EQ(shown->imageRect().size(), drawn) << "pane " << width;
    EXPECT_EQ(shown->x(), 0) << "leading edge";
  }

  app::InstructionImage missing("NoSuchImage", 500, 0.8);
  EXPECT_FALSE(missing.hasImage());
  EXPECT_DOUBLE_EQ(missing.widthBound(), 500);
  EXPECT_TRUE(missing.imageRect().isEmpty());
}

TEST(Resources, TheShippedIllustrationsAreSharpAtTheirBoundAndTheIconIsThere) {
  for (const char* name :
       {"ClickInstall", "AuthenticateAdministrator", "AgentInstalled", "CheckTheAgent"}) {
    const QPixmap image = app::InstructionImage::named(name);
    ASSERT_FALSE(image.isNull()) << name;
    app::InstructionImage shown(name, 500, 0.8);
    EXPECT_DOUBLE_EQ(shown.widthBound(), 500) << name;
    // At least two pixels per point at the bound: sharp on a double-density screen too.
    EXPECT_GE(image.width(), 1000) << name;
  }
  EXPECT_EQ(QPixmap(QString::fromUtf8(app::kApplicationIcon)).width(), 256);
}

TEST(InlineMarkdown, MarksBoldAndShowsEverythingElseAsWritten) {
  const std::tuple<QString, QString, QStringList> cases[] = {
      {"Click the **Install** button", "Click the Install button", {"Install"}},
      {"select **Privacy & Security**.", "select Privacy & Security.", {"Privacy & Security"}},
      {"**a** and **b**", "a and b", {"a", "b"}},
      {"unpaired ** stays", "unpaired ** stays", {}},
      {"empty **** pair", "empty **** pair", {}},
      {"<b>not markup</b> & more", "<b>not markup</b> & more", {}},
      {"arrow \u2192", "arrow \u2192", {}},
  };
  for (const auto& [markdown, plain, bold] : cases) {
    const Rendered shown = render(app::inlineMarkdownToHtml(markdown));
    EXPECT_EQ(shown.plain, plain) << markdown.toStdString();
    EXPECT_EQ(shown.bold, bold) << markdown.toStdString();
  }
}

TEST_F(ViewsTest, HelpOpensTheDocumentationWhenItIsThere) {
  const QUrl documentation = QUrl::fromLocalFile("/opt/corvane/documentation.html");
  for (const bool present : {true, false}) {
    std::vector<QUrl> opened;
    app::MainWindow window({[&]() -> std::optional<QUrl> {
                              if (present) return documentation;
                              return std::nullopt;
                            },
                            [&](const QUrl& url) { opened.push_back(url); }});
    QAction* help = window.findChild<QAction*>("helpAction");
    ASSERT_TRUE(help);
    EXPECT_EQ(help->text(), "Corvane Endpoint Help");
    help->trigger();
    EXPECT_EQ(opened, present ? std::vector<QUrl>{documentation} : std::vector<QUrl>{});
  }
}

TEST(MainBundle, FindsResourcesAndProgramsWhereTheyShip) {
  testsupport::TemporaryDirectory dir;
  for (const char* sub : {"bin", "share", "libexec", "build"})
    std::filesystem::create_directory(dir / sub);
  const auto file = [](const std::string& path, mode_t mode) {
    std::ofstream(path) << "x";
    ::chmod(path.c_str(), mode);
  };
  file(dir / "share/documentation.html", 0644);
  file(dir / "libexec/watchagent", 0755);
  file(dir / "build/watchagent", 0755);
  file(dir / "build/corvane-endpoint-installer", 0755);
  file(dir / "bin/corvane-endpoint-installer", 0644);  // not executable: not a program

  const app::MainBundle bundle(
      {dir / "bin", dir / "share"}, {dir / "bin", dir / "libexec"},
      {dir / "build/watchagent", dir / "build/corvane-endpoint-installer"});
  EXPECT_EQ(bundle.urlForResource("documentation", "html"), dir / "share/documentation.html");
  EXPECT_EQ(bundle.urlForResource("documentation", "pdf"), std::nullopt);
  EXPECT_EQ(bundle.pathForAuxiliaryExecutable("watchagent"), dir / "libexec/watchagent");
  EXPECT_EQ(bundle.pathForAuxiliaryExecutable("corvane-endpoint-installer"),
            dir / "build/corvane-endpoint-installer");
  EXPECT_EQ(bundle.pathForAuxiliaryExecutable("watchctl"), std::nullopt);
}

}  // namespace
