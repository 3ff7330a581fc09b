// The fanotify launch-item source end to end (needs root): items written, renamed and removed by
// a child process, in a test tree and in the machine's own /etc, reach a client as exactly one
// document per action, naming the child as instigator.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/endpoint_security/launch_items/LaunchItemRules.h"
#include "platform/endpoint_security/launch_items/LaunchItemSource.h"
#include "platform/log/Log.h"
#include "tests/endpoint_security/launch_items/SourceHarness.h"

using namespace platform::es;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::vector<es_event_type_t> kLaunchKinds = {ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD,
                                                   ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE};

// Runs `action` in a child process and returns the child's pid once it has exited 0.
pid_t inChild(const std::function<bool()>& action) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(action() ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return pid;
}

bool writeFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

// Removes the paths it was given when it goes, whatever the test's outcome.
struct Cleanup {
  std::vector<std::string> paths;
  ~Cleanup() {
    for (const auto& p : paths) {
      std::error_code ignored;
      fs::remove_all(p, ignored);
    }
  }
};

bool isAdd(const model::EsMessage& m, const std::string& path) {
  return m.btmLaunchItemAdd && m.btmLaunchItemAdd->item.itemUrl == "file://" + path;
}
bool isRemove(const model::EsMessage& m, const std::string& path) {
  return m.btmLaunchItemRemove && m.btmLaunchItemRemove->item.itemUrl == "file://" + path;
}

struct ItemCase {
  std::string folder;  // where the item is written
  std::string name;
  std::string renamed;
  std::string text;
  es_btm_item_type_t type;
  bool legacy;
  std::optional<std::string> executable;
};

class LaunchItemSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "fanotify needs root";
    char dir[] = "/tmp/launch-items-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    tree_ = dir;
    cleanup_.paths.push_back(tree_);
    for (const char* sub : {"/root/etc/systemd/system", "/root/etc/xdg/autostart",
                            "/root/etc/cron.d", "/home/user/.config/autostart", "/dpkg/info"}) {
      fs::create_directories(tree_ + sub);
    }
    std::ofstream(tree_ + "/passwd") << "user:x:4321:4321::" << tree_ << "/home/user:/bin/sh\n";
    std::ofstream(tree_ + "/dpkg/info/fixture.list")
        << tree_ << "/root/etc/systemd/system/packaged.service\n";
  }

  void start(LaunchItemOptions options) {
    options.writeWait = 300ms;
    harness_ = std::make_unique<es_test::SourceHarness>(
        [options] { return makeLaunchItemSource(options); }, tree_ + "/dpkg");
    harness_->start(kLaunchKinds);
  }

  LaunchItemOptions testTree() const {
    LaunchItemOptions options;
    options.root = tree_ + "/root";
    options.passwdFile = tree_ + "/passwd";
    return options;
  }

  // Writes, renames and removes the item from a child each; checks each document.
  void writeRenameRemove(const ItemCase& c, uid_t uid) {
    const std::string path = c.folder + "/" + c.name;
    const std::string renamed = c.folder + "/" + c.renamed;
    cleanup_.paths.push_back(path);
    cleanup_.paths.push_back(renamed);
    const auto began = std::chrono::steady_clock::now();
    const pid_t writer = inChild([&] { return writeFile(path, c.text); });
    const auto added = harness_->waitFor([&](const auto& m) { return isAdd(m, path); });
    ASSERT_TRUE(added) << path;
    latencies_.push_back(added->arrived - began);
    const auto& add = *added->record.btmLaunchItemAdd;
    EXPECT_EQ(added->record.eventType, 124u);
    EXPECT_EQ(added->record.process.pid, writer);
    ASSERT_TRUE(add.instigator);
    EXPECT_EQ(add.instigator->pid, writer);
    EXPECT_FALSE(add.app);
    EXPECT_EQ(add.item.itemType, c.type);
    EXPECT_EQ(add.item.legacy, c.legacy);
    EXPECT_FALSE(add.item.managed);
    EXPECT_EQ(add.item.uid, uid);
    EXPECT_FALSE(add.item.appUrl);
    EXPECT_EQ(add.executablePath, c.executable);
    // The document a client gets reads back to the same record.
    const auto decoded = model::decode<model::EsMessage>(added->json);
    ASSERT_TRUE(decoded) << decoded.error().describe();
    EXPECT_EQ(decoded.value(), added->record);

    const pid_t mover = inChild([&] { return ::rename(path.c_str(), renamed.c_str()) == 0; });
    const auto gone = harness_->waitFor([&](const auto& m) { return isRemove(m, path); });
    const auto moved = harness_->waitFor([&](const auto& m) { return isAdd(m, renamed); });
    ASSERT_TRUE(gone && moved);
    EXPECT_EQ(gone->record.btmLaunchItemRemove->instigator->pid, mover);
    EXPECT_EQ(gone->record.btmLaunchItemRemove->item.uid, uid);
    EXPECT_EQ(moved->record.btmLaunchItemAdd->instigator->pid, mover);
    EXPECT_EQ(moved->record.btmLaunchItemAdd->executablePath, c.executable);

    const pid_t remover = inChild([&] { return ::unlink(renamed.c_str()) == 0; });
    const auto removed = harness_->waitFor([&](const auto& m) { return isRemove(m, renamed); });
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->record.eventType, 125u);
    EXPECT_EQ(removed->record.btmLaunchItemRemove->instigator->pid, remover);
    EXPECT_FALSE(removed->record.btmLaunchItemAdd);
  }

  // Every action of writeRenameRemove gave exactly one document.
  void expectOncePerAction(const ItemCase& c) {
    std::this_thread::sleep_for(400ms);  // longer than the write wait: late duplicates show
    const std::string path = c.folder + "/" + c.name;
    const std::string renamed = c.folder + "/" + c.renamed;
    EXPECT_EQ(harness_->count([&](const auto& m) { return isAdd(m, path); }), 1u) << path;
    EXPECT_EQ(harness_->count([&](const auto& m) { return isRemove(m, path); }), 1u) << path;
    EXPECT_EQ(harness_->count([&](const auto& m) { return isAdd(m, renamed); }), 1u) << renamed;
    EXPECT_EQ(harness_->count([&](const auto& m) { return isRemove(m, renamed); }), 1u) << renamed;
  }

  std::vector<ItemCase> cases(const std::string& root, const std::string& tag) const {
    return {
        {root + "/etc/systemd/system", tag + ".service", tag + "-2.service",
         "[Unit]\nDescription=test\n[Service]\nExecStart=/usr/bin/sleep 1\n", kBtmItemDaemon, false,
         "/usr/bin/sleep"},
        {root + "/etc/xdg/autostart", tag + ".desktop", tag + "-2.desktop",
         "[Desktop Entry]\nType=Application\nExec=/usr/bin/true --x\n", kBtmItemLoginItem, false,
         "/usr/bin/true"},
        {root + "/etc/cron.d", tag, tag + "-2", "* * * * * root /usr/bin/id\n", kBtmItemDaemon,
         true, "/usr/bin/id"},
    };
  }

  std::string tree_;
  Cleanup cleanup_;
  std::unique_ptr<es_test::SourceHarness> harness_;
  std::vector<std::chrono::steady_clock::duration> latencies_;
};

TEST_F(LaunchItemSourceTest, ReportsItemsOfATestTreeOncePerActionWithTheirWriter) {
  start(testTree());
  if (IsSkipped()) return;
  for (const ItemCase& c : cases(tree_ + "/root", "item")) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(writeRenameRemove(c, 0));
  }
  const ItemCase user = {tree_ + "/home/user/.config/autostart",
                         "tray.desktop",
                         "tray2.desktop",
                         "[Desktop Entry]\nExec=\"/opt/my tray\"\n",
                         kBtmItemLoginItem,
                         false,
                         "/opt/my tray"};
  ASSERT_NO_FATAL_FAILURE(writeRenameRemove(user, 4321));
  for (const ItemCase& c : cases(tree_ + "/root", "item")) expectOncePerAction(c);
  expectOncePerAction(user);
  for (const auto& latency : latencies_) {
    std::printf("[ latency ] action to document: %.2f ms\n",
                std::chrono::duration<double, std::milli>(latency).count());
  }
}

// Removes what an earlier run that crashed (no destructors ran) left in the real folders: items
// named after a test process that is gone.
void removeStaleItems(const std::string& folder) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename();
    if (name.rfind("watchagent-test-", 0) != 0) continue;
    const pid_t owner = static_cast<pid_t>(std::atoi(name.c_str() + 16));
    if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) fs::remove(entry.path(), error);
  }
}

TEST_F(LaunchItemSourceTest, ReportsItemsUnderTheMachinesOwnEtc) {
  const std::string tag = "watchagent-test-" + std::to_string(::getpid());
  std::vector<ItemCase> real;
  for (const ItemCase& c : cases("", tag)) {
    if (!fs::is_directory(c.folder)) continue;
    removeStaleItems(c.folder);
    real.push_back(c);
  }
  if (real.empty()) GTEST_SKIP() << "none of the item folders exists here";
  LaunchItemOptions options;
  options.passwdFile = tree_ + "/passwd";  // the machine's homes are not this test's business
  start(options);
  if (IsSkipped()) return;
  for (const ItemCase& c : real) {
    SCOPED_TRACE(c.folder + "/" + c.name);
    ASSERT_NO_FATAL_FAILURE(writeRenameRemove(c, 0));
  }
  for (const ItemCase& c : real) expectOncePerAction(c);
}

TEST_F(LaunchItemSourceTest, RewritesLinksPackagesAndMergedCreateDelete) {
  start(testTree());
  if (IsSkipped()) return;
  const std::string units = tree_ + "/root/etc/systemd/system";
  // A packaged unit rewritten in place: one add per completed write, managed.
  const std::string packaged = units + "/packaged.service";
  ASSERT_TRUE(writeFile(packaged, "[Service]\nExecStart=/bin/old\n"));
  ASSERT_TRUE(harness_->waitFor([&](const auto& m) { return isAdd(m, packaged); }));
  const pid_t editor =
      inChild([&] { return writeFile(packaged, "[Service]\nExecStart=/bin/new\n"); });
  const auto rewritten = harness_->waitFor([&](const auto& m) {
    return isAdd(m, packaged) && m.btmLaunchItemAdd->instigator->pid == editor;
  });
  ASSERT_TRUE(rewritten);
  EXPECT_TRUE(rewritten->record.btmLaunchItemAdd->item.managed);
  EXPECT_EQ(rewritten->record.btmLaunchItemAdd->executablePath, "/bin/new");

  // Enabling a unit: a *.wants folder created now is watched at once, its link is an item.
  const std::string wants = units + "/multi-user.target.wants";
  const std::string link = wants + "/packaged.service";
  const pid_t enabler = inChild([&] {
    return ::mkdir(wants.c_str(), 0755) == 0 && ::symlink(packaged.c_str(), link.c_str()) == 0;
  });
  const auto enabled = harness_->waitFor([&](const auto& m) { return isAdd(m, link); });
  ASSERT_TRUE(enabled);
  EXPECT_TRUE(enabled->record.btmLaunchItemAdd->item.managed);  // points at a packaged unit
  EXPECT_EQ(enabled->record.btmLaunchItemAdd->executablePath, "/bin/new");
  if (enabled->record.btmLaunchItemAdd->instigator) {
    EXPECT_EQ(enabled->record.btmLaunchItemAdd->instigator->pid, enabler);
  }

  // Created and removed at once: both actions, in order.
  const std::string brief = units + "/brief.service";
  inChild([&] { return writeFile(brief, "") && ::unlink(brief.c_str()) == 0; });
  ASSERT_TRUE(harness_->waitFor([&](const auto& m) { return isRemove(m, brief); }));
  std::this_thread::sleep_for(400ms);
  std::vector<std::string> order;
  for (const auto& d : harness_->all()) {
    if (isAdd(d.record, brief)) order.push_back("add");
    if (isRemove(d.record, brief)) order.push_back("remove");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"add", "remove"}));
  EXPECT_EQ(harness_->count([&](const auto& m) { return isAdd(m, link); }), 1u);
  // Scratch files of editors are no items.
  ASSERT_TRUE(writeFile(units + "/.packaged.service.swp", "x"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(
      harness_->count([&](const auto& m) { return isAdd(m, units + "/.packaged.service.swp"); }),
      0u);
}

TEST_F(LaunchItemSourceTest, FindsFoldersThatAppearLater) {
  LaunchItemOptions options = testTree();
  options.rescan = 200ms;
  start(options);
  if (IsSkipped()) return;
  // A folder made after start, with an item already in it when it is found.
  const std::string folder = tree_ + "/home/user/.config/systemd/user";
  fs::create_directories(folder);
  ASSERT_TRUE(writeFile(folder + "/early.service", "ExecStart=/bin/early\n"));
  const auto early =
      harness_->waitFor([&](const auto& m) { return isAdd(m, folder + "/early.service"); });
  ASSERT_TRUE(early);
  EXPECT_FALSE(early->record.btmLaunchItemAdd->instigator);
  EXPECT_EQ(early->record.btmLaunchItemAdd->item.uid, 4321);
  const pid_t writer =
      inChild([&] { return writeFile(folder + "/late.service", "ExecStart=/bin/late\n"); });
  const auto late =
      harness_->waitFor([&](const auto& m) { return isAdd(m, folder + "/late.service"); });
  ASSERT_TRUE(late);
  EXPECT_EQ(late->record.btmLaunchItemAdd->instigator->pid, writer);
  std::this_thread::sleep_for(500ms);  // two more rescans: nothing reported twice
  EXPECT_EQ(harness_->count([&](const auto& m) { return isAdd(m, folder + "/early.service"); }),
            1u);
  EXPECT_EQ(harness_->count([&](const auto& m) { return isAdd(m, folder + "/late.service"); }), 1u);
}

// A storm of creations: every item is reported, or the loss is logged (fanotify's queue holds
// 16384 records; behind a stalled handler it overflows, and the folders are listed again to find
// the lost changes). Never a silent gap, never a duplicate.
struct StormCase {
  const char* name;
  int files;
  bool stalled;  // the handler held until all files exist: fanotify's queue overflows
  friend void PrintTo(const StormCase& c, std::ostream* out) { *out << c.name; }
};

class LaunchItemStormTest : public LaunchItemSourceTest,
                            public ::testing::WithParamInterface<StormCase> {};

TEST_P(LaunchItemStormTest, IsReportedOrItsLossLogged) {
  platform::log::Capture capture;
  start(testTree());
  if (IsSkipped()) return;
  const std::size_t kFiles = static_cast<std::size_t>(GetParam().files);
  if (GetParam().stalled) harness_->hold();
  const std::string units = tree_ + "/root/etc/systemd/system";
  for (std::size_t i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(writeFile(units + "/storm-" + std::to_string(i) + ".service", "ExecStart=/x\n"));
  }
  const auto isStorm = [&](const model::EsMessage& m) {
    return m.btmLaunchItemAdd &&
           m.btmLaunchItemAdd->item.itemUrl.find("/storm-") != std::string::npos;
  };
  const auto lossLogged = [&] {
    for (const auto& line : capture.lines()) {
      if (line.find("fanotify queue overflow (") != std::string::npos &&
          line.find("changes lost;") != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  harness_->release();
  // Done when every creation arrived, or when arrivals stop after a logged loss.
  std::size_t seen = 0;
  for (int quiet = 0; quiet < 20;) {
    std::this_thread::sleep_for(100ms);
    const std::size_t now = harness_->count(isStorm);
    quiet = now == seen ? quiet + 1 : 0;
    seen = now;
    if (seen == kFiles) break;
  }
  EXPECT_TRUE(seen == kFiles || lossLogged())
      << seen << " of " << kFiles << " reported, no loss logged";
  std::printf("[ storm ] %zu of %zu creations reported%s\n", seen, kFiles,
              lossLogged() ? ", loss logged" : "");
  if (GetParam().stalled) {
    // The overflow is logged, and listing the folders again finds what its records held.
    EXPECT_TRUE(lossLogged());
    EXPECT_EQ(seen, kFiles);
  }
  // Each at most once.
  std::set<std::string> distinct;
  for (const auto& d : harness_->all()) {
    if (isStorm(d.record)) distinct.insert(d.record.btmLaunchItemAdd->item.itemUrl);
  }
  EXPECT_EQ(distinct.size(), seen);
}

INSTANTIATE_TEST_SUITE_P(Storms, LaunchItemStormTest,
                         ::testing::Values(StormCase{"keepsUp", 10000, false},
                                           StormCase{"overflows", 24000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
