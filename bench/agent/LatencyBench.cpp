// Delivery latency through `watchctl stream`: starts watchagent with a services directory of its
// own and `watchctl stream` against it, runs /bin/true at a steady rate (or as a storm of K
// spawners as fast as they can), and measures for every document the time from its `time` to the
// moment its line is read from watchctl's output. Prints the percentiles and the agent's CPU
// time per document.
//
//   stream_latency [--agent PATH] [--watchctl PATH] [--rate N] [--spawners K] [--seconds S]
//
// --rate N: N execs per second, each waited for (default 20); --spawners K: K threads spawning
// as fast as they can instead. Every document read counts, whatever process it is about. The
// thread that reads watchctl's output runs at nice -10 with a short slice, ahead of the load, so
// that its own wait for a CPU is not counted. Needs root (the agent does).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/Scheduling.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// Seconds from the Unix epoch to 2001-01-01, the documents' epoch.
constexpr double kDocumentEpoch = 978307200.0;

struct Options {
  std::string agent = WATCHAGENT_PATH;
  std::string watchctl = WATCHCTL_PATH;
  int rate = 20;
  int spawners = 0;
  int seconds = 10;
};

double wallNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < text.size() && fields.size() < 15) {
    const std::size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    at = space == std::string::npos ? text.size() : space + 1;
  }
  if (fields.size() < 13) return 0;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

pid_t start(const std::string& path, const std::vector<std::string>& args, const fs::path& dir,
            int out) {
  const std::string env = "XPC_SERVICES_DIR=" + dir.string();
  const std::string log = (dir / (fs::path(path).filename().string() + ".log")).string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    if (out >= 0) ::dup2(out, 1);
    std::vector<const char*> argv = {path.c_str()};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    // Auditing is global state: the agent measured leaves it as it is.
    const char* envp[] = {env.c_str(), "WATCH_AUDIT_ENABLE=0", nullptr};
    ::execve(path.c_str(), const_cast<char* const*>(argv.data()), const_cast<char* const*>(envp));
    ::_exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

void spawnTrue() {
  pid_t pid = 0;
  char name[] = "/bin/true";
  char* argv[] = {name, nullptr};
  if (::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0) {
    ::waitpid(pid, nullptr, 0);
  }
}

// Runs the load until `done`: paced at `rate` per second, or `spawners` threads flat out.
void load(const Options& options, const std::atomic<bool>& done) {
  if (options.spawners == 0) {
    const auto period = std::chrono::microseconds(1'000'000 / std::max(1, options.rate));
    auto next = std::chrono::steady_clock::now();
    while (!done) {
      spawnTrue();
      next += period;
      std::this_thread::sleep_until(next);
    }
    return;
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < options.spawners; ++i) {
    threads.emplace_back([&] {
      while (!done) spawnTrue();
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Latencies in ms of each document line read from `fd` until `done` and the pipe is drained.
std::vector<double> readLatencies(int fd, const std::atomic<bool>& measuring) {
  std::vector<double> latencies;
  std::string pending;
  char buffer[1 << 16];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    const double now = wallNow();
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::size_t at = pending.find("\"time\":", start);
      if (!measuring || at == std::string::npos || at > end) continue;
      const double time = std::strtod(pending.c_str() + at + 7, nullptr) + kDocumentEpoch;
      latencies.push_back((now - time) * 1e3);
    }
    pending.erase(0, start);
  }
  return latencies;
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const char* value = argv[i + 1];
    if (arg == "--agent") {
      options.agent = value;
    } else if (arg == "--watchctl") {
      options.watchctl = value;
    } else if (arg == "--rate") {
      options.rate = std::max(1, std::atoi(value));
    } else if (arg == "--spawners") {
      options.spawners = std::max(0, std::atoi(value));
    } else if (arg == "--seconds") {
      options.seconds = std::max(1, std::atoi(value));
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--agent PATH] [--watchctl PATH] [--rate N] [--spawners K] "
                 "[--seconds S]\n",
                 argv[0]);
    return 2;
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "stream_latency: needs root (the agent does)\n");
    return 2;
  }
  std::string pattern = (fs::temp_directory_path() / "stream-latency-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  const pid_t agent = start(options.agent, {}, dir, -1);
  const fs::path socket = dir / std::string(ipc::kMachServiceName);
  for (int i = 0; i < 300 && !fs::exists(socket); ++i) std::this_thread::sleep_for(100ms);
  int lines[2];
  if (!fs::exists(socket) || ::pipe2(lines, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "stream_latency: the agent did not start\n");
    stop(agent);
    fs::remove_all(dir);
    return 1;
  }
  const pid_t stream = start(options.watchctl, {"stream"}, dir, lines[1]);
  ::close(lines[1]);
  std::atomic<bool> measuring{false};
  std::vector<double> latencies;
  std::thread reader([&] {
    // The reader is the instrument: it runs ahead of the load, so that what it measures is the
    // agent's and watchctl's delay, not its own wait for a CPU.
    platform::runPromptly(platform::kEventPathNice);
    latencies = readLatencies(lines[0], measuring);
  });
  std::this_thread::sleep_for(1500ms);  // connected; the start-up's documents are read

  const double agentBefore = cpuSeconds(agent);
  const double streamBefore = cpuSeconds(stream);
  measuring = true;
  // The load runs in a process of its own: its spawning threads take the address space's lock
  // over and over (posix_spawn maps and unmaps a stack each time), and a reader sharing it would
  // stall on that lock for up to a tenth of a second and count it as the agent's delay.
  const pid_t loader = ::fork();
  if (loader == 0) {
    std::atomic<bool> done{false};
    std::thread timer([&] {
      std::this_thread::sleep_for(std::chrono::seconds(options.seconds));
      done = true;
    });
    load(options, done);
    timer.join();
    ::_exit(0);
  }
  if (loader < 0) std::perror("stream_latency: fork");
  ::waitpid(loader, nullptr, 0);
  std::this_thread::sleep_for(500ms);  // the last documents arrive
  const double agentCpu = cpuSeconds(agent) - agentBefore;
  const double streamCpu = cpuSeconds(stream) - streamBefore;
  stop(stream);
  reader.join();
  ::close(lines[0]);
  stop(agent);
  fs::remove_all(dir);

  std::sort(latencies.begin(), latencies.end());
  const double count = static_cast<double>(std::max<std::size_t>(1, latencies.size()));
  std::printf(
      "%s: %zu documents in %d s (%s)\n", options.agent.c_str(), latencies.size(), options.seconds,
      options.spawners == 0 ? (std::to_string(options.rate) + " execs/s").c_str()
                            : (std::to_string(options.spawners) + " spawners flat out").c_str());
  std::printf("latency ms  p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", percentile(latencies, 0.5),
              percentile(latencies, 0.9), percentile(latencies, 0.99),
              latencies.empty() ? 0.0 : latencies.back());
  std::printf("CPU per document  agent %.1f us  watchctl %.1f us\n", 1e6 * agentCpu / count,
              1e6 * streamCpu / count);
  return 0;
}
