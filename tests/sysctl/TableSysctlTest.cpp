// The process-table queries answered from the event source's table, with /proc (here a fake)
// for what the table does not know; executables that were deleted, replaced, or have paths
// longer than the kernel's link can show, on real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ProcessImage.h"
#include "platform/sysctl/FakeSysctl.h"
#include "platform/sysctl/TableSysctl.h"
#include "tests/support/LongPathProgram.h"
#include "tests/support/TempDir.h"

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

// A program started for a test, killed when the test ends.
class Running {
 public:
  explicit Running(const std::string& program) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(program.c_str(), "sleep", "30", nullptr);
      ::_exit(127);
    }
  }
  ~Running() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The image the table would hold for `pid` once it runs its program (waits for the exec).
ProcessImage imageOnceExecd(pid_t pid, const std::string& leaf) {
  platform::es::ExecutableCache executables(nullptr);
  for (int i = 0; i < 500; ++i) {
    std::optional<ProcessImage> read = platform::es::readProcessImage(pid, executables);
    if (read && read->exe && read->exe->path.ends_with("/" + leaf)) return *read;
    ::usleep(2000);
  }
  ADD_FAILURE() << "pid " << pid << " never ran " << leaf;
  return image(pid, "/none", "");
}

std::string copyOf(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to);
  return to;
}

// The path of pid's answer (its text up to the first NUL after the argument count).
std::string answeredPath(TableBackend& backend, pid_t pid) {
  const std::string answer = procargs(backend, pid, 16384);
  const std::size_t colon = answer.find(':');
  if (answer.rfind("errno", 0) == 0 || colon == std::string::npos) return answer;
  return answer.substr(colon + 1, answer.find('\0') - colon - 1);
}

TEST(TableSysctl, AnExecutableDeletedOrReplacedIsMarkedAsProcMarksIt) {
  const test_support::TempDir dir("table-sysctl");
  const std::string kept = copyOf("/usr/bin/sleep", dir.string() + "/kept");
  const std::string deleted = copyOf("/usr/bin/sleep", dir.string() + "/deleted");
  const std::string replaced = copyOf("/usr/bin/sleep", dir.string() + "/replaced");
  Running a(kept), b(deleted), c(replaced);
  ProcessTable processes;
  for (const auto& [pid, leaf] :
       {std::pair{a.pid(), "kept"}, {b.pid(), "deleted"}, {c.pid(), "replaced"}}) {
    processes.put(imageOnceExecd(pid, leaf));
  }
  FakeSysctl proc;
  TableBackend backend(processes, proc);
  processes.startKeeping();
  EXPECT_EQ(answeredPath(backend, b.pid()), deleted);

  ASSERT_EQ(::unlink(deleted.c_str()), 0);
  const std::string update = copyOf("/usr/bin/sleep", dir.string() + "/update");
  ASSERT_EQ(::rename(update.c_str(), replaced.c_str()), 0);  // as a package upgrade does
  EXPECT_EQ(answeredPath(backend, a.pid()), kept);
  EXPECT_EQ(answeredPath(backend, b.pid()), deleted + " (deleted)");
  EXPECT_EQ(answeredPath(backend, c.pid()), replaced + " (deleted)");
}

TEST(TableSysctl, AnExecutablePathLongerThanPathMaxIsAnswered) {
  test_support::LongPathProgram longer("/usr/bin/sleep");
  ASSERT_TRUE(longer.ok());
  ProcessTable processes;
  // Filled from /proc (as at the start of the event source).
  processes.put(imageOnceExecd(longer.pid(), "program"));
  FakeSysctl proc;  // knows no process: what is answered is the table's
  TableBackend backend(processes, proc);
  processes.startKeeping();
  EXPECT_EQ(answeredPath(backend, longer.pid()), longer.path());
  EXPECT_EQ(table(backend), (std::vector<std::int32_t>{longer.pid()}));

  // As an exec captured it, cut at the capture's limit.
  ProcessImage captured = image(longer.pid(), nullptr,
                                std::string("program\0"
                                            "30\0",
                                            11));
  auto exe = std::make_shared<Executable>();
  exe->path = longer.path().substr(longer.path().size() - 1000);
  exe->pathTruncated = true;
  captured.exe = exe;
  processes.put(captured);
  EXPECT_EQ(answeredPath(backend, longer.pid()), exe->path);
  // The file that ran, deleted: marked even though its path cannot be looked up.
  ASSERT_TRUE(longer.remove());
  EXPECT_EQ(answeredPath(backend, longer.pid()), exe->path + " (deleted)");
}

// No backend chooses itself: a program that asks before installing one has a wiring fault, and
// ends saying which part is missing.
TEST(SysctlWithoutBackend, AskingIsAWiringFaultOfTheProgram) {
  int mib[] = {platform::CTL_KERN, platform::KERN_ARGMAX};
  std::int32_t value = 0;
  std::size_t length = sizeof value;
  EXPECT_DEATH(platform::sysctl(mib, 2, &value, &length, nullptr, 0),
               "platform: no process table installed");
}

}  // namespace
