// The process-table answer (walk + encode + reply) against asking `ps -eo pid,args` for the
// same list (spawn, read its output, reap), in the same run on the same machine. Both are
// timed in wall-clock time; the summary prints each time and the ratio for every table size.
//
//   bench_proctable [--benchmark_repetitions=5] [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "agent/ipc/CustomObject.h"
#include "agent/ipc/ProcTable.h"

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

// Idle processes that make the table bigger; killed and reaped on destruction.
class ExtraProcesses {
 public:
  explicit ExtraProcesses(int count) {
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

// Runs ps and returns how many bytes it printed; -1 when it could not be run.
long runPs() {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  char ps[] = "ps";
  char options[] = "-eo";
  char columns[] = "pid,args";
  char* argv[] = {ps, options, columns, nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "ps", &actions, nullptr, argv, environ);
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

// Extra idle processes on top of what the machine runs.
#define PROCTABLE_SIZES Arg(0)->Arg(500)
BENCHMARK(BM_ProcTableAnswer)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcTableWalkOnly)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PsPidArgs)->PROCTABLE_SIZES->UseRealTime()->Unit(benchmark::kMicrosecond);

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
      if (name.rfind("BM_ProcTableAnswer/", 0) == 0) answer_[size] = micros;
      if (name.rfind("BM_PsPidArgs/", 0) == 0) ps_[size] = micros;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    // The bar is judged on the machine's own process table; the rows with extra idle
    // processes show how both scale, where the per-process work dominates ps's start-up.
    std::printf("\nprocess-table answer vs ps -eo pid,args (wall clock per call)\n");
    for (const auto& [size, answer] : answer_) {
      const auto ps = ps_.find(size);
      if (ps == ps_.end()) continue;
      const double ratio = ps->second / answer;
      const char* verdict = size != "0"   ? "(scaling)"
                            : ratio >= 10 ? "bar >= 10x met"
                                          : "bar >= 10x NOT MET";
      std::printf("  +%-4s extra processes: answer %9.1f us   ps %9.1f us   ratio %6.1fx  %s\n",
                  size.c_str(), answer, ps->second, ratio, verdict);
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> answer_;
  std::map<std::string, double> ps_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
