// The process-table request against asking `ps -eo pid,args` for the same list, in the same run
// on the same machine, with the machine holding 20, 500 and 2,000 processes:
//   - BM_WatchctlPs: the whole request as a user makes it: `watchctl ps` started, answered by a
//     running agent (started here, as root) from the table its event source keeps, output read;
//   - BM_ProcTableAnswer: the answer built in this process from /proc (the stand-in without an
//     event source), walk + encode;
//   - BM_PsPidArgs: `ps -eo pid,args` started, output read;
//   - BM_WatchctlPsLongPaths: `watchctl ps` with 5,000 processes of nobody whose executable's
//     path is 4,043 bytes long (a table of about 20 MB), with the agent's resident memory before
//     the requests and 10 s after the last (rss_before_kB, rss_after_10s_kB).
// Everything is wall-clock time; the summary prints each time and the ratio to ps per size.
//
//   sudo bench_proctable [--benchmark_repetitions=5] [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "agent/ipc/CustomObject.h"
#include "agent/ipc/ProcTable.h"
#include "platform/Override.h"
#include "platform/sysctl/sysctl.h"

extern char** environ;

namespace {

// Sends standard output and standard error to /dev/null while alive: the answer prints a line
// and logs two per call, and ps may complain; the reporter's own output is flushed first.
class Silence {
 public:
  Silence() {
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = ::dup(STDOUT_FILENO);
    savedErr_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~Silence() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
  }
  Silence(const Silence&) = delete;
  Silence& operator=(const Silence&) = delete;

 private:
  int savedOut_;
  int savedErr_;
};

int processCount() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    count += !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
  }
  return count;
}

// Idle processes that bring the machine to `total` processes; killed and reaped on destruction.
class ExtraProcesses {
 public:
  explicit ExtraProcesses(int total) {
    const int count = total - processCount();
    for (int i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (;;) ::pause();
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~ExtraProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }
  ExtraProcesses(const ExtraProcesses&) = delete;
  ExtraProcesses& operator=(const ExtraProcesses&) = delete;

 private:
  std::vector<pid_t> pids_;
};

// Runs `argv` and returns how many bytes it printed; -1 when it could not be run or failed.
long runCommand(char* const* argv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  long total = 0;
  char buffer[64 * 1024];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) total += n;
  ::close(pipeFds[0]);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? total : -1;
}

long runPs() {
  char ps[] = "ps";
  char options[] = "-eo";
  char columns[] = "pid,args";
  char* argv[] = {ps, options, columns, nullptr};
  return runCommand(argv);
}

// A real agent serving a services directory of its own for the whole run.
class Agent {
 public:
  Agent()
      : dir_(std::filesystem::temp_directory_path() /
             ("bench-proctable-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    ::setenv("XPC_SERVICES_DIR", dir_.c_str(), 1);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execl(WATCH_AGENT_PATH, WATCH_AGENT_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 100 && !ready(); ++i) ::usleep(50000);
  }
  ~Agent() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  pid_t pid() const { return pid_; }
  bool ready() {
    char watchctl[] = WATCH_CTL_PATH;
    char ping[] = "ping";
    char* argv[] = {watchctl, ping, nullptr};
    return runCommand(argv) > 0;
  }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

Agent& agentProcess() {
  static Agent agent;
  return agent;
}

void BM_WatchctlPs(benchmark::State& state) {
  if (::geteuid() != 0 || !agentProcess().ready()) {
    state.SkipWithError("needs root and the agent");
    return;
  }
  ExtraProcesses extra(static_cast<int>(state.range(0)));
  ::usleep(200000);  // the agent's table has taken in the new processes
  char watchctl[] = WATCH_CTL_PATH;
  char ps[] = "ps";
  char* argv[] = {watchctl, ps, nullptr};
  long bytes = 0;
  {
    Silence silence;
    for (auto _ : state) bytes = runCommand(argv);
  }
  if (bytes <= 0) state.SkipWithError("watchctl ps failed");
  state.counters["output_bytes"] = static_cast<double>(bytes);
}

void BM_ProcTableAnswer(benchmark::State& state) {
  ExtraProcesses extra(static_cast<int>(state.range(0)));
  std::size_t processes = 0;
  std::size_t bytes = 0;
  {
    Silence silence;
    for (auto _ : state) {
      agent::answerProcTable([&](const std::string& reply) { bytes = reply.size(); });
    }
    processes = agent::CustomObject().getProcs2().value_or(agent::ProcDictionary{}).size();
  }
  if (bytes <= 5) state.SkipWithError("the answer was Hello");
  state.counters["processes"] = static_cast<double>(processes);
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}

void BM_ProcTableWalkOnly(benchmark::State& state) {
  ExtraProcesses extra(static_cast<int>(state.range(0)));
  std::size_t processes = 0;
  {
    Silence silence;
    for (auto _ : state) {
      auto snapshot = agent::CustomObject().getProcs2();
      processes = snapshot ? snapshot->size() : 0;
      benchmark::DoNotOptimize(snapshot);
    }
  }
  state.counters["processes"] = static_cast<double>(processes);
}

void BM_PsPidArgs(benchmark::State& state) {
  ExtraProcesses extra(static_cast<int>(state.range(0)));
  long bytes = 0;
  {
    Silence silence;
    for (auto _ : state) bytes = runPs();
  }
  if (bytes < 0) state.SkipWithError("ps -eo pid,args could not be run");
  state.counters["output_bytes"] = static_cast<double>(bytes);
}

long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// `count` processes of nobody running a copy of sleep whose path is `length` bytes long;
// killed and reaped on destruction, with the copy.
class LongPathProcesses {
 public:
  LongPathProcesses(int count, std::size_t length)
      : root_(std::filesystem::temp_directory_path() /
              ("bench-longpath-" + std::to_string(::getpid()))) {
    std::filesystem::path dir = root_;
    while (dir.string().size() + 201 < length - 16) dir /= std::string(199, 'p');
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / std::string(length - dir.string().size() - 1, 'x');
    std::filesystem::copy_file("/usr/bin/sleep", file);
    for (auto p = file; p != root_.parent_path(); p = p.parent_path()) {
      std::filesystem::permissions(p, std::filesystem::perms(0755));
    }
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) return;
    const std::string path = file.string();
    for (int i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(126);
        ::execl(path.c_str(), path.c_str(), "3600", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~LongPathProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(root_);
  }
  LongPathProcesses(const LongPathProcesses&) = delete;
  LongPathProcesses& operator=(const LongPathProcesses&) = delete;

  std::size_t started() const { return pids_.size(); }

 private:
  std::filesystem::path root_;
  std::vector<pid_t> pids_;
};

void BM_WatchctlPsLongPaths(benchmark::State& state) {
  if (::geteuid() != 0 || !agentProcess().ready()) {
    state.SkipWithError("needs root and the agent");
    return;
  }
  LongPathProcesses extra(5000, 4043);
  ::sleep(3);  // the agent's table has taken in the new processes
  const pid_t agent = agentProcess().pid();
  const long before = residentKb(agent);
  char watchctl[] = WATCH_CTL_PATH;
  char ps[] = "ps";
  char* argv[] = {watchctl, ps, nullptr};
  long bytes = 0;
  {
    Silence silence;
    for (auto _ : state) bytes = runCommand(argv);
  }
  ::sleep(10);
  if (bytes <= 0) state.SkipWithError("watchctl ps failed");
  state.counters["processes"] = static_cast<double>(extra.started());
  state.counters["output_bytes"] = static_cast<double>(bytes);
  state.counters["rss_before_kB"] = static_cast<double>(before);
  state.counters["rss_after_10s_kB"] = static_cast<double>(residentKb(agent));
}

// Processes on the machine (at least what it runs already).
#define PROCTABLE_SIZES Arg(20)->Arg(500)->Arg(2000)
BENCHMARK(BM_WatchctlPs)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcTableAnswer)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcTableWalkOnly)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PsPidArgs)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WatchctlPsLongPaths)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The console report, then each answer time beside the ps time for the same table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With --benchmark_repetitions the median stands for the family; otherwise the one run.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
      const std::string name = run.run_name.str();
      // "BM_Name/<extra>/real_time"
      const std::size_t slash = name.find('/');
      const std::string size = name.substr(slash + 1, name.find('/', slash + 1) - slash - 1);
      // Microseconds per call.
      const double micros = run.GetAdjustedRealTime();
      if (name.rfind("BM_WatchctlPs/", 0) == 0) request_[std::stoi(size)] = micros;
      if (name.rfind("BM_ProcTableAnswer/", 0) == 0) answer_[std::stoi(size)] = micros;
      if (name.rfind("BM_PsPidArgs/", 0) == 0) ps_[std::stoi(size)] = micros;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nprocess-table request vs ps -eo pid,args (wall clock per call)\n");
    for (const auto& [size, ps] : ps_) {
      const auto request = request_.find(size);
      const auto answer = answer_.find(size);
      std::printf("  %5d processes: ps %9.1f us", size, ps);
      if (request != request_.end()) {
        std::printf("   watchctl ps %9.1f us (%5.1fx%s)", request->second, ps / request->second,
                    size >= 2000
                        ? (ps / request->second >= 10 ? ", bar >= 10x met" : ", bar >= 10x NOT MET")
                        : "");
      }
      if (answer != answer_.end()) {
        std::printf("   /proc answer in-process %9.1f us (%5.1fx)", answer->second,
                    ps / answer->second);
      }
      std::printf("\n");
    }
    std::fflush(stdout);
  }

 private:
  std::map<int, double> request_;
  std::map<int, double> answer_;
  std::map<int, double> ps_;
};

}  // namespace

int main(int argc, char** argv) {
  // The answers built in this process come from /proc.
  const platform::ScopedOverride<platform::sysctl_backend::Backend> proc(
      platform::sysctl_backend::system());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
