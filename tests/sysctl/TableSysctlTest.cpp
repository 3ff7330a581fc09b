// The process-table queries answered from the event source's table, with /proc (here a fake)
// for what the table does not know.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sysctl/FakeSysctl.h"
#include "platform/sysctl/TableSysctl.h"

namespace {

using platform::es::Executable;
using platform::es::ProcessImage;
using platform::es::ProcessTable;
using platform::sysctl_backend::FakeProcess;
using platform::sysctl_backend::FakeSysctl;
using platform::sysctl_backend::TableBackend;

ProcessImage image(pid_t pid, const char* path, std::string args, bool kernel = false) {
  ProcessImage i;
  i.pid = pid;
  i.kernel = kernel;
  if (path != nullptr) {
    auto exe = std::make_shared<Executable>();
    exe->path = path;
    i.exe = exe;
  }
  i.args = std::make_shared<const std::string>(std::move(args));
  return i;
}

// kern.procargs2 for `pid`: -errno, or the argument count, path and arguments as one string.
std::string procargs(TableBackend& backend, pid_t pid, std::size_t capacity = 4096) {
  int mib[] = {platform::CTL_KERN, platform::KERN_PROCARGS2, pid};
  std::vector<char> buffer(capacity);
  std::size_t length = capacity;
  if (backend.query(mib, 3, buffer.data(), &length, nullptr, 0) != 0) {
    return "errno " + std::to_string(errno);
  }
  std::int32_t argc = 0;
  std::memcpy(&argc, buffer.data(), sizeof argc);
  return std::to_string(argc) + ":" + std::string(buffer.data() + 4, length - 4);
}

std::vector<std::int32_t> table(TableBackend& backend) {
  int mib[] = {platform::CTL_KERN, platform::KERN_PROC, platform::KERN_PROC_ALL};
  std::size_t size = 0;
  EXPECT_EQ(backend.query(mib, 3, nullptr, &size, nullptr, 0), 0);
  std::vector<platform::kinfo_proc> records(size / sizeof(platform::kinfo_proc));
  std::size_t delivered = size;
  EXPECT_EQ(backend.query(mib, 3, records.data(), &delivered, nullptr, 0), 0);
  std::vector<std::int32_t> pids;
  for (std::size_t i = 0; i < delivered / sizeof(platform::kinfo_proc); ++i) {
    pids.push_back(records[i].kp_proc.p_pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

TEST(TableSysctl, KnownProcessesComeFromTheTableTheRestFromProc) {
  ProcessTable processes;
  processes.put(image(10, "/usr/bin/sleep",
                      std::string("sleep\0"
                                  "5\0",
                                  8)));
  processes.put(image(11, "/usr/bin/perl", std::string("perl\0-e\0unterminated", 21)));
  processes.put(image(2, nullptr, "", true));  // a kernel thread
  processes.put(image(12, nullptr, "x"));      // executable unknown
  FakeSysctl proc;
  proc.processes = {FakeProcess{12, "/usr/bin/from-proc", {"from-proc"}},
                    FakeProcess{99, "/usr/bin/unknown-to-table", {"u"}}};
  TableBackend backend(processes, proc);
  processes.startKeeping();

  struct Case {
    pid_t pid;
    std::string expected;
  } cases[] = {
      {10, std::string("2:/usr/bin/sleep\0sleep\0"
                       "5\0",
                       25)},
      {11, std::string("3:/usr/bin/perl\0perl\0-e\0unterminated\0", 37)},
      {2, "errno " + std::to_string(ESRCH)},
      {12, std::string("1:/usr/bin/from-proc\0from-proc\0", 31)},
      {99, std::string("1:/usr/bin/unknown-to-table\0u\0", 30)},
  };
  for (const Case& c : cases) EXPECT_EQ(procargs(backend, c.pid), c.expected) << c.pid;
  EXPECT_EQ(table(backend), (std::vector<std::int32_t>{2, 10, 11, 12}));
  // A buffer too small for the whole answer gets its first bytes, as from /proc.
  EXPECT_EQ(procargs(backend, 10, 12), std::string("2:/usr/bin", 10));
}

TEST(TableSysctl, WithoutAnEventSourceKeepingTheTableEverythingComesFromProc) {
  ProcessTable processes;
  processes.put(image(10, "/usr/bin/sleep", std::string("sleep\0", 6)));
  FakeSysctl proc;
  proc.processes = {FakeProcess{10, "/usr/bin/other", {"other"}}};
  TableBackend backend(processes, proc);
  EXPECT_EQ(procargs(backend, 10), std::string("1:/usr/bin/other\0other\0", 23));
  EXPECT_EQ(table(backend), (std::vector<std::int32_t>{10}));
  EXPECT_EQ(proc.argumentQueries(), (std::vector<std::int32_t>{10}));
}

}  // namespace
