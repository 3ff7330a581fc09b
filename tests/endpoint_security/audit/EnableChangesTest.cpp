// The enable flag's changes as the kernel announces them, and the readers of the audit log as
// /proc/net/netlink lists them, on records and text written down from this machine's kernel.
#include <gtest/gtest.h>

#include "platform/endpoint_security/audit/AuditNetlink.h"
#include "platform/endpoint_security/audit/EnableChanges.h"

using namespace platform::es::audit;

namespace {

constexpr const char* kOff =
    "audit(1796922575.582:373): op=set audit_enabled=0 old=1 auid=4294967295 ses=4294967295 "
    "res=1";
constexpr const char* kOffSyscall =
    "audit(1796922575.582:373): arch=c000003e syscall=44 success=yes exit=60 ppid=3121 pid=3128 "
    "auid=4294967295 uid=0 comm=\"python3\" exe=\"/usr/bin/python3.11\" key=(null)";
constexpr const char* kOtherSyscall =
    "audit(1796922575.590:374): arch=c000003e syscall=44 success=yes pid=9 exe=\"/x\"";

TEST(EnableChanges, PairsTheChangeWithTheProcessThatMadeIt) {
  EnableChanges changes;
  EXPECT_FALSE(changes.feed(kConfigChange, kOff));
  const auto change = changes.feed(kSyscall, kOffSyscall);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->serial, 373u);
  EXPECT_EQ(change->enabled, 0u);
  EXPECT_EQ(change->old, 1u);
  EXPECT_EQ(change->pid, 3128);
  EXPECT_EQ(change->exe, "/usr/bin/python3.11");
  EXPECT_FALSE(changes.flush());
}

TEST(EnableChanges, WithoutItsSyscallRecordTheChangeComesUnnamed) {
  struct Case {
    const char* name;
    std::uint16_t nextType;
    const char* next;
  } cases[] = {
      {"another serial's SYSCALL record", kSyscall, kOtherSyscall},
      {"the next change", kConfigChange, kOff},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnableChanges changes;
    changes.feed(kConfigChange, kOff);
    const auto change = changes.feed(c.nextType, c.next);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->enabled, 0u);
    EXPECT_FALSE(change->pid);
  }
  EnableChanges atEndOfRead;
  atEndOfRead.feed(kConfigChange, kOff);
  ASSERT_TRUE(atEndOfRead.flush());
  EXPECT_FALSE(atEndOfRead.flush());
}

TEST(EnableChanges, OnlySuccessfulSetsOfTheEnableFlag) {
  const char* ignored[] = {
      "audit(1.1:1): op=set audit_enabled=0 old=1 auid=0 ses=1 res=0",            // refused
      "audit(1.1:2): op=set audit_backlog_limit=64 old=8192 auid=0 ses=1 res=1",  // other setting
      "audit(1.1:3): op=add_rule key=(null) list=4 res=1",
      "audit(1.1:4): op=set audit_enabled=7 old=1 auid=0 ses=1 res=1",
      "audit(1.1:5 op=set audit_enabled=0 old=1 res=1",  // malformed header
  };
  for (const char* text : ignored) {
    EnableChanges changes;
    changes.feed(kConfigChange, text);
    EXPECT_FALSE(changes.flush()) << text;
  }
  EnableChanges changes;
  EXPECT_FALSE(changes.feed(kSyscall, kOffSyscall));  // no change waits for it
}

TEST(ReadLogReaders, SocketsOfTheAuditProtocolJoinedToTheReadOnlyGroup) {
  const char* text =
      "sk               Eth Pid        Groups   Rmem     Wmem     Dump  Locks    Drops    Inode\n"
      "00000000df0039f0 0   0          00000000 0        0        0     2        0        4\n"
      "00000000f9531c91 9   3154       00000001 0        0        0     2        0        99450\n"
      "00000000f9531c92 9   4000       00000000 0        0        0     2        0        99451\n"
      "00000000f9531c93 9   4292819813 00000003 0        0        0     2        0        99452\n"
      "0000000070035645 9   0          00000000 0        0        0     2        0        6\n"
      "00000000f9531c94 16  77         00000001 0        0        0     2        0        99453\n";
  // A second socket of a process gets a port the kernel picks (shown unsigned): a reader too.
  EXPECT_EQ(readLogReaders(text), (std::vector<std::uint32_t>{3154, 4292819813u}));
}

}  // namespace
