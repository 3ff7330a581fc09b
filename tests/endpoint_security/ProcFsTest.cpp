#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/endpoint_security/ProcFs.h"
#include "platform/endpoint_security/SequenceTracker.h"

using platform::es::parseProcStat;
using platform::es::parseProcStatusIds;
using platform::es::SequenceTracker;
using platform::es::splitNulList;

namespace {

// Fields 3..22 after the name; only ppid, pgrp, session, flags and start time matter.
std::string statLine(const std::string& name, const std::string& flags = "4194560") {
  return "4242 (" + name + ") S 17 4242 99 34816 4242 " + flags +
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

TEST(SequenceTracker, CountsGapsPerCpu) {
  const struct {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> messages;  // cpu, seq
    std::vector<std::uint64_t> missed;
  } cases[] = {
      {"consecutive", {{0, 5}, {0, 6}, {0, 7}}, {0, 0, 0}},
      {"gap", {{0, 5}, {0, 9}}, {0, 3}},
      {"cpus are independent", {{0, 5}, {1, 100}, {0, 6}, {1, 102}}, {0, 0, 0, 1}},
      {"wrap-around", {{2, 0xfffffffeu}, {2, 0xffffffffu}, {2, 1}}, {0, 0, 1}},
      {"going back resets without counting", {{0, 50}, {0, 10}, {0, 12}}, {0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SequenceTracker tracker;
    std::vector<std::uint64_t> missed;
    for (const auto& [cpu, seq] : c.messages) missed.push_back(tracker.observe(cpu, seq));
    EXPECT_EQ(missed, c.missed);
  }
}

}  // namespace
