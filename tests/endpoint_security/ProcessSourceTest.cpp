// The process sources against this machine's kernel (needs root): every source of the table
// below meets the same expectations; what only one source can do is tested at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/process/ConnectorSource.h"
#include "platform/log/Log.h"

using namespace platform::es;
using platform::UniqueFd;
using namespace std::chrono_literals;

namespace {

std::string text(es_string_token_t t) {
  return t.data == nullptr ? std::string("<null>") : std::string(t.data, t.length);
}

// What one process of a message said, copied out during the handler call.
struct SeenProcess {
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t originalPpid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  uid_t euid = 0;
  uid_t ruid = 0;
  std::string path;
  std::string signingId;
  bool platform = false;
  std::array<std::uint8_t, 20> cdhash{};
  long startSeconds = 0;

  static SeenProcess of(const es_process_t& p) {
    SeenProcess s;
    s.pid = audit_token_to_pid(p.audit_token);
    s.ppid = p.ppid;
    s.originalPpid = p.original_ppid;
    s.pgid = p.group_id;
    s.sid = p.session_id;
    s.euid = audit_token_to_euid(p.audit_token);
    s.ruid = audit_token_to_ruid(p.audit_token);
    s.path = text(p.executable->path);
    s.signingId = text(p.signing_id);
    s.platform = p.is_platform_binary;
    std::memcpy(s.cdhash.data(), p.cdhash, 20);
    s.startSeconds = p.start_time.tv_sec;
    return s;
  }
};

struct Seen {
  es_event_type_t type{};
  timespec time{};
  SeenProcess process;
  SeenProcess other;  // exec target or fork child
  std::vector<std::string> args;
  std::vector<std::string> envs;
  int stat = 0;
  std::thread::id thread;
};

class Recorder {
 public:
  es_handler_block_t handler() {
    return [this](es_client_t*, const es_message_t* m) {
      Seen s;
      s.type = m->event_type;
      s.time = m->time;
      s.process = SeenProcess::of(*m->process);
      s.thread = std::this_thread::get_id();
      if (m->event_type == ES_EVENT_TYPE_NOTIFY_EXEC) {
        s.other = SeenProcess::of(*m->event.exec.target);
        for (std::uint32_t i = 0; i < es_exec_arg_count(&m->event.exec); ++i) {
          s.args.push_back(text(es_exec_arg(&m->event.exec, i)));
        }
        for (std::uint32_t i = 0; i < es_exec_env_count(&m->event.exec); ++i) {
          s.envs.push_back(text(es_exec_env(&m->event.exec, i)));
        }
      } else if (m->event_type == ES_EVENT_TYPE_NOTIFY_FORK) {
        s.other = SeenProcess::of(*m->event.fork.child);
      } else if (m->event_type == ES_EVENT_TYPE_NOTIFY_EXIT) {
        s.stat = m->event.exit.stat;
      }
      if (gate) gate();
      std::lock_guard lock(mutex_);
      seen_.push_back(std::move(s));
      changed_.notify_all();
    };
  }

  // The first message matching `match`, waiting up to 10 s for it.
  std::optional<Seen> waitFor(const std::function<bool(const Seen&)>& match) {
    std::unique_lock lock(mutex_);
    std::optional<Seen> found;
    changed_.wait_for(lock, 10s, [&] {
      for (const auto& s : seen_) {
        if (match(s)) {
          found = s;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  std::vector<Seen> all() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  std::function<void()> gate;  // runs inside the handler before the message is recorded

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
};

const es_event_type_t kProcessEvents[] = {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_EXIT,
                                          ES_EVENT_TYPE_NOTIFY_FORK};

// A process source under test: how to make it, and how to make one whose kernel buffer fills
// soon once its client stops taking events.
struct NamedSource {
  const char* name;
  SourceFactory make;
  SourceFactory makeSmall;
};

void PrintTo(const NamedSource& source, std::ostream* out) {
  *out << source.name;
}

const NamedSource kSources[] = {
    {"bpf", [] { return makeBpfSource(); },
     [] {
       BpfOptions small;
       small.ringBytes = 4096;  // one page: a few records
       return makeBpfSource(small);
     }},
    {"connector", [] { return makeConnectorSource(); },
     [] {
       ConnectorOptions small;
       small.receiveBufferBytes = 4096;  // the kernel's minimum is about this
       return makeConnectorSource(small);
     }},
};

class ProcessSourceTest : public ::testing::TestWithParam<NamedSource> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "the process sources need root";
    }
  }
  void TearDown() override {
    if (client_ != nullptr) {
      EXPECT_EQ(backend_->deleteClient(client_), ES_RETURN_SUCCESS);
    }
  }

  void start(const es_event_type_t* events = kProcessEvents, std::uint32_t count = 3) {
    startWith(GetParam().make, {}, events, count);
  }
  void startWith(SourceFactory make, SourceBackendOptions options,
                 const es_event_type_t* events = kProcessEvents, std::uint32_t count = 3) {
    backend_ = std::make_unique<SourceBackend>(std::move(make), std::vector<SourceFactory>{},
                                               std::move(options));
    const auto rc = backend_->newClient(&client_, recorder_.handler());
    if (rc == ES_NEW_CLIENT_RESULT_ERR_INTERNAL) {
      GTEST_SKIP() << GetParam().name << " is not available here";
    }
    ASSERT_EQ(rc, ES_NEW_CLIENT_RESULT_SUCCESS);
    ASSERT_EQ(backend_->subscribe(client_, events, count), ES_RETURN_SUCCESS);
  }

  // Starts `argv` with exactly `envp` in a child; returns its pid.
  static pid_t spawn(std::vector<const char*> argv, std::vector<const char*> envp,
                     int stdoutFd = -1) {
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (stdoutFd >= 0) ::dup2(stdoutFd, 1);
      ::execve(argv[0], const_cast<char* const*>(argv.data()),
               const_cast<char* const*>(envp.data()));
      ::_exit(127);
    }
    return pid;
  }

  static int waitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }

  std::unique_ptr<SourceBackend> backend_;
  es_client_t* client_ = nullptr;
  Recorder recorder_;
};

TEST_P(ProcessSourceTest, ReportsForkExecAndExitOfAChildWithItsDetails) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // Fill a pipe so the child's echo blocks on its write until the exec has been seen: the test
  // then never races the process's exit.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(writeEnd.get(), filler.data(), filler.size()) > 0) {
  }
  ::fcntl(writeEnd.get(), F_SETFL, 0);

  const std::string marker = "WATCH_MARKER=" + std::to_string(::getpid());
  timespec before{};
  ::clock_gettime(CLOCK_REALTIME, &before);
  const pid_t child = spawn({"/bin/sh", "-c", "exec /bin/echo a b"},
                            {marker.c_str(), "PATH=/usr/bin:/bin"}, writeEnd.get());
  ASSERT_GT(child, 0);
  writeEnd.reset();

  const auto exec = recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == child &&
           s.other.path == "/usr/bin/echo";
  });
  char drain[65536];
  while (::read(readEnd.get(), drain, sizeof drain) > 0) {
  }
  EXPECT_EQ(waitExit(child), 0);
  timespec after{};
  ::clock_gettime(CLOCK_REALTIME, &after);

  ASSERT_TRUE(exec.has_value());
  EXPECT_EQ(exec->args, (std::vector<std::string>{"/bin/echo", "a", "b"}));
  // The shell passes its environment on (adding PWD).
  EXPECT_NE(std::find(exec->envs.begin(), exec->envs.end(), marker), exec->envs.end());
  EXPECT_NE(std::find(exec->envs.begin(), exec->envs.end(), "PATH=/usr/bin:/bin"),
            exec->envs.end());
  EXPECT_EQ(exec->process.pid, child);
  EXPECT_EQ(exec->other.ppid, ::getpid());
  EXPECT_EQ(exec->other.originalPpid, ::getpid());
  EXPECT_EQ(exec->other.euid, ::geteuid());
  EXPECT_EQ(exec->other.ruid, ::getuid());
  EXPECT_TRUE(exec->other.platform);
  EXPECT_EQ(exec->other.signingId, "coreutils");
  UniqueFd echo(::open("/usr/bin/echo", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(exec->other.cdhash, contentHash(echo.get()));
  EXPECT_GE(exec->time.tv_sec, before.tv_sec);
  EXPECT_LE(exec->time.tv_sec, after.tv_sec);
  EXPECT_GE(exec->other.startSeconds, before.tv_sec - 1);
  EXPECT_LE(exec->other.startSeconds, after.tv_sec);

  const auto fork = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_FORK && s.other.pid == child; });
  ASSERT_TRUE(fork.has_value());
  EXPECT_EQ(fork->process.pid, ::getpid());
  EXPECT_EQ(fork->other.ppid, ::getpid());
  EXPECT_EQ(fork->other.originalPpid, ::getpid());

  const auto exit = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == child; });
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->stat, 0);
  EXPECT_EQ(exit->process.path, "/usr/bin/echo");  // the image it ended in

  // One delivery thread, not the caller's.
  const auto all = recorder_.all();
  for (const auto& s : all) {
    EXPECT_EQ(s.thread, all.front().thread);
    EXPECT_NE(s.thread, std::this_thread::get_id());
  }
}

TEST_P(ProcessSourceTest, ExitCarriesTheRawWaitStatus) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  const struct {
    const char* script;
    int stat;
  } cases[] = {{"exit 3", 3 << 8}, {"kill -TERM $$", SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const pid_t child = spawn({"/bin/sh", "-c", c.script}, {});
    EXPECT_EQ(waitExit(child), c.stat);
    const auto exit = recorder_.waitFor([&](const Seen& s) {
      return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == child;
    });
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->stat, c.stat);
  }
}

void* reportThreadId(void* fd) {
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  [[maybe_unused]] const ssize_t n = ::write(*static_cast<int*>(fd), &tid, sizeof tid);
  return nullptr;
}

TEST_P(ProcessSourceTest, ThreadsAreNotReportedAsProcesses) {
  if (::geteuid() != 0) GTEST_SKIP() << "the process sources need root";
  // The child is forked while this process has no other threads: a child of a process with
  // threads may not create one itself (a lock another thread held at the fork stays held).
  int fds[2];
  int go[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char start = 0;
    if (::read(go[0], &start, 1) != 1) ::_exit(3);
    pthread_t thread;
    int fd = fds[1];
    if (::pthread_create(&thread, nullptr, reportThreadId, &fd) != 0) ::_exit(2);
    ::pthread_join(thread, nullptr);
    ::_exit(0);
  }
  ::close(fds[1]);
  ::close(go[0]);
  UniqueFd goEnd(go[1]);
  start();
  if (HasFatalFailure() || IsSkipped()) {
    goEnd.reset();  // the child ends without its thread
    waitExit(child);
    return;
  }
  ASSERT_EQ(::write(goEnd.get(), "x", 1), 1);
  pid_t tid = 0;
  ASSERT_EQ(::read(readEnd.get(), &tid, sizeof tid), static_cast<ssize_t>(sizeof tid));
  EXPECT_EQ(waitExit(child), 0);
  ASSERT_NE(tid, child);

  ASSERT_TRUE(recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == child;
  }));
  for (const auto& s : recorder_.all()) {
    EXPECT_NE(s.process.pid, tid);
    EXPECT_NE(s.other.pid, tid);
  }
  const auto forks = recorder_.all();
  EXPECT_EQ(std::count_if(forks.begin(), forks.end(),
                          [&](const Seen& s) {
                            return s.type == ES_EVENT_TYPE_NOTIFY_FORK && s.process.pid == child;
                          }),
            0);
}

TEST_P(ProcessSourceTest, DeliversOnlySubscribedTypes) {
  const es_event_type_t exitOnly[] = {ES_EVENT_TYPE_NOTIFY_EXIT};
  ASSERT_NO_FATAL_FAILURE(start(exitOnly, 1));
  if (IsSkipped()) return;
  const pid_t child = spawn({"/bin/true"}, {});
  EXPECT_EQ(waitExit(child), 0);
  ASSERT_TRUE(recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == child;
  }));
  for (const auto& s : recorder_.all()) EXPECT_EQ(s.type, ES_EVENT_TYPE_NOTIFY_EXIT);

  const es_event_type_t unknown[] = {static_cast<es_event_type_t>(4000)};
  EXPECT_EQ(backend_->subscribe(client_, unknown, 1), ES_RETURN_ERROR);
}

TEST_P(ProcessSourceTest, OverrunIsCountedLoggedAndDeliveryGoesOn) {
  platform::log::Capture log;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  recorder_.gate = [released] { released.wait(); };
  SourceBackendOptions held;
  held.queueCapacity = 1;
  ASSERT_NO_FATAL_FAILURE(startWith(GetParam().makeSmall, held));
  if (IsSkipped()) return;

  // The handler is held: the queue fills, the reader stops, the kernel drops.
  for (int i = 0; i < 200; ++i) waitExit(spawn({"/bin/true"}, {}));
  release.set_value();

  const std::regex line(R"(EndpointSecurity: kernel event overrun, (\d+) events lost)");
  std::uint64_t logged = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (logged == 0 && std::chrono::steady_clock::now() < deadline) {
    // The connector numbers its messages per CPU: a gap shows with that CPU's next message, so
    // the machine must go on making some.
    waitExit(spawn({"/bin/true"}, {}));
    std::this_thread::sleep_for(20ms);
    logged = 0;
    for (const auto& l : log.lines()) {
      std::smatch m;
      if (std::regex_match(l, m, line)) logged += std::stoull(m[1]);
    }
  }
  EXPECT_GT(logged, 0u);

  const pid_t child = spawn({"/bin/sh", "-c", "exit 7"}, {});
  EXPECT_EQ(waitExit(child), 7 << 8);
  const auto exit = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == child; });
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->stat, 7 << 8);
}

TEST_P(ProcessSourceTest, AForkAfterSetpgidCarriesTheCurrentGroupInBothProcesses) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  // The child leads a group of its own, forks, and stays until the test has seen the fork.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    writeEnd.reset();
    if (::setpgid(0, 0) != 0) ::_exit(2);
    const pid_t grandchild = ::fork();
    if (grandchild == 0) ::_exit(0);
    ::waitpid(grandchild, nullptr, 0);
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(readEnd.get(), &byte, 1);
    ::_exit(0);
  }
  readEnd.reset();
  const auto fork = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_FORK && s.process.pid == child; });
  writeEnd.reset();
  EXPECT_EQ(waitExit(child), 0);
  ASSERT_TRUE(fork.has_value());
  EXPECT_EQ(fork->process.pgid, child);
  EXPECT_EQ(fork->other.pgid, child);
  EXPECT_EQ(fork->other.sid, ::getsid(0));
}

INSTANTIATE_TEST_SUITE_P(Sources, ProcessSourceTest, ::testing::ValuesIn(kSources),
                         [](const ::testing::TestParamInfo<NamedSource>& info) {
                           return std::string(info.param.name);
                         });

// The connector only: a process that ends before the reader reads it.
TEST(ConnectorSource, AnExecWhoseProcessWasGoneIsReportedAndTheIncompleteCaptureLogged) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the process connector needs root";
  }
  platform::log::Capture log;
  std::atomic<bool> paused{false};
  ConnectorOptions options;
  options.paused = &paused;
  options.reportInterval = 50ms;
  Recorder recorder;
  SourceBackend backend([&] { return makeConnectorSource(options); }, {});
  es_client_t* client = nullptr;
  const auto rc = backend.newClient(&client, recorder.handler());
  if (rc == ES_NEW_CLIENT_RESULT_ERR_INTERNAL) GTEST_SKIP() << "no process connector here";
  ASSERT_EQ(rc, ES_NEW_CLIENT_RESULT_SUCCESS);
  EXPECT_EQ(backend.subscribe(client, kProcessEvents, 3), ES_RETURN_SUCCESS);

  paused = true;
  const pid_t child = ::fork();
  if (child == 0) {
    const char* argv[] = {"/bin/true", nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  paused = false;

  const auto exec = recorder.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.process.pid == child; });
  ASSERT_TRUE(exec.has_value());
  EXPECT_EQ(exec->other.pid, child);
  EXPECT_EQ(exec->other.path, "<null>");  // read as "unknown"
  UniqueFd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(exec->process.cdhash, contentHash(self.get()));  // the image before: the test's own

  const std::regex line(
      R"(EndpointSecurity: (\d+) execs captured incomplete \(process gone before it could be read\))");
  std::uint64_t logged = 0;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (logged == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    for (const auto& l : log.lines()) {
      std::smatch m;
      if (std::regex_match(l, m, line)) logged += std::stoull(m[1]);
    }
  }
  EXPECT_GE(logged, 1u);
  EXPECT_EQ(backend.deleteClient(client), ES_RETURN_SUCCESS);
}

// Runs `prepare` in a child process, then opens a connector source there; returns the result
// code (101 for a refusal without a reason), or -1 when `prepare` could not set the situation up.
int openResultIn(const std::function<bool()>& prepare) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!prepare()) ::_exit(100);
    std::string why;
    const auto rc = makeConnectorSource()->open(why);
    ::_exit(rc != ES_NEW_CLIENT_RESULT_SUCCESS && why.empty() ? 101 : static_cast<int>(rc));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 100) return -1;
  return WEXITSTATUS(status);
}

TEST(ConnectorSource, RefusalsMapToTheirCodes) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to set up each refusal";
  }
  const struct {
    const char* name;
    std::function<bool()> prepare;
    int expected;
  } cases[] = {
      {"not root", [] { return ::setresuid(65534, 65534, 65534) == 0; },
       ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED},
      {"root without CAP_NET_ADMIN",
       [] {
         __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
         __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
         if (::syscall(SYS_capget, &header, data) != 0) return false;
         data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
         return ::syscall(SYS_capset, &header, data) == 0;
       },
       ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED},
      {"root of a user namespace",
       [] {
         if (::unshare(CLONE_NEWUSER) != 0) return false;
         const int fd = ::open("/proc/self/uid_map", O_WRONLY | O_CLOEXEC);
         const bool mapped = fd >= 0 && ::write(fd, "0 0 1", 5) == 5;
         if (fd >= 0) ::close(fd);
         return mapped && ::geteuid() == 0;
       },
       ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int rc = openResultIn(c.prepare);
    if (rc == -1) {
      std::printf("[ SKIPPED  ] %s: cannot be set up here\n", c.name);
      continue;
    }
    EXPECT_EQ(rc, c.expected);
  }
}

}  // namespace
