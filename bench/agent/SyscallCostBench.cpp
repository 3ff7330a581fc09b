// What the running agent costs every other program's system calls: 10 million getppid() and
// 1 million 1-byte read()s of /dev/zero, timed with no agent and with each agent given, the
// configurations alternated round by round so that the machine's drift spreads over all of them.
// Prints each round, then per configuration the median and best CPU ns per call and their
// ratio to the run without an agent. A hook on every system call shows as a ratio above 1; hooks
// per connection or per process event do not.
//
//   syscall_cost [--agent PATH]... [--rounds N] [--getppid N] [--reads N]
//
// Each agent is started with a services directory of its own (its log is kept there until it
// stops) and given 1 s to load its programs before it is measured. Needs root (the agent does).
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
};

struct Sample {
  double getppidNs = 0;
  double readNs = 0;
};

// A running agent with its own services directory; stopped and cleaned up on destruction.
class Agent {
 public:
  explicit Agent(const std::string& path) {
    std::string pattern = (fs::temp_directory_path() / "syscall-cost-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    const std::string env = "XPC_SERVICES_DIR=" + dir_.string();
    const std::string log = (dir_ / "agent.log").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 2);
      const char* args[] = {path.c_str(), nullptr};
      // Auditing is global state: the agents measured leave it as it is.
      const char* envp[] = {env.c_str(), "WATCH_AUDIT_ENABLE=0", nullptr};
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
template <class Call>
double nsPerCall(long count, Call call) {
  const double start = threadCpuNs();
  for (long i = 0; i < count; ++i) call();
  return (threadCpuNs() - start) / static_cast<double>(count);
}

Sample measure(const Options& options) {
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
    std::fprintf(stderr, "usage: %s [--agent PATH]... [--rounds N] [--getppid N] [--reads N]\n",
                 argv[0]);
    return 2;
  }
  if (options.agents.empty()) options.agents.emplace_back(WATCHAGENT_PATH);
  if (::geteuid() != 0) {
    std::fprintf(stderr, "syscall_cost: needs root (the agent does)\n");
    return 2;
  }
  std::vector<std::string> names = {"no agent"};
  names.insert(names.end(), options.agents.begin(), options.agents.end());
  std::vector<std::vector<Sample>> samples(names.size());
  for (int round = 0; round < options.rounds; ++round) {
    for (std::size_t config = 0; config < names.size(); ++config) {
      Sample sample;
      if (config == 0) {
        sample = measure(options);
      } else {
        const Agent agent(names[config]);
        sample = measure(options);
      }
      samples[config].push_back(sample);
      std::printf("round %d  %-40s getppid %6.1f ns  read %6.1f ns\n", round + 1,
                  names[config].c_str(), sample.getppidNs, sample.readNs);
      std::fflush(stdout);
    }
  }
  std::printf("\n%-40s %22s %22s\n", "", "getppid median/best", "read median/best");
  std::vector<double> base[2];
  for (std::size_t config = 0; config < names.size(); ++config) {
    std::vector<double> getppid;
    std::vector<double> read;
    for (const Sample& s : samples[config]) {
      getppid.push_back(s.getppidNs);
      read.push_back(s.readNs);
    }
    if (config == 0) {
      base[0] = getppid;
      base[1] = read;
    }
    std::printf("%-40s %7.1f/%5.1f ns %5.3fx %7.1f/%5.1f ns %5.3fx\n", names[config].c_str(),
                median(getppid), best(getppid), median(getppid) / median(base[0]), median(read),
                best(read), median(read) / median(base[1]));
  }
  return 0;
}
