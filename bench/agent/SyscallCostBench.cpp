// What the running agent costs every other program's system calls: 10 million getppid() and
// 1 million 1-byte read()s of /dev/zero, in CPU time per call, with each agent given and without
// any. The agents are alternated round by round and each is measured right after a run without
// any, so that the machine's drift cancels in the pair; prints each round, then per agent the
// median ratio of the pairs. A hook on every system call shows as a ratio above 1; hooks per
// connection or per process event do not. Each run is made by a process started for it, as the
// programs started while an agent runs are: what the kernel gives a new process (an audit
// context, once auditing has been on) counts.
//
//   syscall_cost [--agent PATH]... [--rounds N] [--getppid N] [--reads N] [--audit]
//
// Each agent is started with a services directory of its own (its log is kept there until it
// stops) and given 1 s to load its programs before it is measured. Needs root (the agent does).
// Auditing is global state: the agents leave it as it is unless --audit lets them switch it on
// (WATCH_AUDIT_ENABLE), as an installed agent does where no audit daemon runs.
#include <bpf/bpf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/Identifiers.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Options {
  std::vector<std::string> agents;
  int rounds = 5;
  long getppids = 10'000'000;
  long reads = 1'000'000;
  bool audit = false;
};

struct Sample {
  double getppidNs = 0;
  double readNs = 0;
};

// A running agent with its own services directory; stopped and cleaned up on destruction.
class Agent {
 public:
  Agent(const std::string& path, bool audit) {
    std::string pattern = (fs::temp_directory_path() / "syscall-cost-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    const std::string env = "XPC_SERVICES_DIR=" + dir_.string();
    const std::string log = (dir_ / "agent.log").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 2);
      const char* args[] = {path.c_str(), nullptr};
      const char* envp[] = {env.c_str(), audit ? nullptr : "WATCH_AUDIT_ENABLE=0", nullptr};
      ::execve(path.c_str(), const_cast<char* const*>(args), const_cast<char* const*>(envp));
      ::_exit(127);
    }
    const fs::path socket = dir_ / std::string(ipc::kMachServiceName);
    for (int i = 0; i < 300 && !fs::exists(socket); ++i) std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(1s);  // its sources open and attach their programs
  }
  ~Agent() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    fs::remove_all(dir_);
  }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

double threadCpuNs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// CPU time of this thread per call: time spent waiting for a core on a loaded machine is not
// the system call's.
// Whether a program on every system call is loaded (another agent of an older build, or anything
// else on the system-call exit or entry): a pair measured meanwhile says nothing.
bool systemCallsHooked() {
  for (__u32 id = 0; ::bpf_prog_get_next_id(id, &id) == 0;) {
    const int fd = ::bpf_prog_get_fd_by_id(id);
    if (fd < 0) continue;
    bpf_prog_info info{};
    __u32 length = sizeof info;
    const bool named = ::bpf_obj_get_info_by_fd(fd, &info, &length) == 0 &&
                       (std::strstr(info.name, "sys_exit") || std::strstr(info.name, "sys_enter"));
    ::close(fd);
    if (named) return true;
  }
  return false;
}

void waitUntilNoSystemCallHook() {
  for (bool said = false; systemCallsHooked(); std::this_thread::sleep_for(1s)) {
    if (!said) std::printf("(waiting: another program hooks every system call)\n");
    std::fflush(stdout);
    said = true;
  }
}

template <class Call>
double nsPerCall(long count, Call call) {
  const double start = threadCpuNs();
  for (long i = 0; i < count; ++i) call();
  return (threadCpuNs() - start) / static_cast<double>(count);
}

Sample measureHere(const Options& options) {
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  char byte = 0;
  Sample sample;
  sample.getppidNs = nsPerCall(options.getppids, [] { ::syscall(SYS_getppid); });
  sample.readNs = nsPerCall(options.reads, [&] {
    if (::read(zero, &byte, 1) != 1) std::abort();
  });
  ::close(zero);
  return sample;
}

// Measured by a process started now.
Sample measure(const Options& options) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) std::abort();
  const pid_t child = ::fork();
  if (child == 0) {
    const Sample sample = measureHere(options);
    const bool whole = ::write(pipe[1], &sample, sizeof sample) == sizeof sample;
    ::_exit(whole ? 0 : 1);
  }
  ::close(pipe[1]);
  Sample sample;
  const bool whole = ::read(pipe[0], &sample, sizeof sample) == sizeof sample;
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!whole || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "syscall_cost: the measuring process failed\n");
    std::exit(1);
  }
  return sample;
}

// A run without any agent, then one with `agent`; again while someone else hooked every system
// call meanwhile.
std::pair<Sample, Sample> measurePair(const Options& options, const std::string& agent) {
  for (;;) {
    waitUntilNoSystemCallHook();
    const Sample without = measure(options);
    Sample with;
    {
      const Agent running(agent, options.audit);
      with = measure(options);
    }
    // The kernel frees the programs of an agent that ended a little later.
    for (int i = 0; i < 30 && systemCallsHooked(); ++i) std::this_thread::sleep_for(100ms);
    if (!systemCallsHooked()) return {without, with};
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double best(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--audit") {
      options.audit = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--agent") {
      options.agents.emplace_back(value);
    } else if (arg == "--rounds") {
      options.rounds = std::max(1, std::atoi(value));
    } else if (arg == "--getppid") {
      options.getppids = std::max(1L, std::atol(value));
    } else if (arg == "--reads") {
      options.reads = std::max(1L, std::atol(value));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--agent PATH]... [--rounds N] [--getppid N] [--reads N] [--audit]\n",
                 argv[0]);
    return 2;
  }
  if (options.agents.empty()) options.agents.emplace_back(WATCHAGENT_PATH);
  if (::geteuid() != 0) {
    std::fprintf(stderr, "syscall_cost: needs root (the agent does)\n");
    return 2;
  }
  // Each agent's sample is paired with a sample without any agent taken just before it: the
  // ratio of the pair is what the agent costs, and the machine's drift between pairs cancels.
  std::vector<std::vector<double>> ratios(options.agents.size() * 2);
  std::vector<double> bare[2];
  for (int round = 0; round < options.rounds; ++round) {
    for (std::size_t a = 0; a < options.agents.size(); ++a) {
      const auto [without, with] = measurePair(options, options.agents[a]);
      bare[0].push_back(without.getppidNs);
      bare[1].push_back(without.readNs);
      ratios[2 * a].push_back(with.getppidNs / without.getppidNs);
      ratios[2 * a + 1].push_back(with.readNs / without.readNs);
      std::printf(
          "round %d  no agent %6.1f / %6.1f ns   %-36s %6.1f / %6.1f ns  (getppid / read)\n",
          round + 1, without.getppidNs, without.readNs, options.agents[a].c_str(), with.getppidNs,
          with.readNs);
      std::fflush(stdout);
    }
  }
  std::printf("\nno agent: getppid median %.1f ns (best %.1f), read median %.1f ns (best %.1f)\n",
              median(bare[0]), best(bare[0]), median(bare[1]), best(bare[1]));
  for (std::size_t a = 0; a < options.agents.size(); ++a) {
    std::printf("%-40s getppid %.3fx (best pair %.3fx)  read %.3fx (best pair %.3fx)\n",
                options.agents[a].c_str(), median(ratios[2 * a]), best(ratios[2 * a]),
                median(ratios[2 * a + 1]), best(ratios[2 * a + 1]));
  }
  return 0;
}
