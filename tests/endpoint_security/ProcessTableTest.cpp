// The process table: live entries for the answers, ended ones still findable for a while by the
// sources whose events name a process that has just gone; the image a process had at a moment;
// and the lookups that first let the process source catch up to that moment.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/endpoint_security/process/ProcessTable.h"

using namespace platform::es;

namespace {

ProcessImage image(pid_t pid, uid_t euid, const char* exe = nullptr) {
  ProcessImage i;
  i.pid = pid;
  i.euid = i.ruid = euid;
  i.args = std::make_shared<const std::string>("arg");
  if (exe != nullptr) {
    auto file = std::make_shared<Executable>();
    file->path = exe;
    i.exe = file;
  }
  return i;
}

// A pid that no process has now (a child that has been reaped).
pid_t reapedPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// Stands in for the process source: records that are still on their way when a lookup starts,
// read (put into the table) only when the lookup asks for it, on the source's own thread.
class PendingRecords {
 public:
  explicit PendingRecords(ProcessTable& table) : table_(table), thread_([this] { run(); }) {
    table_.addReader(this, [this] {
      std::lock_guard lock(mutex_);
      asked_ = true;
      changed_.notify_all();
    });
  }
  ~PendingRecords() {
    table_.removeReader(this);
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  // What the source has not read yet, and the moment it happened.
  void pend(ProcessImage image, std::uint64_t atNs) {
    std::lock_guard lock(mutex_);
    pending_.emplace_back(std::move(image), atNs);
  }
  // Whether the source answers when asked (a stalled source does not).
  void stall() {
    std::lock_guard lock(mutex_);
    stalled_ = true;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stop_ || (asked_ && !stalled_); });
      if (stop_) return;
      asked_ = false;
      for (auto& [image, atNs] : pending_) table_.put(std::move(image), atNs);
      pending_.clear();
      table_.reached(monotonicNow());
    }
  }

  ProcessTable& table_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<ProcessImage, std::uint64_t>> pending_;
  bool asked_ = false;
  bool stalled_ = false;
  bool stop_ = false;
  std::thread thread_;
};

TEST(ProcessTable, AnEndedProcessLeavesTheAnswersButStaysFindableForItsEvents) {
  ProcessTable table;
  table.put(image(10, 1000));
  table.put(image(11, 1001));
  ASSERT_TRUE(table.take(10).has_value());

  EXPECT_FALSE(table.find(10).has_value());
  EXPECT_EQ(table.pids(), std::vector<pid_t>{11});
  const auto departed = table.findLiveOrDeparted(10);
  ASSERT_TRUE(departed.has_value());
  EXPECT_EQ(departed->euid, 1000u);
  EXPECT_EQ(departed->args, nullptr);  // who it was, not what it held

  // A new process with the same pid is the one found.
  table.put(image(10, 2000));
  EXPECT_EQ(table.findLiveOrDeparted(10)->euid, 2000u);
  ExecutableCache executables(nullptr);
  EXPECT_EQ(ProcessLookup(table, executables).find(10, monotonicNow()).euid, 2000u);
}

TEST(ProcessTable, OnlyTheMostRecentlyEndedAreKept) {
  ProcessTable table;
  for (pid_t pid = 100000; pid < 100000 + 600; ++pid) {
    table.put(image(pid, 1));
    table.take(pid);
  }
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.findLiveOrDeparted(100000).has_value());  // pushed out
  EXPECT_TRUE(table.findLiveOrDeparted(100000 + 599).has_value());
}

TEST(ProcessTable, TheNewestOfTheEndedIsFoundAcrossTheWrapOfWhatIsKept) {
  // The same pid ended twice, the first just before the kept ones wrap round, the second after.
  ProcessTable table;
  for (pid_t pid = 100000; pid < 100000 + 511; ++pid) {
    table.put(image(pid, 1), 10);
    table.take(pid);
  }
  table.put(image(7, 1001), 100);
  table.take(7);
  table.put(image(7, 1002), 200);
  table.take(7);
  EXPECT_EQ(table.findAt(7, 250)->euid, 1002u);
  EXPECT_EQ(table.findAt(7, 150)->euid, 1001u);
  EXPECT_FALSE(table.findAt(7, 50).has_value());
  EXPECT_FALSE(table.findLiveOrDeparted(100000).has_value());  // overwritten by the last
  EXPECT_TRUE(table.findLiveOrDeparted(100001).has_value());
}

TEST(ProcessTable, AProcessIsFoundAsItWasAtTheMomentAsked) {
  ProcessTable table;
  table.put(image(10, 0, "/usr/sbin/runuser"), 100);
  table.put(image(10, 1801, "/usr/bin/dash"), 200);  // exec'd
  struct Case {
    std::uint64_t atNs;
    std::optional<uid_t> euid;
  } cases[] = {{50, std::nullopt}, {100, 0}, {199, 0}, {200, 1801}, {1000, 1801}};
  for (const Case& c : cases) {
    const auto found = table.findAt(10, c.atNs);
    ASSERT_EQ(found.has_value(), c.euid.has_value()) << c.atNs;
    if (found) {
      EXPECT_EQ(found->euid, *c.euid) << c.atNs;
    }
  }
  // Ended, and its pid taken by a new process later: each time still finds its own.
  table.take(10);
  table.put(image(10, 3000), 500);
  EXPECT_EQ(table.findAt(10, 150)->euid, 0u);
  EXPECT_EQ(table.findAt(10, 300)->euid, 1801u);
  EXPECT_EQ(table.findAt(10, 600)->euid, 3000u);
  // A refresh (ids changed) is the same image.
  table.put(image(10, 3001));
  EXPECT_EQ(table.findAt(10, 600)->euid, 3001u);
  EXPECT_EQ(table.findAt(10, 300)->euid, 1801u);
}

// The process source has not read the exec yet when another source's event names the process:
// the lookup has it read first, and names the image that wrote.
TEST(ProcessLookup, CatchesUpWithTheProcessSourceBeforeNamingAProcess) {
  ProcessTable table;
  table.startKeeping();
  table.put(image(10, 0, "/usr/sbin/runuser"), 100);
  ExecutableCache executables(nullptr);
  PendingRecords source(table);
  const std::uint64_t exec = monotonicNow();
  source.pend(image(10, 1801, "/usr/bin/dash"), exec);
  // A limit no scheduler delay reaches: the answer is what catching up gives.
  const ProcessImage found =
      ProcessLookup(table, executables, std::chrono::seconds(10)).find(10, monotonicNow());
  ASSERT_TRUE(found.exe);
  EXPECT_EQ(found.exe->path, "/usr/bin/dash");
  EXPECT_EQ(found.euid, 1801u);

  // An event from before the exec still names the image before it.
  EXPECT_EQ(ProcessLookup(table, executables).find(10, exec - 1).euid, 0u);

  // A source that does not answer holds the lookup only a bounded while; the table's answer
  // is then the best there is.
  source.stall();
  source.pend(image(10, 4000, "/usr/bin/later"), monotonicNow());
  const ProcessImage stalled = ProcessLookup(table, executables).find(10, monotonicNow());
  EXPECT_EQ(stalled.euid, 1801u);
  table.stopKeeping();
}

// A process no one can name has one form, the same from every source: never root's ids, never
// the agent, no parent, no start time, no executable.
TEST(ProcessLookup, AnUnknownProcessHasTheUnknownFormAndNoOnesIds) {
  ExecutableCache executables(nullptr);
  const pid_t gone = reapedPid();
  for (const bool kept : {false, true}) {
    SCOPED_TRACE(kept ? "table kept" : "no process source");
    ProcessTable table;
    if (kept) table.startKeeping();
    const ProcessImage found = ProcessLookup(table, executables).find(gone, monotonicNow());
    EXPECT_EQ(found.pid, gone);
    EXPECT_EQ(found.ppid, 0);
    EXPECT_EQ(found.euid, 4294967295u);
    EXPECT_EQ(found.ruid, 4294967295u);
    EXPECT_EQ(found.egid, 4294967295u);
    EXPECT_EQ(found.rgid, 4294967295u);
    EXPECT_EQ(found.start.tv_sec, 0);
    EXPECT_EQ(found.exe, nullptr);

    // What the event itself says of the process is kept.
    ProcessHint hint;
    hint.uid = 1801;
    const ProcessImage hinted = ProcessLookup(table, executables).find(gone, monotonicNow(), hint);
    EXPECT_EQ(hinted.euid, 1801u);
    EXPECT_EQ(hinted.egid, 4294967295u);
    if (kept) table.stopKeeping();
  }
}

// The writer has gone and its pid was taken by a process started after the event: that process
// (which /proc shows under the pid now) is not the writer.
TEST(ProcessLookup, APidTakenByALaterProcessDoesNotNameTheEarlierOne) {
  ProcessTable table;
  table.startKeeping();
  ExecutableCache executables(nullptr);
  PendingRecords source(table);
  const std::uint64_t event = monotonicNow();
  table.put(image(::getpid(), 0, "/usr/bin/later"), event + 1000);
  const ProcessImage found =
      ProcessLookup(table, executables, std::chrono::seconds(10)).find(::getpid(), event);
  EXPECT_EQ(found.exe, nullptr);
  EXPECT_EQ(found.euid, 4294967295u);
  table.stopKeeping();
}

}  // namespace
