// The process connector's rules on fixture /proc trees (no root, no kernel): what each message
// does to the process table and which events it makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ConnectorTracker.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "tests/endpoint_security/FakeProcTree.h"

using namespace platform::es;
using fixture::FakeProc;
using fixture::FakeProcess;
using platform::ProcReader;

namespace {

std::string text(es_string_token_t t) {
  return t.data == nullptr ? std::string("unknown") : std::string(t.data, t.length);
}

// What one process of an event says.
struct Seen {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t originalPpid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  uid_t ruid = 0;
  uid_t euid = 0;
  gid_t egid = 0;
  std::string path;

  static Seen of(const es_process_t& p) {
    return Seen{audit_token_to_pid(p.audit_token),
                p.ppid,
                p.original_ppid,
                p.group_id,
                p.session_id,
                audit_token_to_ruid(p.audit_token),
                audit_token_to_euid(p.audit_token),
                audit_token_to_egid(p.audit_token),
                text(p.executable->path)};
  }
};

// One event as its handler call would see it.
struct Event {
  es_event_type_t type{};
  Seen process;
  Seen other;  // exec target, fork child
  std::vector<std::string> args;
  std::vector<std::string> envs;
  int stat = 0;
};

Event seen(PendingEvent& pending) {
  es_message_t m{};
  m.event_type = pending.type;
  pending.fill(m, 0);
  Event e;
  e.type = pending.type;
  e.process = Seen::of(*m.process);
  if (e.type == ES_EVENT_TYPE_NOTIFY_EXEC) {
    e.other = Seen::of(*m.event.exec.target);
    for (std::uint32_t i = 0; i < m.event.exec.arg_count; ++i) {
      e.args.push_back(text(m.event.exec.args[i]));
    }
    for (std::uint32_t i = 0; i < m.event.exec.env_count; ++i) {
      e.envs.push_back(text(m.event.exec.envs[i]));
    }
  } else if (e.type == ES_EVENT_TYPE_NOTIFY_FORK) {
    e.other = Seen::of(*m.event.fork.child);
  } else if (e.type == ES_EVENT_TYPE_NOTIFY_EXIT) {
    e.stat = m.event.exit.stat;
  }
  return e;
}

ConnectorMessage forkOf(pid_t parentTgid, pid_t childPid, pid_t childTgid) {
  ConnectorMessage m;
  m.what = ConnectorEvent::kFork;
  m.fork = {parentTgid, parentTgid, childPid, childTgid};
  return m;
}
ConnectorMessage forkOf(pid_t parent, pid_t child) {
  return forkOf(parent, child, child);
}
ConnectorMessage execOf(pid_t pid) {
  ConnectorMessage m;
  m.what = ConnectorEvent::kExec;
  m.exec = {pid, pid};
  return m;
}
ConnectorMessage exitOf(pid_t pid, pid_t tgid, std::uint32_t status, pid_t parent = 0) {
  ConnectorMessage m;
  m.what = ConnectorEvent::kExit;
  m.exit = {pid, tgid, status, 17, parent, parent};
  return m;
}
ConnectorMessage idsOf(ConnectorEvent what, pid_t pid, pid_t tgid, std::uint32_t real,
                       std::uint32_t effective) {
  ConnectorMessage m;
  m.what = what;
  m.ids = {pid, tgid, real, effective};
  return m;
}
ConnectorMessage sidOf(pid_t pid) {
  ConnectorMessage m;
  m.what = ConnectorEvent::kSid;
  m.sid = {pid, pid};
  return m;
}

class ConnectorTrackerTest : public ::testing::Test {
 protected:
  ConnectorTracker& tracker() {
    if (!tracker_) {
      tracker_ = std::make_unique<ConnectorTracker>(
          table_, executables_, [this](es_event_type_t t) { return wanted_.count(t) > 0; },
          ProcReader(proc_.root()));
      tracker_->rescan();
    }
    return *tracker_;
  }
  std::vector<Event> handle(const std::vector<ConnectorMessage>& batch) {
    std::vector<Event> out;
    for (auto& pending : tracker().handle(batch)) out.push_back(seen(*pending));
    return out;
  }

  // The shell the tests' processes start from: pid 100, its own group and session.
  FakeProcess shell() const {
    FakeProcess p;
    p.pid = 100;
    p.pgrp = 100;
    p.session = 100;
    p.exe = "sh";
    p.args = std::string("sh\0", 3);
    return p;
  }

  FakeProc proc_;
  ProcessTable table_;
  ExecutableCache executables_{nullptr};
  std::set<es_event_type_t> wanted_{ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_FORK,
                                    ES_EVENT_TYPE_NOTIFY_EXIT};
  std::unique_ptr<ConnectorTracker> tracker_;
};

TEST_F(ConnectorTrackerTest, ForkExecAndExitOfAChildCarryItsDetails) {
  proc_.put(shell());
  tracker();
  FakeProcess child = shell();
  child.pid = 200;
  child.ppid = 100;
  child.exe = "echo";
  child.args = std::string("echo\0a b\0", 9);
  child.envs = std::string("K=V\0PATH=/bin\0", 14);
  proc_.put(child);

  const auto events = handle({forkOf(100, 200), execOf(200), exitOf(200, 200, 3 << 8, 100)});
  ASSERT_EQ(events.size(), 3u);

  EXPECT_EQ(events[0].type, ES_EVENT_TYPE_NOTIFY_FORK);
  EXPECT_EQ(events[0].process.pid, 100);
  EXPECT_EQ(events[0].process.path, proc_.program("sh"));
  EXPECT_EQ(events[0].other.pid, 200);
  EXPECT_EQ(events[0].other.ppid, 100);
  EXPECT_EQ(events[0].other.originalPpid, 100);
  EXPECT_EQ(events[0].other.path, proc_.program("sh"));  // a fork keeps the image

  EXPECT_EQ(events[1].type, ES_EVENT_TYPE_NOTIFY_EXEC);
  EXPECT_EQ(events[1].process.pid, 200);
  EXPECT_EQ(events[1].process.path, proc_.program("sh"));  // the image before the exec
  EXPECT_EQ(events[1].other.pid, 200);
  EXPECT_EQ(events[1].other.path, proc_.program("echo"));
  EXPECT_EQ(events[1].other.ppid, 100);
  EXPECT_EQ(events[1].other.euid, 1000u);
  EXPECT_EQ(events[1].args, (std::vector<std::string>{"echo", "a b"}));
  EXPECT_EQ(events[1].envs, (std::vector<std::string>{"K=V", "PATH=/bin"}));

  EXPECT_EQ(events[2].type, ES_EVENT_TYPE_NOTIFY_EXIT);
  EXPECT_EQ(events[2].process.pid, 200);
  EXPECT_EQ(events[2].process.path, proc_.program("echo"));  // the image it ended in
  EXPECT_EQ(events[2].stat, 3 << 8);                         // the raw wait status
  EXPECT_FALSE(table_.find(200).has_value());
  EXPECT_EQ(tracker().takeIncompleteExecs(), 0u);
}

TEST_F(ConnectorTrackerTest, MessagesThatAreNoProcessEventReportNothing) {
  FakeProcess kthreadd;
  kthreadd.pid = 2;
  kthreadd.ppid = 0;
  kthreadd.kernel = true;
  const struct {
    const char* name;
    std::vector<ConnectorMessage> batch;
    std::set<es_event_type_t> wanted;
  } cases[] = {
      {"a new thread", {forkOf(100, 101, 100)}, wanted_},
      {"a thread that is not the leader ends", {exitOf(101, 100, 0)}, wanted_},
      {"a kernel thread is made and ends", {forkOf(2, 300), exitOf(300, 300, 0)}, wanted_},
      {"kinds nobody wants",
       {forkOf(100, 200), execOf(200), exitOf(200, 200, 0)},
       {ES_EVENT_TYPE_NOTIFY_AUTHENTICATION}},
  };
  proc_.put(shell());
  proc_.put(kthreadd);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    wanted_ = c.wanted;
    EXPECT_TRUE(handle(c.batch).empty());
    EXPECT_TRUE(table_.find(100).has_value());   // the process lives on
    EXPECT_FALSE(table_.find(101).has_value());  // threads are no entries
  }
}

TEST_F(ConnectorTrackerTest, CredentialsFollowTheLeaderOnly) {
  proc_.put(shell());
  tracker();
  handle({idsOf(ConnectorEvent::kUid, 100, 100, 0, 0), idsOf(ConnectorEvent::kGid, 100, 100, 5, 6),
          idsOf(ConnectorEvent::kUid, 101, 100, 7, 7)});  // a thread's own change
  const auto events = handle({exitOf(100, 100, 0)});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].process.ruid, 0u);
  EXPECT_EQ(events[0].process.euid, 0u);
  EXPECT_EQ(events[0].process.egid, 6u);
}

TEST_F(ConnectorTrackerTest, SetsidMakesTheProcessLeaderOfSessionAndGroup) {
  FakeProcess p = shell();
  p.pid = 150;
  proc_.put(p);
  tracker();
  const auto events = handle({sidOf(150), exitOf(150, 150, 0)});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].process.sid, 150);
  EXPECT_EQ(events[0].process.pgid, 150);
}

TEST_F(ConnectorTrackerTest, AForkAfterSetpgidCarriesTheCurrentGroupInBothProcesses) {
  FakeProcess p = shell();
  p.pid = 150;
  p.pgrp = 100;
  proc_.put(p);
  tracker();
  p.pgrp = 150;  // setpgid(0, 0): no message, only /proc shows it
  proc_.put(p);
  const auto events = handle({forkOf(150, 151)});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].process.pgid, 150);
  EXPECT_EQ(events[0].other.pgid, 150);
  EXPECT_EQ(events[0].other.sid, 100);
  EXPECT_EQ(table_.find(150)->pgid, 150);
}

TEST_F(ConnectorTrackerTest, AnExecOfAProcessAlreadyGoneIsReportedWithWhatIsKnownAndCounted) {
  proc_.put(shell());
  tracker();
  // 200 is forked and gone before its exec is handled; 300 was never seen at all.
  const auto events = handle({forkOf(100, 200), execOf(200), execOf(300)});
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].type, ES_EVENT_TYPE_NOTIFY_EXEC);
  EXPECT_EQ(events[1].process.pid, 200);
  EXPECT_EQ(events[1].process.path, proc_.program("sh"));  // the table's image
  EXPECT_EQ(events[1].process.pgid, 100);
  EXPECT_EQ(events[1].other.pid, 200);
  EXPECT_EQ(events[1].other.path, "unknown");
  EXPECT_TRUE(events[1].args.empty());
  EXPECT_EQ(events[2].process.pid, 300);
  EXPECT_EQ(events[2].other.path, "unknown");
  EXPECT_EQ(tracker().takeIncompleteExecs(), 2u);
  EXPECT_EQ(tracker().takeIncompleteExecs(), 0u);  // taken
}

TEST_F(ConnectorTrackerTest, AnExecSupersededInTheSameBatchIsNotReadAsTheLaterImage) {
  proc_.put(shell());
  tracker();
  FakeProcess child = shell();
  child.pid = 200;
  child.exe = "true";
  child.args = std::string("true\0", 5);
  proc_.put(child);  // /proc already shows the second exec's image
  const auto events = handle({forkOf(100, 200), execOf(200), execOf(200)});
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].other.path, "unknown");
  EXPECT_TRUE(events[1].args.empty());
  EXPECT_EQ(events[2].process.path, "unknown");  // the image between the two
  EXPECT_EQ(events[2].other.path, proc_.program("true"));
  EXPECT_EQ(events[2].args, std::vector<std::string>{"true"});
  EXPECT_EQ(tracker().takeIncompleteExecs(), 1u);
}

TEST_F(ConnectorTrackerTest, AParentMissingFromTheTableIsReadFromProc) {
  tracker();  // an empty tree: the table knows nothing
  FakeProcess p = shell();
  p.pid = 120;
  p.euid = 0;
  proc_.put(p);
  const auto events = handle({forkOf(120, 121)});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].process.path, proc_.program("sh"));
  EXPECT_EQ(events[0].process.euid, 0u);
  EXPECT_EQ(events[0].other.euid, 0u);
  EXPECT_TRUE(table_.find(120).has_value());
  EXPECT_TRUE(table_.find(121).has_value());
}

TEST_F(ConnectorTrackerTest, RescanReadsTheTreeAgain) {
  proc_.put(shell());
  FakeProcess kthreadd;
  kthreadd.pid = 2;
  kthreadd.ppid = 0;
  kthreadd.kernel = true;
  proc_.put(kthreadd);
  tracker();
  EXPECT_EQ(table_.size(), 2u);
  EXPECT_TRUE(table_.find(2)->kernel);
  EXPECT_EQ(table_.find(100)->exe->path, proc_.program("sh"));

  FakeProcess child = shell();
  child.pid = 200;
  child.ppid = 100;
  proc_.put(child);
  handle({forkOf(100, 200)});
  child.ppid = 1;  // reparented after its parent ended
  proc_.put(child);
  proc_.remove(2);
  tracker().rescan();
  EXPECT_FALSE(table_.find(2).has_value());
  EXPECT_EQ(table_.find(200)->ppid, 1);
  EXPECT_EQ(table_.find(200)->originalPpid, 1);  // a new parent: the old original is not kept
  EXPECT_EQ(table_.find(100)->originalPpid, 1);
}

}  // namespace
