// The in-kernel process source against this machine's kernel (needs root and BPF): what only a
// capture at the moment of the exec can get right.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Override.h"
#include "platform/endpoint_security/bpf/ProcessRecords.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/identity/HashWorker.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/process/EventRing.h"
#include "platform/log/Log.h"
#include "tests/support/TempDir.h"

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
      if (drop_ && drop_(s)) return;
      std::lock_guard lock(mutex_);
      seen_.push_back(std::move(s));
      changed_.notify_all();
    };
  }

  // Messages for which `drop` holds are not kept (a flood's would fill the memory and make every
  // wait slow); set before the source starts.
  void dropWhere(std::function<bool(const Seen&)> drop) { drop_ = std::move(drop); }

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
  std::function<bool(const Seen&)> drop_;
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

// Drops a forked child to nobody's ids, as an unprivileged user's processes run.
bool becomeNobody() {
  return ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0;
}

// The lines about events lost to a full ring ("" when none).
std::string overruns(const platform::log::Capture& log) {
  std::string found;
  for (const std::string& line : log.lines()) {
    if (line.rfind("EndpointSecurity: kernel event overrun, ", 0) == 0) found += line + "\n";
  }
  return found;
}

bool overrunLogged(const platform::log::Capture& log) {
  return !overruns(log).empty();
}

// The execs the source logged as cut short for `uid` because the ring was past its fill mark.
std::uint64_t pressedCutsOf(const platform::log::Capture& log, uid_t uid) {
  static const std::regex counts(R"(uid (\d+): (\d+))");
  std::uint64_t total = 0;
  for (const std::string& line : log.lines()) {
    if (line.find("execs cut to 4096 bytes of arguments and environment while the kernel ring was "
                  "over 50% full, 512 bytes over 75%") == std::string::npos) {
      continue;
    }
    for (std::sregex_iterator it(line.begin(), line.end(), counts), end; it != end; ++it) {
      if (std::stoul((*it)[1]) == uid) total += std::stoull((*it)[2]);
    }
  }
  return total;
}

// The source's own lines, to show on a failure.
std::string sourceLines(const platform::log::Capture& log) {
  std::string lines;
  for (const std::string& line : log.lines()) {
    if (line.rfind("EndpointSecurity: ", 0) == 0) lines += line + "\n";
  }
  return lines;
}

bool logged(const platform::log::Capture& log, std::string_view part) {
  for (const std::string& line : log.lines()) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

// Processes that run a loop of their own until they are ended.
class Flooders {
 public:
  // Starts `count` processes running `loop` with their index (system calls only: the test
  // process has threads).
  Flooders(int count, const std::function<void(int)>& loop) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        loop(i);
        ::_exit(0);
      }
      pids_.push_back(pid);
    }
  }
  ~Flooders() { stop(); }
  void stop() {
    for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (const pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    pids_.clear();
  }

 private:
  std::vector<pid_t> pids_;
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

  // Runs `count` execs of /usr/bin/true SPAWN <i> one after another, as root, and checks that
  // each is reported with its arguments.
  void expectEverySpawnReported(int count) {
    std::vector<Command> commands;
    for (int i = 0; i < count; ++i) {
      commands.push_back(Command({"/usr/bin/true", "SPAWN", std::to_string(i)}, {"SPAWNER=1"}));
    }
    std::vector<pid_t> spawned;  // by index: a flood may soon use a pid again
    for (const Command& command : commands) spawned.push_back(run(command));
    const auto execs = recorder_.waitFor(
        [&](const Seen& s) {
          if (s.type != ES_EVENT_TYPE_NOTIFY_EXEC || s.args.size() != 3 || s.args[1] != "SPAWN") {
            return false;
          }
          const std::size_t index = std::stoul(s.args[2]);
          return index < spawned.size() && spawned[index] == s.other.pid;
        },
        static_cast<std::size_t>(count));
    EXPECT_EQ(execs.size(), static_cast<std::size_t>(count));
    for (const Seen& s : execs) {
      EXPECT_EQ(s.args[0], "/usr/bin/true");
      EXPECT_EQ(s.envs, std::vector<std::string>{"SPAWNER=1"});
    }
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
  const test_support::TempDir tree("bpf-setuid");
  const fs::path& dir = tree.path();
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
  for (int i = 0; i < 500 && !overrunLogged(log); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(overrunLogged(log));
  // Once the reader has caught up, what follows arrives again.
  const pid_t after = run(Command({"/usr/bin/true", "AFTER"}));
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) { return s.type == ES_EVENT_TYPE_NOTIFY_EXEC && s.other.pid == after; });
  EXPECT_EQ(execs.size(), 1u);
}

TEST_F(BpfSourceTest, PastTheFillMarkExecsAreCutShortAndCountedPerUser) {
  platform::log::Capture log;
  std::atomic<bool> paused{false};
  BpfOptions options;
  options.ringBytes = 512 * 1024;
  options.paused = &paused;
  options.reportInterval = 0ms;
  ASSERT_NO_FATAL_FAILURE(start(options));
  if (IsSkipped()) return;
  // Eight execs of 100 KiB environments by nobody: three fill the ring past half, the rest are
  // cut; then root's, short enough to pass whole. Every program of the machine writes to the ring
  // too: the marks may come sooner.
  const std::vector<std::string> bigEnv{"BIG=" + std::string(100 * 1024, 'e')};
  const Command flood({"/usr/bin/true", "FLOOD"}, bigEnv);
  const Command rootExec({"/usr/bin/true", "ROOT"}, {"ROOT=1"});
  paused = true;
  std::this_thread::sleep_for(50ms);  // a read under way has ended
  std::vector<pid_t> floods;
  for (int i = 0; i < 8; ++i) {
    floods.push_back(run([&] {
      if (becomeNobody()) flood.execute();
    }));
  }
  const pid_t root = run(rootExec);
  paused = false;
  const auto execs = recorder_.waitFor(
      [&](const Seen& s) {
        return s.type == ES_EVENT_TYPE_NOTIFY_EXEC &&
               (s.other.pid == root ||
                std::find(floods.begin(), floods.end(), s.other.pid) != floods.end());
      },
      9);
  ASSERT_EQ(execs.size(), 9u);
  std::uint64_t whole = 0, cut = 0;
  for (const Seen& s : execs) {
    if (s.other.pid == root) {
      EXPECT_EQ(s.args, (std::vector<std::string>{"/usr/bin/true", "ROOT"}));
      EXPECT_EQ(s.envs, std::vector<std::string>{"ROOT=1"});
      continue;
    }
    EXPECT_EQ(s.args, (std::vector<std::string>{"/usr/bin/true", "FLOOD"}));
    ASSERT_EQ(s.envs.size(), 1u);
    if (s.envs == bigEnv) {
      ++whole;
    } else {
      ++cut;
      EXPECT_EQ(s.envs[0], bigEnv[0].substr(0, s.envs[0].size()));
      // Past the high mark (three quarters) to less.
      const std::size_t kept = std::string("/usr/bin/true").size() + 1 + 5 + 1 + s.envs[0].size();
      EXPECT_TRUE(kept == WATCH_ARGS_ENV_PRESSED_CAP || kept == WATCH_ARGS_ENV_HIGH_PRESSED_CAP)
          << kept;
    }
  }
  EXPECT_LE(whole, 3u);
  EXPECT_GE(cut, 5u);
  for (int i = 0; i < 100 && pressedCutsOf(log, 65534) < cut; ++i) {
    run(Command({"/usr/bin/true"}));  // the count is logged after a read
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(pressedCutsOf(log, 65534), cut);
  EXPECT_FALSE(overrunLogged(log));
}

TEST_F(BpfSourceTest, AUsersFloodOfLargeEnvironmentsCostsItsDetailNotARootSpawnersExecs) {
#ifdef __SANITIZE_ADDRESS__
  // Smaller records buy the reader time, not speed: a reader several times slower than the
  // product's falls behind a shell's exec rate whatever each record carries.
  GTEST_SKIP() << "a sanitized reader is slower than a flood of execs";
#endif
  platform::log::Capture log;
  BpfOptions options;
  options.ringBytes = 1 << 20;  // small for the flood, so that it reaches the fill mark
  options.reportInterval = 100ms;
  recorder_.dropWhere(
      [](const Seen& s) { return s.process.ruid == 65534 || s.other.ruid == 65534; });
  ASSERT_NO_FATAL_FAILURE(start(options));
  if (IsSkipped()) return;
  // Nobody execs 120 KiB environments as fast as a shell can, from two shells.
  const Command flood({"/bin/sh", "-c", "while :; do /usr/bin/true FLOOD; done"},
                      {"BIG=" + std::string(120 * 1024, 'e')});
  Flooders flooders(2, [&](int) {
    if (becomeNobody()) flood.execute();
  });
  std::this_thread::sleep_for(300ms);
  expectEverySpawnReported(1000);
  flooders.stop();
  EXPECT_EQ(overruns(log), "");
  for (int i = 0; i < 100 && pressedCutsOf(log, 65534) == 0; ++i) {
    std::this_thread::sleep_for(20ms);
    run(Command({"/usr/bin/true"}));
  }
  EXPECT_GT(pressedCutsOf(log, 65534), 0u) << sourceLines(log);
}

TEST_F(BpfSourceTest, AUsersHashStormCostsNoSpawnersExecs) {
  platform::log::Capture log;
  BpfOptions options;
  options.reportInterval = 100ms;
  recorder_.dropWhere(
      [](const Seen& s) { return s.process.ruid == 65534 || s.other.ruid == 65534; });
  ASSERT_NO_FATAL_FAILURE(start(options));
  if (IsSkipped()) return;
  // Nobody's own programs, each as large as is still hashed, touched and run in turn: every run
  // is of content not hashed before.
  const test_support::TempDir tree("bpf-hash-storm");
  const fs::path& dir = tree.path();
  ::chmod(dir.c_str(), 0755);
  std::vector<Command> programs;
  std::vector<std::string> paths;
  for (int i = 0; i < 80; ++i) {
    const fs::path program = dir / ("big" + std::to_string(i));
    fs::copy_file("/usr/bin/true", program, fs::copy_options::overwrite_existing);
    ASSERT_EQ(::truncate(program.c_str(), kMaxHashedFileSize), 0);
    ASSERT_EQ(::chown(program.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    paths.push_back(program.string());
    programs.push_back(Command({program.string(), "STORM"}));
  }
  Flooders stormers(2, [&](int index) {
    if (!becomeNobody()) return;
    // Each process its own half of the programs.
    const std::size_t first = static_cast<std::size_t>(index) * programs.size() / 2;
    for (std::size_t i = 0;; i = (i + 1) % (programs.size() / 2)) {
      ::utimensat(AT_FDCWD, paths[first + i].c_str(), nullptr, 0);
      const pid_t child = ::vfork();
      if (child == 0) {
        programs[first + i].execute();
        ::_exit(127);
      }
      ::waitpid(child, nullptr, 0);
    }
  });
  std::this_thread::sleep_for(300ms);
  expectEverySpawnReported(1000);
  stormers.stop();
  EXPECT_EQ(overruns(log), "");
  for (int i = 0; i < 100 && !logged(log, "executable hashes not ready within"); ++i) {
    std::this_thread::sleep_for(20ms);
    run(Command({"/usr/bin/true"}));
  }
  EXPECT_TRUE(logged(log, "executable hashes not ready within")) << sourceLines(log);
}

TEST(EventRing, IsSizedForTheHostWithinBoundsOrAsTheSettingSays) {
  constexpr std::uint64_t GiB = 1ull << 30;
  constexpr std::size_t MiB = 1u << 20;
  const struct {
    unsigned cpus;
    std::uint64_t memory;
    std::size_t expected;
  } hosts[] = {
      {1, 16 * GiB, 4 * MiB},    // the floor
      {2, 16 * GiB, 4 * MiB},    // 2 MiB per CPU
      {6, 16 * GiB, 8 * MiB},    // rounded down to a power of two
      {16, 16 * GiB, 32 * MiB},  //
      {64, 64 * GiB, 64 * MiB},  // the ceiling
      {16, 2 * GiB, 8 * MiB},    // at most 1/256 of the memory
      {8, 128 * MiB, 1 * MiB},   // never under 1 MiB
      {16, 0, 32 * MiB},         // memory unknown
  };
  for (const auto& h : hosts) {
    EXPECT_EQ(hostRingBytes(h.cpus, h.memory), h.expected)
        << h.cpus << " CPUs, " << h.memory << " bytes";
  }
  const struct {
    const char* setting;
    std::optional<std::size_t> expected;
  } settings[] = {
      {"16", 16 * MiB},       {"24", 16 * MiB}, {"1", 1 * MiB}, {"1024", 1024 * MiB}, {"0", {}},
      {"2048", {}},           {"16M", {}},      {"", {}},       {"-4", {}},           {" 8", {}},
      {"99999999999999", {}},
  };
  for (const auto& s : settings) {
    EXPECT_EQ(ringBytesFromSetting(s.setting), s.expected) << '"' << s.setting << '"';
  }
}

}  // namespace
