// The /proc parsers on fixed text, and the reader on a fixture tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/procfs/ProcFs.h"
#include "tests/support/TempDir.h"

using platform::parseProcStat;
using platform::parseProcStatus;
using platform::parseProcStatusIds;
using platform::ProcReader;
using platform::splitNulList;

namespace {

// Fields 3..22 after the name; only state, ppid, pgrp, session, flags and start time matter.
std::string statLine(const std::string& name, const std::string& flags = "4194560",
                     const std::string& state = "S") {
  return "4242 (" + name + ") " + state + " 17 4242 99 34816 4242 " + flags +
         " 120 0 0 0 5 3 0 0 20 0 1 0 123456 9379840 896 18446744073709551615\n";
}

TEST(ProcStat, ParsesFieldsAroundAnyCommandName) {
  for (const std::string name : {"sh", "a b", "x) S 1 2 3 (y", ")", "(("}) {
    SCOPED_TRACE(name);
    const auto st = parseProcStat(statLine(name));
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->pid, 4242);
    EXPECT_EQ(st->ppid, 17);
    EXPECT_EQ(st->pgrp, 4242);
    EXPECT_EQ(st->session, 99);
    EXPECT_EQ(st->startTicks, 123456u);
    EXPECT_FALSE(st->kernelThread());
  }
  EXPECT_TRUE(parseProcStat(statLine("kworker/0:1", "69238880"))->kernelThread());
}

TEST(ProcStat, RejectsMalformedText) {
  const std::string cases[] = {
      "",
      "4242 sh S 1",
      "4242 (sh) S 17 4242",
      "x (sh) S " + std::string(80, '1'),
      "4242 (sh) S 17 abc 99 0 0 0 0 0 0 0 0 0 0 0 0 0 1 0 5 0 0",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseProcStat(text).has_value());
  }
}

TEST(ProcStat, ReadsTheStateThatFollowsTheName) {
  const struct {
    std::string name, state;
    char expected;
  } cases[] = {
      {"sh", "S", 'S'},
      {"sleep", "Z", 'Z'},
      {"x) S 1 (y", "X", 'X'},  // a name that looks like a state
      {"r", "R", 'R'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto st = parseProcStat(statLine(c.name, "4194560", c.state));
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->state, c.expected);
  }
  EXPECT_FALSE(parseProcStat(statLine("sh", "4194560", "SS")).has_value());
}

TEST(ProcStatus, ReadsRealAndEffectiveIds) {
  const std::string status =
      "Name:\tsudo\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t7\nUid:\t1000\t0\t0\t0\n"
      "Gid:\t1000\t27\t27\t27\nGroups:\t27\n";
  const auto ids = parseProcStatusIds(status);
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(ids->ruid, 1000u);
  EXPECT_EQ(ids->euid, 0u);
  EXPECT_EQ(ids->rgid, 1000u);
  EXPECT_EQ(ids->egid, 27u);
  EXPECT_FALSE(parseProcStatusIds("Name:\tx\nUid:\t1\t2\t3\t4\n").has_value());  // no Gid line
  EXPECT_FALSE(parseProcStatusIds("Uid:\t1\nGid:\t1\t1\t1\t1\n").has_value());   // one value
}

TEST(ProcStatus, ReadsTheParentWithTheIds) {
  const std::string ids = "Uid:\t1000\t0\t0\t0\nGid:\t1000\t27\t27\t27\n";
  const auto status = parseProcStatus(
      "Name:\tsudo\nTgid:\t7\nPid:\t7\nPPid:\t4242\n"
      "TracerPid:\t0\n" +
      ids);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->ppid, 4242);
  EXPECT_EQ(status->ids.ruid, 1000u);
  EXPECT_EQ(status->ids.euid, 0u);
  EXPECT_EQ(status->ids.egid, 27u);
  EXPECT_FALSE(parseProcStatus("Name:\tx\nTracerPid:\t5\n" + ids).has_value());  // no PPid line
  EXPECT_FALSE(parseProcStatus("PPid:\t1\nUid:\t1\t1\t1\t1\n").has_value());     // no Gid line
  EXPECT_FALSE(parseProcStatus("PPid:\t\n" + ids).has_value());                  // no number
}

TEST(NulList, SplitsArgumentBlocks) {
  using V = std::vector<std::string_view>;
  const struct {
    std::string block;
    V expected;
  } cases[] = {
      {std::string("/bin/echo\0a\0b\0", 14), V{"/bin/echo", "a", "b"}},
      {std::string("a\0b", 3), V{"a", "b"}},  // no final NUL: last entry kept
      {std::string("prog\0\0", 6), V{"prog", ""}},
      {std::string("", 0), V{}},
      {std::string("\xff\0", 2), V{"\xff"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitNulList(c.block), c.expected);
  }
}

// A /proc tree of one process with two threads.
class ProcTree : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path process = root_.path() / "42";
    std::filesystem::create_directories(process / "task" / "42");
    std::filesystem::create_directories(process / "task" / "43");
    std::filesystem::create_directories(root_.path() / "self");
    std::ofstream(process / "stat")
        << "42 (worker) Z 7 42 42 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 2 0 "
           "5000 0 0\n";
    std::ofstream(process / "status") << "Name:\tworker\nPPid:\t7\nUid:\t1000\t1001\t0\t0\n"
                                         "Gid:\t100\t101\t0\t0\n";
  }

  const test_support::TempDir root_{"procfs-tree"};
  const ProcReader proc_{root_.string()};
};

TEST_F(ProcTree, ReadsAProcessUnderItsRoot) {
  EXPECT_EQ(proc_.pids(), std::vector<pid_t>{42});
  EXPECT_EQ(std::string(proc_.pathOf(42, "exe")), root_ / "42/exe");
  platform::ProcStat stat;
  ASSERT_EQ(proc_.stat(42, stat), 0);
  EXPECT_EQ(stat.state, 'Z');
  EXPECT_EQ(stat.ppid, 7);
  platform::ProcStatus status;
  ASSERT_EQ(proc_.status(42, status), 0);
  EXPECT_EQ(status.ppid, 7);
  EXPECT_EQ(status.ids.euid, 1001u);
  EXPECT_EQ(status.ids.egid, 101u);
  std::vector<pid_t> threads = proc_.threads(42);
  std::sort(threads.begin(), threads.end());
  EXPECT_EQ(threads, (std::vector<pid_t>{42, 43}));
}

TEST_F(ProcTree, AProcessNotThereIsGone) {
  platform::ProcStat stat;
  platform::ProcStatus status;
  EXPECT_EQ(proc_.stat(9, stat), -ENOENT);
  EXPECT_EQ(proc_.status(9, status), -ENOENT);
  EXPECT_TRUE(proc_.threads(9).empty());
}

}  // namespace
