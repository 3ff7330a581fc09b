// The launch-item rules on fixed paths, masks and texts: which paths are items and what they
// are, how merged fanotify masks become adds and removals, and what an item runs.
#include <gtest/gtest.h>
#include <sys/fanotify.h>

#include <map>

#include "platform/endpoint_security/launch_items/LaunchItemRules.h"

using namespace platform::es;

namespace {

const std::vector<Account> kAccounts = {{"root", 0, "/root"}, {"alice", 1000, "/home/alice"}};

struct PathCase {
  const char* path;
  bool item;
  es_btm_item_type_t type = 0;
  bool legacy = false;
  uid_t uid = 0;
  ItemFormat format = ItemFormat::Script;
};

TEST(LaunchItemRules, ClassifiesPathsByTheirFolder) {
  using F = ItemFormat;
  const PathCase cases[] = {
      {"/etc/systemd/system/evil.service", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/etc/systemd/system/evil.timer", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/etc/systemd/system/multi-user.target.wants/evil.service", true, kBtmItemDaemon, false, 0,
       F::SystemdUnit},
      {"/etc/systemd/system/evil.service.d", false},  // a drop-in folder, not an item
      {"/etc/systemd/system/.evil.service.swp", false},
      {"/etc/systemd/system/evil.service~", false},
      {"/etc/systemd/system/evil.service.dpkg-new", false},
      {"/etc/systemd/system/notes.txt", false},
      {"/etc/systemd/system/a/b/evil.service", false},
      {"/etc/systemd/system/foo.wants/evil.service", false},  // "foo" is no unit
      {"/etc/systemd/user/tray.service", true, kBtmItemAgent, false, 0, F::SystemdUnit},
      {"/usr/local/lib/systemd/system/x.socket", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/usr/local/lib/systemd/user/x.service", true, kBtmItemAgent, false, 0, F::SystemdUnit},
      {"/home/alice/.config/systemd/user/x.service", true, kBtmItemAgent, false, 1000,
       F::SystemdUnit},
      {"/home/alice/.config/systemd/user/default.target.wants/x.service", true, kBtmItemAgent,
       false, 1000, F::SystemdUnit},
      {"/home/alice/.config/autostart/x.desktop", true, kBtmItemLoginItem, false, 1000, F::Desktop},
      {"/home/alice/.config/autostart/x.txt", false},
      {"/home/bob/.config/autostart/x.desktop", false},  // no such account
      {"/root/.config/autostart/x.desktop", true, kBtmItemLoginItem, false, 0, F::Desktop},
      {"/etc/xdg/autostart/x.desktop", true, kBtmItemLoginItem, false, 0, F::Desktop},
      {"/etc/xdg/autostart/.desktop", false},
      {"/etc/cron.d/backup", true, kBtmItemDaemon, true, 0, F::SystemCron},
      {"/etc/cron.d/backup.sh", false},  // cron skips names with dots
      {"/etc/crontab", true, kBtmItemDaemon, true, 0, F::SystemCron},
      {"/etc/rc.local", true, kBtmItemDaemon, true, 0, F::Script},
      {"/etc/passwd", false},
      {"/var/spool/cron/crontabs/alice", true, kBtmItemAgent, true, 1000, F::UserCron},
      {"/var/spool/cron/crontabs/tmp.XyZ123", false},
      {"/etc/init.d/evil", true, kBtmItemDaemon, true, 0, F::Script},
      {"/etc/init.d/README", false},
      {"/", false},
      {"relative/evil.service", false},
      // Every folder the system and user managers read, drop-ins included; not what systemd
      // writes itself.
      {"/etc/systemd/system/evil.service.d/override.conf", true, kBtmItemDaemon, false, 0,
       F::UnitDropIn},
      {"/etc/systemd/system/evil.service.d/notes.txt", false},
      {"/etc/systemd/system/service.d/all.conf", true, kBtmItemDaemon, false, 0, F::UnitDropIn},
      {"/etc/systemd/system/a-.service.d/x.conf", true, kBtmItemDaemon, false, 0, F::UnitDropIn},
      {"/etc/systemd/system/nounit.d/x.conf", false},
      {"/etc/systemd/system.control/x.service.d/50-x.conf", true, kBtmItemDaemon, false, 0,
       F::UnitDropIn},
      {"/usr/lib/systemd/system/x.service", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/lib/systemd/system/x.service", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/run/systemd/system/x.service", true, kBtmItemDaemon, false, 0, F::SystemdUnit},
      {"/run/systemd/transient/run-u1.service", false},
      {"/run/systemd/generator/x.service", false},
      {"/etc/xdg/systemd/user/x.service", true, kBtmItemAgent, false, 0, F::SystemdUnit},
      {"/usr/lib/systemd/user/x.service", true, kBtmItemAgent, false, 0, F::SystemdUnit},
      {"/home/alice/.local/share/systemd/user/x.service", true, kBtmItemAgent, false, 1000,
       F::SystemdUnit},
      {"/home/alice/.config/systemd/user.control/x.service", true, kBtmItemAgent, false, 1000,
       F::SystemdUnit},
      {"/home/alice/.config/systemd/user/x.service.d/a.conf", true, kBtmItemAgent, false, 1000,
       F::UnitDropIn},
      {"/run/user/1000/systemd/user/x.service", true, kBtmItemAgent, false, 1000, F::SystemdUnit},
      {"/run/user/1000/systemd/transient/x.service", false},
  };
  const auto folders = itemFolders("", kAccounts);
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path);
    const auto facts = classify(folders, kAccounts, c.path);
    ASSERT_EQ(facts.has_value(), c.item);
    if (!facts) continue;
    EXPECT_EQ(facts->type, c.type);
    EXPECT_EQ(facts->legacy, c.legacy);
    EXPECT_EQ(facts->uid, c.uid);
    EXPECT_EQ(facts->format, c.format);
    EXPECT_EQ(facts->path, c.path);
    EXPECT_EQ(facts->url, std::string("file://") + c.path);
  }
}

TEST(LaunchItemRules, RootPrefixesSystemFoldersButNotHomes) {
  const std::vector<Account> accounts = {{"u", 1234, "/tmp/t/home/u"}};
  const auto folders = itemFolders("/tmp/t", accounts);
  EXPECT_TRUE(classify(folders, accounts, "/tmp/t/etc/systemd/system/a.service"));
  EXPECT_FALSE(classify(folders, accounts, "/etc/systemd/system/a.service"));
  const auto user = classify(folders, accounts, "/tmp/t/home/u/.config/autostart/a.desktop");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->uid, 1234u);
}

TEST(LaunchItemRules, ParsesPasswdSkippingBrokenLines) {
  const auto accounts = parsePasswd(
      "root:x:0:0:root:/root:/bin/bash\n"
      "alice:x:1000:1000:Alice,,,:/home/alice:/bin/bash\n"
      "broken:x:12ab:0::/home/broken:/bin/sh\n"
      "short:x:5:5\n"
      "nohome:x:7:7:::/bin/sh\n"
      "big:x:4294967296:0::/home/big:/bin/sh\n"
      "last:x:1001:1001::/home/last:/bin/sh");
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[1].name, "alice");
  EXPECT_EQ(accounts[1].uid, 1000u);
  EXPECT_EQ(accounts[1].home, "/home/alice");
  EXPECT_EQ(accounts[2].name, "last");
}

TEST(LaunchItemRules, FileUrlPercentEncodesAllButUnreservedBytes) {
  EXPECT_EQ(fileUrl("/etc/init.d/a-b_c.d~"), "file:///etc/init.d/a-b_c.d~");
  EXPECT_EQ(fileUrl("/x/a b%c?#\n"), "file:///x/a%20b%25c%3F%23%0A");
  EXPECT_EQ(fileUrl("/x/\xc3\xa9\xff"), "file:///x/%C3%A9%FF");
}

struct TextCase {
  ItemFormat format;
  const char* text;
  std::optional<std::string> executable;
};

TEST(LaunchItemRules, FindsWhatAnItemRuns) {
  using F = ItemFormat;
  const TextCase cases[] = {
      {F::SystemdUnit, "[Service]\nExecStart=/usr/bin/evil --flag\n", "/usr/bin/evil"},
      {F::SystemdUnit, "[Service]\nExecStartPre=/bin/pre\nExecStart=-/bin/a b\n", "/bin/a"},
      {F::SystemdUnit, "[Service]\nExecStart=@/bin/real argv0\n", "/bin/real"},
      {F::SystemdUnit, "[Service]\nExecStart=!!/bin/priv\n", "/bin/priv"},
      {F::SystemdUnit, "[Service]\nExecStart=\"/opt/my app/run\" x\n", "/opt/my app/run"},
      {F::SystemdUnit, "[Service]\nExecStart=\n", std::nullopt},
      {F::SystemdUnit, "[Unit]\nDescription=target only\n", std::nullopt},
      {F::SystemdUnit, "[Service]\nExecStart=\"unterminated\n", std::nullopt},
      {F::Desktop, "[Desktop Entry]\nName=x\nExec=/usr/bin/tray %U\n", "/usr/bin/tray"},
      {F::Desktop, "[Desktop Entry]\nTryExec=/bin/no\nExec[de]=/bin/no\nExec = 'a b' c\n", "a b"},
      {F::Desktop, "[Desktop Action x]\nExec=/bin/action\n[Desktop Entry]\nExec=/bin/main\n",
       "/bin/main"},
      {F::Desktop, "[Other]\nExec=/bin/no\n", std::nullopt},
      {F::SystemCron, "# comment\nSHELL=/bin/sh\n*/5 * * * * root /usr/bin/job arg\n",
       "/usr/bin/job"},
      {F::SystemCron, "@reboot root /opt/boot.sh\n", "/opt/boot.sh"},
      {F::SystemCron, "* * * * *\n", std::nullopt},
      {F::UserCron, "0 1 * * * /home/a/bin/x > /dev/null\n", "/home/a/bin/x"},
      {F::UserCron, "0 1 * * * cat%stdin text\n", "cat"},
      {F::UserCron, "PATH = /bin\n@hourly  run-me\n", "run-me"},
      {F::UserCron, "", std::nullopt},
      {F::Script, "#!/bin/sh\n", "/etc/init.d/x"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(itemExecutable(c.format, "/etc/init.d/x", c.text), c.executable);
  }
}

// Texts where a naive reading names another program than the one GLib's or systemd's reader runs
// (checked against GLib 2.74's g_key_file_load_from_file and `gio launch`).
TEST(LaunchItemRules, ReadsCommandsAsTheirStartersDo) {
  using F = ItemFormat;
  const TextCase cases[] = {
      // GLib key files: the last of duplicate keys, merged groups, whole-file parse errors.
      {F::Desktop, "[Desktop Entry]\nExec=/bin/first\nExec=/bin/second\n", "/bin/second"},
      {F::Desktop, "[Desktop Entry]\nExec=/bin/a\n[Other]\nX=1\n[Desktop Entry]\nExec=/bin/b\n",
       "/bin/b"},
      {F::Desktop, "[Desktop Entry]\nExec=/bin/a\nthis line is garbage\n", std::nullopt},
      {F::Desktop, "Exec=/bin/x\n[Desktop Entry]\nExec=/bin/a\n", std::nullopt},
      {F::Desktop, "[Desktop Entry]\nExec=/bin/a\\qb\n", std::nullopt},
      {F::Desktop, "[Desktop Entry]\nExec=/bin/a\nExec=\n", std::nullopt},
      {F::Desktop, "[Desktop Entry]\r\nExec=/bin/cr\r\n", "/bin/cr"},
      {F::Desktop, "[Desktop Entry] \n  Exec  =  /bin/sp  \n", "/bin/sp"},
      // Key-file escapes, then field codes, then g_shell_parse_argv's words.
      {F::Desktop, "[Desktop Entry]\nExec=/bin/a\\sb c\n", "/bin/a"},  // \s is a space: two words
      {F::Desktop, "[Desktop Entry]\nExec=/opt/a\\\\ b x\n", "/opt/a b"},
      {F::Desktop, "[Desktop Entry]\nExec=/opt/a\"b c\"d x\n", "/opt/ab cd"},
      {F::Desktop, "[Desktop Entry]\nExec='/opt/my app'/run x\n", "/opt/my app/run"},
      {F::Desktop, "[Desktop Entry]\nExec=\"/opt/q\\\\\"d\" x\n", "/opt/q\"d"},
      {F::Desktop, "[Desktop Entry]\nExec=/opt/100%%/run %U\n", "/opt/100%/run"},
      {F::Desktop, "[Desktop Entry]\nExec=/bin/x \"unterminated\n", std::nullopt},
      // systemd: only [Service] counts, an empty assignment clears the list, keys are trimmed.
      {F::SystemdUnit, "[Service]\nExecStart=/bin/a\nExecStart=\nExecStart=/bin/b\n", "/bin/b"},
      {F::SystemdUnit, "[Service]\n  ExecStart = /x\n", "/x"},
      {F::SystemdUnit, "ExecStart=/bin/no\n[Service]\nExecStart=/bin/yes\n", "/bin/yes"},
      {F::SystemdUnit, "[Unit]\nExecStart=/bin/no\n[Service]\nExecStart=/bin/yes\n", "/bin/yes"},
      {F::SystemdUnit, "[Service]\n;ExecStart=/bin/no\nExecStart=/bin/yes\n", "/bin/yes"},
      {F::SystemdUnit, "[Service]\nExecStart=\\\n  /bin/continued arg\n", "/bin/continued"},
      {F::SystemdUnit, "[Service]\nExecStart=-\"/opt/my app\" x\n", "/opt/my app"},
      {F::SystemdUnit, "[Service]\nExecStart=/opt/\\x41pp\n", "/opt/App"},
      // Several commands: only a oneshot service may have them; any other is not loaded.
      {F::SystemdUnit, "[Service]\nExecStart=/bin/a\nExecStart=/bin/b\n", std::nullopt},
      {F::SystemdUnit, "[Service]\nType=oneshot\nExecStart=/bin/a\nExecStart=/bin/b\n", "/bin/a"},
      {F::SystemdUnit, "[Service\nExecStart=/bin/a\n", std::nullopt},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(itemExecutable(c.format, "/x", c.text), c.executable);
  }
}

struct DropInCase {
  const char* name;
  std::vector<std::string_view> texts;  // the unit file, then its drop-ins in order
  std::optional<std::string> executable;
};

TEST(LaunchItemRules, AppliesDropInsAfterTheUnit) {
  const std::string_view unit = "[Service]\nExecStart=/usr/bin/real\n";
  const DropInCase cases[] = {
      {"reset and replaced", {unit, "[Service]\nExecStart=\nExecStart=/tmp/evil\n"}, "/tmp/evil"},
      {"added without reset: not loaded", {unit, "[Service]\nExecStart=/tmp/evil\n"}, std::nullopt},
      {"made oneshot: the unit's runs first",
       {unit, "[Service]\nType=oneshot\nExecStart=/tmp/evil\n"},
       "/usr/bin/real"},
      {"a later drop-in wins",
       {unit, "[Service]\nExecStart=\nExecStart=/a\n", "[Service]\nExecStart=\nExecStart=/b\n"},
       "/b"},
      {"reset only", {unit, "[Service]\nExecStart=\n"}, std::nullopt},
      {"outside a section: ignored", {unit, "ExecStart=\nExecStart=/tmp/evil\n"}, "/usr/bin/real"},
      {"a broken drop-in breaks the unit", {unit, "[Service\n"}, std::nullopt},
  };
  for (const DropInCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unitExecutable(c.texts), c.executable);
  }
}

TEST(LaunchItemRules, OrdersDropInsAsSystemdDoes) {
  const std::vector<std::string> unitPath = {"/etc/systemd/system", "/run/systemd/system",
                                             "/usr/lib/systemd/system"};
  const std::map<std::string, std::vector<std::string>> listing = {
      {"/etc/systemd/system/a-b@i.service.d", {"10-x.conf", "50-y.conf", "notes.txt", ".h.conf"}},
      {"/usr/lib/systemd/system/a-b@i.service.d", {"10-x.conf", "20-z.conf"}},
      {"/usr/lib/systemd/system/a-b@.service.d", {"25-t.conf"}},
      {"/run/systemd/system/a-.service.d", {"30-p.conf"}},
      {"/usr/lib/systemd/system/service.d", {"05-s.conf", "50-y.conf"}},
      {"/etc/systemd/system/other.service.d", {"00-o.conf"}},
  };
  const auto list = [&](const std::string& folder) {
    const auto found = listing.find(folder);
    return found == listing.end() ? std::vector<std::string>{} : found->second;
  };
  EXPECT_EQ(unitDropIns(unitPath, "a-b@i.service", list),
            (std::vector<std::string>{"/usr/lib/systemd/system/service.d/05-s.conf",
                                      "/etc/systemd/system/a-b@i.service.d/10-x.conf",
                                      "/usr/lib/systemd/system/a-b@i.service.d/20-z.conf",
                                      "/usr/lib/systemd/system/a-b@.service.d/25-t.conf",
                                      "/run/systemd/system/a-.service.d/30-p.conf",
                                      "/etc/systemd/system/a-b@i.service.d/50-y.conf"}));
}

struct MaskStep {
  std::uint64_t mask;
  Presence now;
  std::vector<LaunchAction> expected;
};

struct MaskCase {
  const char* name;
  std::vector<MaskStep> steps;
  std::vector<LaunchAction> onExpiry;
};

TEST(LaunchItemRules, TurnsMasksIntoOneChangePerAction) {
  using A = LaunchAction;
  using P = Presence;
  const MaskCase cases[] = {
      {"create then close",
       {{FAN_CREATE, P::RegularFile, {}}, {FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}},
       {}},
      {"create|close merged", {{FAN_CREATE | FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}}, {}},
      {"create|delete merged, gone",
       {{FAN_CREATE | FAN_DELETE, P::Absent, {A::Add, A::Remove}}},
       {}},
      {"create|close|delete merged",
       {{FAN_CREATE | FAN_CLOSE_WRITE | FAN_DELETE, P::Absent, {A::Add, A::Remove}}},
       {}},
      {"delete|create merged, present: replaced",
       {{FAN_CREATE | FAN_DELETE, P::Other, {A::Remove, A::Add}}},
       {}},
      {"replaced regular file waits for its close",
       {{FAN_DELETE | FAN_CREATE, P::RegularFile, {A::Remove}},
        {FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}},
       {}},
      {"symlink created", {{FAN_CREATE, P::Other, {A::Add}}}, {}},
      {"moved in", {{FAN_MOVED_TO, P::RegularFile, {A::Add}}}, {}},
      {"moved out", {{FAN_MOVED_FROM, P::Absent, {A::Remove}}}, {}},
      {"rewrite of an existing item",
       {{FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}, {FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}},
       {}},
      {"created, deleted before its close",
       {{FAN_CREATE, P::RegularFile, {}}, {FAN_DELETE, P::Absent, {A::Add, A::Remove}}},
       {}},
      {"created, close then delete merged",
       {{FAN_CREATE, P::RegularFile, {}},
        {FAN_CLOSE_WRITE | FAN_DELETE, P::Absent, {A::Add, A::Remove}}},
       {}},
      {"created and never closed", {{FAN_CREATE, P::RegularFile, {}}}, {A::Add}},
      {"written in place, closed later",
       {{FAN_MODIFY, P::RegularFile, {}},
        {FAN_MODIFY, P::RegularFile, {}},
        {FAN_CLOSE_WRITE, P::RegularFile, {A::Add}}},
       {}},
      {"written in place and kept open", {{FAN_MODIFY, P::RegularFile, {}}}, {A::Add}},
      {"deleted", {{FAN_DELETE, P::Absent, {A::Remove}}}, {}},
      {"write record after the merged creation and removal",
       {{FAN_CREATE | FAN_DELETE, P::Absent, {A::Add, A::Remove}},
        {FAN_CLOSE_WRITE, P::Absent, {}}},
       {}},
  };
  for (const MaskCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChangeTracker tracker(1000);
    std::uint64_t now = 0;
    for (const MaskStep& step : c.steps) {
      std::vector<A> got;
      for (const auto& change : tracker.onRecord("/p", step.mask, 42, step.now, now++)) {
        EXPECT_EQ(change.path, "/p");
        EXPECT_EQ(change.pid, 42);
        got.push_back(change.action);
      }
      EXPECT_EQ(got, step.expected);
      EXPECT_TRUE(tracker.expire(now).empty());
    }
    std::vector<A> expired;
    ASSERT_EQ(tracker.nextDeadline().has_value(), !c.onExpiry.empty());
    for (const auto& change : tracker.expire(now + 1000)) expired.push_back(change.action);
    EXPECT_EQ(expired, c.onExpiry);
    EXPECT_EQ(tracker.waiting(), 0u);
  }
}

TEST(LaunchItemRules, ExpiresWaitingCreationsInDeadlineOrder) {
  ChangeTracker tracker(100);
  tracker.onRecord("/a", FAN_CREATE, 1, Presence::RegularFile, 0);
  tracker.onRecord("/b", FAN_CREATE, 2, Presence::RegularFile, 50);
  tracker.onRecord("/a", FAN_CLOSE_WRITE, 1, Presence::RegularFile, 60);  // /a done early
  ASSERT_EQ(tracker.nextDeadline(), 150u);
  EXPECT_TRUE(tracker.expire(149).empty());
  const auto expired = tracker.expire(150);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].path, "/b");
  EXPECT_EQ(expired[0].pid, 2);
  EXPECT_FALSE(tracker.nextDeadline());
}

}  // namespace
