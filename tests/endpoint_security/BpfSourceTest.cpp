// The in-kernel process source against this machine's kernel (needs root and BPF): what only a
// capture at the moment of the exec can get right.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Override.h"
#include "platform/endpoint_security/BpfSource.h"
#include "platform/endpoint_security/SourceBackend.h"
#include "platform/log/Log.h"

using namespace platform::es;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string text(es_string_token_t t) {
  return t.data == nullptr ? std::string() : std::string(t.data, t.length);
}

struct Image {
  std::string signingId;
  bool platform = false;
  std::string hash;
  pid_t pid = 0;
  pid_t ppid = 0;
  pid_t pgid = 0;
  pid_t sid = 0;
  uid_t euid = 0;
  uid_t ruid = 0;
  std::string path;
  bool pathTruncated = false;

  static Image of(const es_process_t& p) {
    static const char* digits = "0123456789abcdef";
    std::string hash;
    for (const std::uint8_t byte : p.cdhash) {
      hash += digits[byte >> 4];
      hash += digits[byte & 15];
    }
    return Image{text(p.signing_id),
                 p.is_platform_binary,
                 hash,
                 audit_token_to_pid(p.audit_token),
                 p.ppid,
                 p.group_id,
                 p.session_id,
                 audit_token_to_euid(p.audit_token),
                 audit_token_to_ruid(p.audit_token),
                 text(p.executable->path),
                 p.executable->path_truncated};
  }
};

struct Seen {
  es_event_type_t type{};
  Image process;
  Image other;
  std::vector<std::string> args;
  std::vector<std::string> envs;
};

class Recorder {
 public:
  es_handler_block_t handler() {
    return [this](es_client_t*, const es_message_t* m) {
      Seen s{m->event_type, Image::of(*m->process), {}, {}, {}};
      if (m->event_type == ES_EVENT_TYPE_NOTIFY_EXEC) {
        s.other = Image::of(*m->event.exec.target);
        for (std::uint32_t i = 0; i < es_exec_arg_count(&m->event.exec); ++i) {
          s.args.push_back(text(es_exec_arg(&m->event.exec, i)));
        }
        for (std::uint32_t i = 0; i < es_exec_env_count(&m->event.exec); ++i) {
          s.envs.push_back(text(es_exec_env(&m->event.exec, i)));
        }
      } else if (m->event_type == ES_EVENT_TYPE_NOTIFY_FORK) {
        s.other = Image::of(*m->event.fork.child);
      }
      std::lock_guard lock(mutex_);
      seen_.push_back(std::move(s));
      changed_.notify_all();
    };
  }

  // Every message matching `match` once `count` of them have arrived (10 s at most).
  std::vector<Seen> waitFor(const std::function<bool(const Seen&)>& match, std::size_t count = 1) {
    std::unique_lock lock(mutex_);
    std::vector<Seen> found;
    changed_.wait_for(lock, 10s, [&] {
      found.clear();
      for (const auto& s : seen_) {
        if (match(s)) found.push_back(s);
      }
      return found.size() >= count;
    });
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
};

// A program with its arguments and environment, ready to be executed in a forked child.
class Command {
 public:
  Command(std::vector<std::string> argv, std::vector<std::string> envp = {})
      : argv_(std::move(argv)), envp_(std::move(envp)) {
    for (auto& s : argv_) a_.push_back(s.data());
    for (auto& s : envp_) e_.push_back(s.data());
    a_.push_back(nullptr);
    e_.push_back(nullptr);
  }
  void execute() const { ::execve(a_[0], a_.data(), e_.data()); }

 private:
  std::vector<std::string> argv_;
  std::vector<std::string> envp_;
  std::vector<char*> a_;
  std::vector<char*> e_;
};

const es_event_type_t kProcessEvents[] = {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_EXIT,
                                          ES_EVENT_TYPE_NOTIFY_FORK};

class BpfSourceTest : public ::testing::Test {
 protected:
  void start(BpfOptions options = {}) {
    if (::geteuid() != 0) GTEST_SKIP() << "the in-kernel source needs root";
    backend_ = std::make_unique<SourceBackend>([options] { return makeBpfSource(options); },
                                               std::vector<SourceFactory>{});
    const auto rc = backend_->newClient(&client_, recorder_.handler());
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) GTEST_SKIP() << "BPF is not available here: " << rc;
    ASSERT_EQ(backend_->subscribe(client_, kProcessEvents, 3), ES_RETURN_SUCCESS);
  }
  void TearDown() override {
    if (client_ != nullptr) {
      EXPECT_EQ(backend_->deleteClient(client_), ES_RETURN_SUCCESS);
    }
  }

  // Runs `child` in a forked process and waits for it; returns its pid. This process has
  // threads, so the child may only make system calls (no allocation): what it runs is prepared
  // before the fork, as a Command.
  static pid_t run(const std::function<void()>& child) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      child();
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
  }
  static pid_t run(const Command& command) {
    return run([&] { command.execute(); });
  }

  std::unique_ptr<SourceBackend> backend_;
  es_client_t* client_ = nullptr;
  Recorder recorder_;
};

TEST_F(BpfSourceTest, EachExecIsReportedAsItHappenedEvenWhenTheProgramChangesAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // A shell that execs another program at once: two documents, each about its own image.
  const pid_t chained = run(Command({"/bin/sh", "-c", "exec /usr/bin/true CHAINED"}));
  // A program that overwrites its arguments as soon as it runs: the original ones are reported.
  const pid_t forging =
      run(Command({"/usr/bin/perl", "-e", "$0 = 'forged-name-that-is-long'; exit 0"}, {"KEEP=1"}));
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) {
        return s.type == ES_EVENT_TYPE_NOTIFY_EXEC &&
               (s.other.pid == chained || s.other.pid == forging);
      },
      3);
  ASSERT_EQ(execs.size(), 3u);
  EXPECT_EQ(execs[0].other.path, "/usr/bin/dash");
  EXPECT_EQ(execs[0].args,
            (std::vector<std::string>{"/bin/sh", "-c", "exec /usr/bin/true CHAINED"}));
  EXPECT_EQ(execs[1].process.path, "/usr/bin/dash");
  EXPECT_EQ(execs[1].other.path, "/usr/bin/true");
  EXPECT_EQ(execs[1].args, (std::vector<std::string>{"/usr/bin/true", "CHAINED"}));
  EXPECT_EQ(execs[2].other.path, "/usr/bin/perl");
  EXPECT_EQ(execs[2].args, (std::vector<std::string>{"/usr/bin/perl", "-e",
                                                     "$0 = 'forged-name-that-is-long'; exit 0"}));
  EXPECT_EQ(execs[2].envs, (std::vector<std::string>{"KEEP=1"}));
}

TEST_F(BpfSourceTest, GroupAndSessionAreTheCurrentOnesAfterSetpgidAndSetsid) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  for (const bool newSession : {false, true}) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const Command grouped({"/usr/bin/true", "GROUPED"});
    const pid_t leader = run([&] {
      if (newSession) {
        ::setsid();
      } else {
        ::setpgid(0, 0);
      }
      const pid_t grandchild = ::fork();
      if (grandchild == 0) grouped.execute();
      ::waitpid(grandchild, nullptr, 0);
      ::_exit(0);
    });
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    const auto forks = recorder_.waitFor([&](const Seen& s) {
      return s.type == ES_EVENT_TYPE_NOTIFY_FORK && s.process.pid == leader;
    });
    ASSERT_EQ(forks.size(), 1u) << "session " << newSession;
    EXPECT_EQ(forks[0].process.pgid, leader);
    EXPECT_EQ(forks[0].other.pgid, leader);
    const auto execs = recorder_.waitFor([&](const Seen& s) {
      return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == forks[0].other.pid;
    });
    ASSERT_EQ(execs.size(), 1u);
    EXPECT_EQ(execs[0].process.pgid, leader);
    EXPECT_EQ(execs[0].other.pgid, leader);
    if (newSession) {
      EXPECT_EQ(forks[0].process.sid, leader);
      EXPECT_EQ(execs[0].other.sid, leader);
    }
  }
}

TEST_F(BpfSourceTest, ASetuidExecKeepsTheCallersIdsInTheProcessBeforeIt) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  const fs::path dir = fs::temp_directory_path() / ("bpf-setuid-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ::chmod(dir.c_str(), 0755);
  const fs::path id = dir / "id";
  fs::copy_file("/usr/bin/id", id, fs::copy_options::overwrite_existing);
  ASSERT_EQ(::chmod(id.c_str(), 04755), 0);
  const Command runId({id.string()});
  const pid_t child = run([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    const pid_t again = ::fork();  // a fork after the change: the table learns the new ids
    if (again == 0) runId.execute();
    ::waitpid(again, nullptr, 0);
    ::_exit(0);
  });
  const auto execs = recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.process.ppid == child &&
           s.other.path == id.string();
  });
  fs::remove_all(dir);
  ASSERT_EQ(execs.size(), 1u);
  EXPECT_EQ(execs[0].process.euid, 65534u);
  EXPECT_EQ(execs[0].other.euid, 0u);
}

TEST_F(BpfSourceTest, AnExecAfterSetuidIsReportedWithTheIdsOfItsCaller) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // No fork between the change of ids and the exec: only the exec itself can tell.
  const Command passwd({"/usr/bin/passwd", "--help"});
  const pid_t child = run([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    passwd.execute();
  });
  const auto execs = recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == child &&
           s.other.path == "/usr/bin/passwd";
  });
  ASSERT_EQ(execs.size(), 1u);
  EXPECT_EQ(execs[0].process.euid, 65534u);
  EXPECT_EQ(execs[0].process.ruid, 65534u);
  EXPECT_EQ(execs[0].other.euid, 0u);  // passwd is setuid root
  EXPECT_EQ(execs[0].other.ruid, 65534u);
}

TEST_F(BpfSourceTest, AnExitCarriesTheIdsGroupSessionAndParentOfItsEnd) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // A grandchild that leaves its session, drops to nobody and outlives its parent, so that each
  // of its ids at the end differs from those of its fork.
  const pid_t child = run([] {
    const pid_t parent = ::getpid();
    if (::fork() == 0) {
      if (::setsid() < 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
      while (::getppid() == parent) ::usleep(1000);
      ::_exit(0);
    }
    ::_exit(0);
  });
  const auto forks = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_FORK && s.process.pid == child; });
  ASSERT_EQ(forks.size(), 1u);
  const pid_t grandchild = forks[0].other.pid;
  const auto exits = recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXIT && s.process.pid == grandchild;
  });
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].process.sid, grandchild);
  EXPECT_EQ(exits[0].process.pgid, grandchild);
  EXPECT_EQ(exits[0].process.euid, 65534u);
  EXPECT_EQ(exits[0].process.ruid, 65534u);
  EXPECT_NE(exits[0].process.ppid, child);
  EXPECT_NE(exits[0].process.ppid, 0);
}

TEST_F(BpfSourceTest, AnotherFileMountedOverAPackagedPathGetsNoPackageIdentity) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // An ordinary user, in a user and mount namespace of its own, puts another program over
  // /usr/bin/ls and runs it (for long enough that the file that ran can be hashed).
  const pid_t child = run(Command(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/unshare",
       "-Urm", "/bin/sh", "-c", "mount --bind /usr/bin/sleep /usr/bin/ls && exec /usr/bin/ls 0.5"},
      {"PATH=/usr/bin:/bin"}));
  const auto spoofed = recorder_.waitFor([&](const Seen& s) {
    return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.args.size() == 2 && s.args[1] == "0.5";
  });
  // The same programs run plainly, for their true identities.
  run(Command({"/usr/bin/ls", "/nonexistent-REAL"}));
  run(Command({"/usr/bin/sleep", "0.01"}));
  const auto real = recorder_.waitFor(
      [&](const Seen& s) {
        return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.args.size() == 2 &&
               (s.args[1] == "/nonexistent-REAL" || s.args[1] == "0.01");
      },
      2);
  ASSERT_EQ(spoofed.size(), 1u) << "child " << child;
  ASSERT_EQ(real.size(), 2u);
  EXPECT_EQ(spoofed[0].other.path, "/usr/bin/ls");
  EXPECT_FALSE(spoofed[0].other.platform);
  EXPECT_EQ(spoofed[0].other.signingId, "");
  EXPECT_EQ(spoofed[0].other.hash, real[1].other.hash);  // the hash of what ran: sleep's
  EXPECT_TRUE(real[0].other.platform);
  EXPECT_EQ(real[0].other.signingId, "coreutils");
  EXPECT_NE(real[0].other.hash, real[1].other.hash);
}

TEST_F(BpfSourceTest, LargeArgumentsArriveWholeUpToTheCapAndTheCutIsCounted) {
  platform::log::Capture log;
  BpfOptions options;
  options.reportInterval = 0ms;
  ASSERT_NO_FATAL_FAILURE(start(options));
  if (IsSkipped()) return;
  const std::string big(100 * 1024, 'a');
  std::vector<std::string> envs;
  for (int i = 0; i < 1000; ++i) envs.push_back("E" + std::to_string(i) + "=v");
  const pid_t whole = run(Command({"/usr/bin/true", big}, envs));
  // One argument may hold at most 128 KiB: two of 70 KiB go past the cap together.
  const std::string half(70 * 1024, 'b');
  const pid_t cut = run(Command({"/usr/bin/true", half, half}, {"LOST=1"}));
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) {
        return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && (s.other.pid == whole || s.other.pid == cut);
      },
      2);
  ASSERT_EQ(execs.size(), 2u);
  EXPECT_EQ(execs[0].args, (std::vector<std::string>{"/usr/bin/true", big}));
  EXPECT_EQ(execs[0].envs, envs);
  // Exact up to the cap: the program's path, the first argument and a prefix of the second; no
  // environment.
  ASSERT_EQ(execs[1].args.size(), 3u);
  EXPECT_EQ(execs[1].args[0], "/usr/bin/true");
  EXPECT_EQ(execs[1].args[1], half);
  EXPECT_EQ(execs[1].args[2], half.substr(0, execs[1].args[2].size()));
  EXPECT_EQ(execs[1].args[0].size() + execs[1].args[1].size() + execs[1].args[2].size() + 2,
            128u * 1024);
  EXPECT_TRUE(execs[1].envs.empty());
  for (int i = 0;
       i < 100 && !log.contains("EndpointSecurity: 1 execs cut at the capture limits (path 4096 "
                                "bytes, arguments and environment 131072 bytes)");
       ++i) {
    run(Command({"/usr/bin/true"}));  // the count is logged after a read
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(log.contains(
      "EndpointSecurity: 1 execs cut at the capture limits (path 4096 bytes, arguments and "
      "environment 131072 bytes)"));
}

TEST_F(BpfSourceTest, APathLongerThanTheCapHidesNothingElse) {
  ASSERT_NO_FATAL_FAILURE(start());
  if (IsSkipped()) return;
  // Deeper than an absolute path may name: built and run relative to directory descriptors.
  const fs::path top = fs::temp_directory_path() / ("bpf-deep-" + std::to_string(::getpid()));
  fs::create_directories(top);
  int dirFd = ::open(top.c_str(), O_DIRECTORY | O_CLOEXEC);
  std::string full = top.string();
  for (int i = 0; i < 24; ++i) {  // 24 x 200 bytes: past 4,096
    const std::string name(200, static_cast<char>('a' + i));
    ASSERT_EQ(::mkdirat(dirFd, name.c_str(), 0755), 0);
    const int next = ::openat(dirFd, name.c_str(), O_DIRECTORY | O_CLOEXEC);
    ::close(dirFd);
    dirFd = next;
    full += "/" + name;
  }
  {
    const int in = ::open("/usr/bin/true", O_RDONLY | O_CLOEXEC);
    const int out = ::openat(dirFd, "true", O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    char buffer[65536];
    for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) {
      ASSERT_EQ(::write(out, buffer, static_cast<std::size_t>(n)), n);
    }
    ::close(in);
    ::close(out);
  }
  const std::string program = full + "/true";
  const pid_t child = run([&] {
    char arg0[] = "deep-true";
    char arg1[] = "DEEP";
    char env0[] = "DEEP=1";
    char* argv[] = {arg0, arg1, nullptr};
    char* envp[] = {env0, nullptr};
    ::execveat(dirFd, "true", argv, envp, 0);
  });
  ::close(dirFd);
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == child; });
  EXPECT_EQ(std::system(("rm -rf " + top.string()).c_str()), 0);
  ASSERT_EQ(execs.size(), 1u);
  EXPECT_TRUE(execs[0].other.pathTruncated);
  // The part nearest the file is kept.
  ASSERT_GT(execs[0].other.path.size(), 4000u);
  EXPECT_EQ(program.substr(program.size() - execs[0].other.path.size()), execs[0].other.path);
  EXPECT_EQ(execs[0].args, (std::vector<std::string>{"deep-true", "DEEP"}));
  EXPECT_EQ(execs[0].envs, (std::vector<std::string>{"DEEP=1"}));
}

TEST_F(BpfSourceTest, AFullRingIsCountedLoggedAndDeliveryResumes) {
  platform::log::Capture log;
  std::atomic<bool> paused{false};
  BpfOptions options;
  options.ringBytes = 64 * 1024;
  options.paused = &paused;
  ASSERT_NO_FATAL_FAILURE(start(options));
  if (IsSkipped()) return;
  paused = true;
  for (int i = 0; i < 300; ++i) run(Command({"/usr/bin/true", "FILL"}));
  paused = false;
  const auto overrunLogged = [&] {
    for (const std::string& line : log.lines()) {
      if (line.rfind("EndpointSecurity: kernel event overrun, ", 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 500 && !overrunLogged(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(overrunLogged());
  // Once the reader has caught up, what follows arrives again.
  const pid_t after = run(Command({"/usr/bin/true", "AFTER"}));
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == after; });
  EXPECT_EQ(execs.size(), 1u);
}

}  // namespace
