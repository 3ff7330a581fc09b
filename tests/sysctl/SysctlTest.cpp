// The /proc backend of the kernel's process queries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Override.h"
#include "platform/sysctl/sysctl.h"
#include "tests/support/LongPathProgram.h"

extern char** environ;

namespace {

// The /proc backend answers every query here, installed as a program's main installs it.
const platform::ScopedOverride<platform::sysctl_backend::Backend> gProcInstalled(
    platform::sysctl_backend::system());

using platform::CTL_KERN;
using platform::KERN_ARGMAX;
using platform::KERN_PROC;
using platform::KERN_PROC_ALL;
using platform::KERN_PROCARGS2;

std::string readLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

struct Arguments {
  std::int32_t argc = 0;
  std::string path;
  std::vector<std::string> args;
  std::size_t delivered = 0;
};

// Reads kern.procargs2 into a buffer of `size` bytes; -1 and errno on failure.
int readArguments(pid_t pid, std::size_t size, Arguments& out) {
  std::vector<char> buffer(size);
  int mib[] = {CTL_KERN, KERN_PROCARGS2, pid};
  std::size_t length = size;
  if (platform::sysctl(mib, 3, buffer.data(), &length, nullptr, 0) != 0) return -1;
  out.delivered = length;
  std::memcpy(&out.argc, buffer.data(), sizeof out.argc);
  const char* p = buffer.data() + sizeof out.argc;
  const char* end = buffer.data() + length;
  const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
  out.path.assign(p, nul ? nul : end);
  if (!nul) return 0;
  for (p = nul + 1; p < end;) {
    nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
    out.args.emplace_back(p, nul ? nul : end);
    p = nul ? nul + 1 : end;
  }
  return 0;
}

std::vector<std::int32_t> processTable() {
  int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  std::size_t size = 0;
  EXPECT_EQ(platform::sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
  std::vector<platform::kinfo_proc> records(size / sizeof(platform::kinfo_proc));
  std::size_t length = records.size() * sizeof(platform::kinfo_proc);
  EXPECT_EQ(platform::sysctl(mib, 3, records.data(), &length, nullptr, 0), 0);
  EXPECT_EQ(length % sizeof(platform::kinfo_proc), 0u);
  std::vector<std::int32_t> pids;
  for (std::size_t i = 0; i < length / sizeof(platform::kinfo_proc); ++i) {
    pids.push_back(records[i].kp_proc.p_pid);
  }
  return pids;
}

// A child process with known arguments, its standard input a pipe it waits on; killed and
// reaped when the test ends.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    if (::posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    input_ = input[1];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) ::close(input_);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

TEST(SysctlErrors, RefusedQueriesSetTheKernelsErrno) {
  struct Case {
    const char* what;
    std::vector<int> mib;
    std::size_t bufferSize;  // 0: size query without a buffer
    bool newValue;
    int error;
  };
  const Case cases[] = {
      {"unknown top level", {4, 1}, 16, false, EINVAL},
      {"unknown kern name", {CTL_KERN, 999}, 16, false, EINVAL},
      {"name too short", {CTL_KERN}, 16, false, EINVAL},
      {"kern.proc without selector", {CTL_KERN, KERN_PROC}, 16, false, EINVAL},
      {"kern.proc other than all", {CTL_KERN, KERN_PROC, 1}, 16, false, EINVAL},
      {"argmax into 2 bytes", {CTL_KERN, KERN_ARGMAX}, 2, false, ENOMEM},
      {"argmax with a new value", {CTL_KERN, KERN_ARGMAX}, 4, true, EPERM},
      {"table into less than one record", {CTL_KERN, KERN_PROC, KERN_PROC_ALL}, 100, false, ENOMEM},
      {"procargs2 of a negative pid", {CTL_KERN, KERN_PROCARGS2, -5}, 64, false, EINVAL},
      {"procargs2 of pid 0", {CTL_KERN, KERN_PROCARGS2, 0}, 64, false, ESRCH},
      {"procargs2 of an unused pid", {CTL_KERN, KERN_PROCARGS2, INT32_MAX}, 64, false, ESRCH},
      {"procargs2 into 3 bytes", {CTL_KERN, KERN_PROCARGS2, ::getpid()}, 3, false, ENOMEM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> buffer(c.bufferSize);
    std::size_t length = buffer.size();
    const int newValue = 1;
    errno = 0;
    EXPECT_EQ(
        platform::sysctl(c.mib.data(), static_cast<u_int>(c.mib.size()), buffer.data(), &length,
                         c.newValue ? &newValue : nullptr, c.newValue ? sizeof newValue : 0),
        -1);
    EXPECT_EQ(errno, c.error) << std::strerror(errno);
  }
}

TEST(SysctlArgmax, IsTheArgumentLimitAsAnInt32) {
  int mib[] = {CTL_KERN, KERN_ARGMAX};
  std::size_t length = 0;
  ASSERT_EQ(platform::sysctl(mib, 2, nullptr, &length, nullptr, 0), 0);
  EXPECT_EQ(length, 4u);

  std::int32_t value = 0;
  length = 64;  // larger than needed: the answer says what was delivered
  ASSERT_EQ(platform::sysctl(mib, 2, &value, &length, nullptr, 0), 0);
  EXPECT_EQ(length, 4u);
  EXPECT_GE(value, 128 * 1024);
  EXPECT_LE(static_cast<long>(value), ::sysconf(_SC_ARG_MAX));
}

TEST(SysctlProcessTable, ListsEveryProcessOnceAndNothingElse) {
  Child child({"/bin/cat"});
  ASSERT_GT(child.pid(), 0);
  const std::vector<std::int32_t> pids = processTable();
  EXPECT_EQ(std::count(pids.begin(), pids.end(), ::getpid()), 1);
  EXPECT_EQ(std::count(pids.begin(), pids.end(), child.pid()), 1);
  EXPECT_EQ(std::count(pids.begin(), pids.end(), 0), 0);
  for (std::int32_t pid : pids) EXPECT_GT(pid, 0);
}

TEST(SysctlProcessTable, ThreadsAreNotProcesses) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> done{false};
  std::thread thread([&] {
    tid = ::gettid();
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (tid == 0) std::this_thread::yield();
  const std::vector<std::int32_t> pids = processTable();
  done = true;
  thread.join();
  EXPECT_EQ(std::count(pids.begin(), pids.end(), tid.load()), 0);
  EXPECT_EQ(std::count(pids.begin(), pids.end(), ::getpid()), 1);
}

TEST(SysctlProcessTable, RecordsCarryTheProcessItsParentAndUserOnly) {
  int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  std::size_t size = 0;
  ASSERT_EQ(platform::sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
  // Filled with a pattern so that bytes the backend leaves alone would show.
  std::vector<unsigned char> bytes(size, 0xA5);
  std::size_t length = size;
  ASSERT_EQ(platform::sysctl(mib, 3, bytes.data(), &length, nullptr, 0), 0);
  ASSERT_GT(length, 0u);
  ASSERT_LE(length, size);
  ASSERT_EQ(length % 648, 0u);
  constexpr std::size_t kPpid = offsetof(platform::kinfo_proc, kp_eproc.e_ppid);
  constexpr std::size_t kUid = offsetof(platform::kinfo_proc, kp_eproc.e_uid);
  bool sawSelf = false;
  for (std::size_t offset = 0; offset < length; offset += 648) {
    for (std::size_t i = 0; i < 648; ++i) {
      if ((i >= 40 && i < 44) || (i >= kPpid && i < kPpid + 4) || (i >= kUid && i < kUid + 4))
        continue;
      ASSERT_EQ(bytes[offset + i], 0) << "record at " << offset << ", byte " << i;
    }
    platform::kinfo_proc record;
    std::memcpy(&record, bytes.data() + offset, sizeof record);
    if (record.kp_proc.p_pid != ::getpid()) continue;
    sawSelf = true;
    EXPECT_EQ(record.kp_eproc.e_ppid, ::getppid());
    EXPECT_EQ(record.kp_eproc.e_uid, ::geteuid());
  }
  EXPECT_TRUE(sawSelf);
  EXPECT_EQ(bytes[length], 0xA5) << "wrote past the bytes it reported";
}

TEST(SysctlProcessTable, SizeQueryLeavesRoomForNewProcesses) {
  int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  std::size_t size = 0;
  ASSERT_EQ(platform::sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
  const std::size_t current = processTable().size() * 648;
  EXPECT_EQ(size % 648, 0u);
  EXPECT_GE(size, current + 16 * 648);
}

TEST(SysctlProcessTable, ShortBufferFailsWithWhatFitted) {
  int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
  std::vector<platform::kinfo_proc> records(1);
  std::size_t length = sizeof records[0];
  ASSERT_EQ(platform::sysctl(mib, 3, records.data(), &length, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(length, 648u);
  EXPECT_GT(records[0].kp_proc.p_pid, 0);
}

TEST(SysctlProcessArguments, CountPathAndArguments) {
  // cat reads standard input first and so stays alive; the empty argument and the one with a
  // space are file names it never reaches.
  Child child({"/bin/cat", "-", "", "x y"});
  ASSERT_GT(child.pid(), 0);
  // The child is known once it has executed cat; until then it may still be this program,
  // or between images (ESRCH).
  Arguments area;
  for (int attempt = 0; attempt < 500; ++attempt) {
    area = {};
    if (readArguments(child.pid(), 64 * 1024, area) == 0 &&
        area.path == readLink("/proc/" + std::to_string(child.pid()) + "/exe") && area.argc == 4) {
      break;
    }
    ::usleep(2000);
  }
  EXPECT_EQ(area.argc, 4);
  EXPECT_EQ(area.path, readLink("/proc/" + std::to_string(child.pid()) + "/exe"));
  EXPECT_EQ(area.args, (std::vector<std::string>{"/bin/cat", "-", "", "x y"}));
  EXPECT_EQ(area.delivered, 4 + area.path.size() + 1 + 9 + 2 + 1 + 4);
}

TEST(SysctlProcessArguments, CutOffAtTheCallersBuffer) {
  const std::string self = readLink("/proc/self/exe");
  ASSERT_FALSE(self.empty());
  Arguments whole;
  ASSERT_EQ(readArguments(::getpid(), 64 * 1024, whole), 0);
  ASSERT_EQ(whole.path, self);
  ASSERT_GE(whole.argc, 1);

  struct Case {
    const char* what;
    std::size_t size;
    std::string path;
  };
  const Case cases[] = {
      {"count only", 4, ""},
      {"part of the path", 4 + 3, self.substr(0, 3)},
      {"path without its NUL", 4 + self.size(), self},
      {"path and NUL", 4 + self.size() + 1, self},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Arguments part;
    ASSERT_EQ(readArguments(::getpid(), c.size, part), 0);
    EXPECT_EQ(part.delivered, c.size);
    EXPECT_EQ(part.argc, whole.argc) << "the count covers every argument";
    EXPECT_EQ(part.path, c.path);
    EXPECT_TRUE(part.args.empty());
  }
}

// The exe link cannot show a path longer than PATH_MAX: the process is still answered, with its
// whole path.
TEST(SysctlProcessArguments, AnExecutablePathLongerThanPathMaxIsAnswered) {
  test_support::LongPathProgram longer("/usr/bin/sleep");
  ASSERT_TRUE(longer.ok());
  Arguments area;
  for (int attempt = 0; attempt < 500; ++attempt) {  // until it runs the copy
    area = {};
    if (readArguments(longer.pid(), 64 * 1024, area) == 0 && area.path == longer.path()) break;
    ::usleep(2000);
  }
  EXPECT_EQ(area.path, longer.path());
  EXPECT_EQ(area.args, (std::vector<std::string>{"program", "30"}));
}

TEST(SysctlProcessArguments, ZombieHasNoImage) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(0);
  // Not reaped yet: a zombie until waitpid.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, pid, &info, WEXITED | WNOWAIT), 0);
  Arguments area;
  EXPECT_EQ(readArguments(pid, 4096, area), -1);
  EXPECT_EQ(errno, ESRCH);
  ::waitpid(pid, nullptr, 0);
}

TEST(SysctlProcessArguments, UnprivilegedCallerIsRefusedAnotherUsersProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // nobody may not look at the parent (root): the kernel says EACCES for the link.
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(2);
    }
    char buffer[4096];
    int mib[] = {CTL_KERN, KERN_PROCARGS2, ::getppid()};
    std::size_t length = sizeof buffer;
    const int rc = platform::sysctl(mib, 3, buffer, &length, nullptr, 0);
    ::_exit(rc == -1 && (errno == EACCES || errno == EPERM) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
