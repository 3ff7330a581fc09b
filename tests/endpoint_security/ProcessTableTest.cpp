// The process table: live entries for the answers, ended ones still findable for a while by the
// sources whose events name a process that has just gone.
#include <gtest/gtest.h>

#include "platform/endpoint_security/ProcessLookup.h"
#include "platform/endpoint_security/ProcessTable.h"

using namespace platform::es;

namespace {

ProcessImage image(pid_t pid, uid_t euid) {
  ProcessImage i;
  i.pid = pid;
  i.euid = euid;
  i.args = std::make_shared<const std::string>("arg");
  return i;
}

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
  EXPECT_EQ(ProcessLookup(table, executables).find(10).euid, 2000u);
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

}  // namespace
