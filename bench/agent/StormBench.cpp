// The event storm: starts watchagent with a services directory of its own, connects one client,
// runs N fork+exec of /bin/true as fast as this machine allows, and prints what arrived:
// events/s, the share of execs reported with their target path and arguments, the agent's CPU
// time per event and its memory after the storm. Every exec must be reported (matched by pid),
// or the shortfall must be covered by the loss the agent logged.
//
//   agent_storm [--agent PATH] [--source bpf|connector] [--count N] [--spawners K]
//               [--overrun [--pause S]] [--no-client | --subscribe FILTER] [--forkstat]
//               [--flood env|hash] [--ring-mb N]
//               [--yara-rules N] [--long-args]
//
// --source forces the agent's process source (WATCH_EVENT_SOURCE); by default it picks its own.
// --ring-mb sets the in-kernel source's ring (WATCH_EVENT_RING_MB); by default it is sized for
// the host. With AGENT_STORM_KEEP_LOG=PATH in the environment, the agent's log is copied there.
//
// --forkstat runs `forkstat -e fork,exec,exit` (output to a file) on the same storm and prints its
// CPU time per event beside the agent's, and the ratio of the two.
//
// --no-client connects nobody: the agent then neither converts, encodes nor sends anything, which
// splits its CPU time between the event source and the rest.
// --subscribe FILTER connects one client that subscribes with FILTER (the service's JSON form,
// e.g. '{"kinds":["LOGIN"]}') and prints the agent's CPU per process, to set beside a full
// subscriber's figure (the default run prints it too).
// --yara-rules N gives the agent a rules folder of N YARA rules (WATCH_YARA_RULES), so that the
// storm's CPU figures can be set beside a run without rules; with a client connected it then also
// runs five new 1 MiB programs one after another and prints the time from each exec to its
// malware detection document.
// --long-args execs a static program (storm_static_true) with 20 arguments of 200 bytes each and a
// 60-entry environment instead of /bin/true: an exec is complete only with every argument whole.
// --overrun stops the agent with SIGSTOP for S seconds (default 2) during the storm, then continues
// it, and checks that the loss is logged with a count and that execs after the pause are reported
// again. While the agent is stopped, threads are also created and ended as fast as possible: each
// is two connector messages. Whether the kernel's buffer (8 MiB asked, which the kernel doubles)
// overflows depends on how many messages this machine makes meanwhile; without an overflow nothing
// is lost and the run says so.
//
// --flood runs an unprivileged user's flood (uid 65534, two processes) beside the storm, from its
// start to its end: `env` execs /usr/bin/true with a 120 KiB environment as fast as it can; `hash`
// touches and runs its own 64 MiB programs in turn (80 of them), each run of content not hashed
// before. It prints the flood's execs and what the agent reported and logged of them (cut
// captures, late hashes); the storm's execs must still all arrive.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/NSXPC.h"
#include "platform/xpc/Transport.h"
#include "shared/ipc/Protocols.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// What the storm execs: /bin/true with no arguments, or with --long-args a static program with
// 20 arguments of 200 bytes and a 60-entry environment.
struct StormProgram {
  std::string path;          // as exec'd
  std::string reportedPath;  // as the agent reports it (merged /usr resolved)
  std::vector<std::string> args;
  std::vector<std::string> env;  // empty: this process's environment
};

StormProgram plainProgram() {
  return {"/bin/true", "/usr/bin/true", {"/bin/true"}, {}};
}

StormProgram longArgsProgram() {
  StormProgram program;
  program.path = STORM_STATIC_TRUE_PATH;
  program.reportedPath = fs::canonical(program.path).string();
  program.args.push_back(program.path);
  for (int i = 0; i < 20; ++i) program.args.push_back(std::string(200, static_cast<char>('a' + i)));
  for (int i = 0; i < 60; ++i) {
    program.env.push_back("STORM_VARIABLE_" + std::to_string(i) + "=" + std::string(40, 'v'));
  }
  return program;
}

struct ExecSeen {
  bool pathAndArgs = false;  // the target's path and every argument, whole
};

class Collector final : public ipc::SystemExtensionsToApp {
 public:
  explicit Collector(const StormProgram& program)
      : path_(program.reportedPath), args_(program.args) {}
  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    ++documents;
    lastArrival.store(Clock::now().time_since_epoch().count());
    if (msg.find("\"eventType\":112,") != std::string::npos) {
      lastDetection.store(Clock::now().time_since_epoch().count());
      return;
    }
    // Only execs are looked into; fork and exit are counted.
    if (msg.find("\"eventType\":9,") == std::string::npos) return;
    // A flood's execs are counted without parsing: a client this slow would fall so far behind
    // that the agent ends its connection.
    if (msg.find(",\"FLOOD\"]") != std::string::npos) {
      ++floodExecs;
      return;
    }
    // Kept as received and read after the storm: parsing here would make this client slower
    // than the agent on long documents, and the agent would close it for falling behind.
    std::lock_guard lock(mutex);
    unread_.push_back(msg);
  }
  // The execs received, by pid. Call once delivery has ended.
  const std::unordered_map<long, ExecSeen>& execs() {
    std::lock_guard lock(mutex);
    for (const std::string& msg : unread_) {
      const auto doc = nlohmann::json::parse(msg, nullptr, false);
      if (doc.is_discarded()) continue;
      const auto& target = doc["exec"]["target"];
      const bool complete = target["exectuable"]["path"] == path_ && doc["exec"]["args"] == args_;
      ExecSeen& seen = execs_[target["pid"].get<long>()];
      seen.pathAndArgs = seen.pathAndArgs || complete;
    }
    unread_.clear();
    return execs_;
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

  std::atomic<std::uint64_t> documents{0};
  std::atomic<std::uint64_t> floodExecs{0};
  std::atomic<Clock::rep> lastArrival{0};
  std::atomic<Clock::rep> lastDetection{0};

 private:
  std::mutex mutex;
  std::vector<std::string> unread_;
  std::unordered_map<long, ExecSeen> execs_;
  const std::string path_;
  const nlohmann::json args_;
};

struct AgentUsage {
  double cpuSeconds = 0;
  long rssKb = 0;
  long hwmKb = 0;
};

AgentUsage usageOf(pid_t pid);

// One thread's run time (ns, from schedstat) and context switches.
struct ThreadUsage {
  std::string name;
  std::uint64_t runNs = 0;
  std::uint64_t voluntary = 0;
  std::uint64_t involuntary = 0;
};

std::map<pid_t, ThreadUsage> threadsOf(pid_t pid) {
  std::map<pid_t, ThreadUsage> threads;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    ThreadUsage usage;
    std::ifstream(task.path() / "comm") >> usage.name;
    std::ifstream(task.path() / "schedstat") >> usage.runNs;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        usage.voluntary = std::stoull(line.substr(24));
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        usage.involuntary = std::stoull(line.substr(27));
    }
    threads[static_cast<pid_t>(std::stol(task.path().filename().string()))] = usage;
  }
  return threads;
}

// Run time between two readings, from schedstat (nanoseconds) rather than the clock ticks of
// /proc/PID/stat.
std::uint64_t runNanoseconds(const std::map<pid_t, ThreadUsage>& before,
                             const std::map<pid_t, ThreadUsage>& after) {
  std::uint64_t runNs = 0;
  for (const auto& [tid, now] : after) {
    const auto was = before.find(tid);
    runNs += now.runNs - (was == before.end() ? 0 : was->second.runNs);
  }
  return runNs;
}

// Prints each thread's share of the storm: CPU per event and wake-ups per 1,000 events.
void printThreads(const std::map<pid_t, ThreadUsage>& before,
                  const std::map<pid_t, ThreadUsage>& after, std::uint64_t events) {
  if (events == 0) return;
  const double n = static_cast<double>(events);
  for (const auto& [tid, now] : after) {
    const auto was = before.find(tid);
    const ThreadUsage start = was == before.end() ? ThreadUsage{} : was->second;
    const std::uint64_t run = now.runNs - start.runNs;
    if (run < 1'000'000) continue;  // idle threads
    std::printf("  thread %-15s %6.2f us/event, %6.1f wake-ups and %5.1f preemptions per 1,000\n",
                now.name.c_str(), static_cast<double>(run) / 1e3 / n,
                1e3 * static_cast<double>(now.voluntary - start.voluntary) / n,
                1e3 * static_cast<double>(now.involuntary - start.involuntary) / n);
  }
}

// forkstat on the same storm, for comparison: its CPU time and the events it printed.
class Forkstat {
 public:
  explicit Forkstat(const fs::path& out) : out_(out) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      ::execlp("forkstat", "forkstat", "-e", "fork,exec,exit", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(500ms);  // connected and listening
  }
  ~Forkstat() { stop(); }

  bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
  double cpuSeconds() const { return usageOf(pid_).cpuSeconds; }

  // Stops forkstat and returns the events it printed: a fork is two lines (parent and child).
  std::uint64_t stop() {
    if (pid_ <= 0) return 0;
    ::kill(pid_, SIGINT);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    std::ifstream in(out_);
    std::uint64_t lines = 0, forkLines = 0;
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string time, event;
      fields >> time >> event;
      if (event == "exec" || event == "exit") ++lines;
      if (event == "fork") ++forkLines;
    }
    return lines + forkLines / 2;
  }

 private:
  fs::path out_;
  pid_t pid_ = -1;
};

AgentUsage usageOf(pid_t pid) {
  AgentUsage usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) {
        stime = std::stoull(field);
        break;
      }
    }
    usage.cpuSeconds =
        static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) usage.rssKb = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) usage.hwmKb = std::stol(line.substr(6));
  }
  return usage;
}

// The sum of the counts the agent logged in lines matching `line`.
std::uint64_t loggedCount(const fs::path& log, const std::regex& line) {
  std::ifstream in(log);
  std::uint64_t total = 0;
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_search(l, m, line)) total += std::stoull(m[1]);
  }
  return total;
}

std::uint64_t loggedLoss(const fs::path& log) {
  static const std::regex line(R"(EndpointSecurity: kernel event overrun, (\d+) events lost)");
  return loggedCount(log, line);
}

std::uint64_t loggedIncomplete(const fs::path& log) {
  static const std::regex line(R"(EndpointSecurity: (\d+) execs captured incomplete)");
  return loggedCount(log, line);
}

std::uint64_t loggedPressedCuts(const fs::path& log) {
  static const std::regex line(R"(EndpointSecurity: (\d+) execs cut to \d+ bytes)");
  return loggedCount(log, line);
}

std::uint64_t loggedLateHashes(const fs::path& log) {
  static const std::regex line(R"(EndpointSecurity: (\d+) executable hashes not ready)");
  return loggedCount(log, line);
}

// An unprivileged user's flood: two processes of uid 65534 exec'ing in a loop until stopped.
class Flood {
 public:
  explicit Flood(const std::string& kind) {
    counter_ = static_cast<std::atomic<std::uint64_t>*>(::mmap(
        nullptr, sizeof *counter_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (counter_) std::atomic<std::uint64_t>(0);
    if (kind == "env") {
      env_.push_back("BIG=" + std::string(120 * 1024, 'e'));
      for (int i = 0; i < 2; ++i) programs_.push_back("/usr/bin/true");
    } else {
      std::string pattern = (fs::temp_directory_path() / "agent-flood-XXXXXX").string();
      dir_ = ::mkdtemp(pattern.data());
      ::chmod(dir_.c_str(), 0755);
      for (int i = 0; i < 80; ++i) {
        const fs::path program = dir_ / ("flood" + std::to_string(i));
        fs::copy_file("/usr/bin/true", program, fs::copy_options::overwrite_existing);
        if (::truncate(program.c_str(), 64 << 20) != 0 || ::chown(program.c_str(), 65534, 65534)) {
          std::fprintf(stderr, "agent_storm: cannot make the flood's programs\n");
        }
        programs_.push_back(program.string());
      }
      touch_ = true;
    }
    for (auto& e : env_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
    for (int i = 0; i < 2; ++i) pids_.push_back(start(i));
  }
  ~Flood() {
    stop();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void stop() {
    for (const pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (const pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    pids_.clear();
  }
  std::uint64_t execs() const { return counter_->load(); }

 private:
  // The child makes system calls only: this process has threads.
  pid_t start(int index) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(126);
    }
    const std::size_t half = programs_.size() / 2;
    char flood[] = "FLOOD";
    for (std::size_t i = 0;; i = (i + 1) % half) {
      char* program = programs_[static_cast<std::size_t>(index) * half + i].data();
      if (touch_) ::utimensat(AT_FDCWD, program, nullptr, 0);
      char* argv[] = {program, flood, nullptr};
      const pid_t child = ::vfork();  // no copy of this process: as fast as execs go
      if (child == 0) {
        ::execve(program, argv, envp_.data());
        ::_exit(127);
      }
      ::waitpid(child, nullptr, 0);
      counter_->fetch_add(1);
    }
  }

  std::atomic<std::uint64_t>* counter_;
  std::vector<std::string> env_;
  std::vector<char*> envp_;
  std::vector<std::string> programs_;
  bool touch_ = false;
  fs::path dir_;
  std::vector<pid_t> pids_;
};

// Spawns `program` `count` times from `spawners` threads; returns the pids.
std::vector<pid_t> storm(const StormProgram& program, int count, int spawners) {
  std::vector<std::string> args = program.args;
  std::vector<std::string> env = program.env;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* const* environment = env.empty() ? environ : envp.data();
  std::vector<std::vector<pid_t>> perThread(static_cast<std::size_t>(spawners));
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < spawners; ++t) {
    threads.emplace_back([&, t] {
      while (next.fetch_add(1) < count) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, program.path.c_str(), nullptr, nullptr, argv.data(), environment) !=
            0) {
          continue;
        }
        perThread[static_cast<std::size_t>(t)].push_back(pid);
        ::waitpid(pid, nullptr, 0);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<pid_t> all;
  for (const auto& v : perThread) all.insert(all.end(), v.begin(), v.end());
  return all;
}

}  // namespace

// N rules, each a text and a hex string, the first also matching kMarker.
constexpr const char* kMarker = "agent-storm-yara-marker";
void writeRules(const fs::path& folder, int n) {
  fs::create_directories(folder);
  std::ofstream out(folder / "storm.yar");
  for (int i = 0; i < n; ++i) {
    out << "rule Storm" << i << " {\n  strings:\n    $text = \"" << kMarker << (i == 0 ? "" : "-")
        << (i == 0 ? std::string() : std::to_string(i)) << "\"\n    $hex = { 7F 45 4C 46 ?? ?? "
        << std::hex << 0x10 + i % 200 << std::dec << " 9C 3A }\n  condition:\n    $text or "
        << "$hex\n}\n";
  }
}

// Exec of a new 1 MiB program (a copy of /bin/true padded, with the marker) to its detection.
void printDetectionTimes(const fs::path& dir, Collector& collector) {
  std::vector<double> ms;
  for (int round = 0; round < 5; ++round) {
    const fs::path program = dir / ("fresh-" + std::to_string(round));
    fs::copy_file("/bin/true", program, fs::copy_options::overwrite_existing);
    {
      std::ofstream out(program, std::ios::app | std::ios::binary);
      const auto size = fs::file_size(program);
      out << std::string((1 << 20) - size - std::strlen(kMarker) - 8, '\0') << kMarker
          << std::string(8, static_cast<char>('0' + round));
    }
    fs::permissions(program, fs::perms::owner_all);
    const Clock::rep before = collector.lastDetection.load();
    const auto start = Clock::now();
    pid_t pid = 0;
    char arg0[] = "fresh";
    char* args[] = {arg0, nullptr};
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, args, environ) != 0) continue;
    ::waitpid(pid, nullptr, 0);
    for (int i = 0; i < 10000 && collector.lastDetection.load() == before; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    const Clock::rep at = collector.lastDetection.load();
    if (at == before) {
      std::printf("exec to detection        none within 10 s (round %d)\n", round);
      continue;
    }
    ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::time_point(Clock::duration(at)) - start)
            .count());
  }
  std::sort(ms.begin(), ms.end());
  std::string all;
  for (const double m : ms) all += " " + std::to_string(m).substr(0, 5);
  std::printf("exec to detection        new 1 MiB program, ms:%s (median %.2f)\n", all.c_str(),
              ms.empty() ? 0.0 : ms[ms.size() / 2]);
}

int main(int argc, char** argv) {
  std::string agentPath = WATCHAGENT_PATH;
  std::string source;
  int count = 20000;
  int spawners = 2;
  bool overrun = false;
  bool noClient = false;
  std::string subscription;
  bool withForkstat = false;
  int pauseSeconds = 2;
  std::string flood;
  std::string ringMb;
  int yaraRules = 0;
  bool longArgs = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--agent" && i + 1 < argc)
      agentPath = argv[++i];
    else if (a == "--source" && i + 1 < argc)
      source = argv[++i];
    else if (a == "--count" && i + 1 < argc)
      count = std::atoi(argv[++i]);
    else if (a == "--spawners" && i + 1 < argc)
      spawners = std::atoi(argv[++i]);
    else if (a == "--overrun")
      overrun = true;
    else if (a == "--no-client")
      noClient = true;
    else if (a == "--subscribe" && i + 1 < argc)
      subscription = argv[++i];
    else if (a == "--forkstat")
      withForkstat = true;
    else if (a == "--pause" && i + 1 < argc)
      pauseSeconds = std::atoi(argv[++i]);
    else if (a == "--flood" && i + 1 < argc &&
             (argv[i + 1] == std::string("env") || argv[i + 1] == std::string("hash")))
      flood = argv[++i];
    else if (a == "--ring-mb" && i + 1 < argc)
      ringMb = argv[++i];
    else if (a == "--yara-rules" && i + 1 < argc)
      yaraRules = std::atoi(argv[++i]);
    else if (a == "--long-args")
      longArgs = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--agent PATH] [--source bpf|connector] [--count N] [--spawners K] "
                   "[--overrun [--pause S]] [--no-client | --subscribe FILTER] [--forkstat] "
                   "[--flood env|hash] [--ring-mb N] [--yara-rules N] [--long-args]\n",
                   argv[0]);
      return 2;
    }
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "agent_storm: needs root (the agent does)\n");
    return 2;
  }

  std::string pattern = (fs::temp_directory_path() / "agent-storm-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  const fs::path log = dir / "agent.log";
  // This process's client looks for the agent where the agent is told to serve.
  xpc::ServicesDirectory services{dir.string()};
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  if (yaraRules > 0) writeRules(dir / "rules", yaraRules);

  const pid_t agent = ::fork();
  if (agent == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    const std::string env = "XPC_SERVICES_DIR=" + dir.string();
    const char* args[] = {agentPath.c_str(), nullptr};
    const std::string forced = "WATCH_EVENT_SOURCE=" + source;
    const std::string ring = "WATCH_EVENT_RING_MB=" + ringMb;
    std::vector<const char*> envp{env.c_str()};
    if (!source.empty()) envp.push_back(forced.c_str());
    if (!ringMb.empty()) envp.push_back(ring.c_str());
    const std::string rules = "WATCH_YARA_RULES=" + (dir / "rules").string();
    if (yaraRules > 0) envp.push_back(rules.c_str());
    envp.push_back(nullptr);
    ::execve(agentPath.c_str(), const_cast<char* const*>(args),
             const_cast<char* const*>(envp.data()));
    ::_exit(127);
  }
  auto cleanup = [&] {
    ::kill(agent, SIGTERM);
    ::waitpid(agent, nullptr, 0);
    if (const char* keep = std::getenv("AGENT_STORM_KEEP_LOG")) {
      fs::copy_file(log, keep, fs::copy_options::overwrite_existing);
    }
    fs::remove_all(dir);
  };
  const fs::path socket = dir / std::string(ipc::kMachServiceName);
  for (int i = 0; i < 300 && !fs::exists(socket); ++i) std::this_thread::sleep_for(100ms);
  if (!fs::exists(socket)) {
    std::fprintf(stderr, "agent_storm: the agent did not start\n");
    cleanup();
    return 1;
  }

  const StormProgram program = longArgs ? longArgsProgram() : plainProgram();
  Collector collector(program);
  // Nobody connects with --no-client: the connection is made but never resumed.
  auto connection = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  connection->setExportedObject(&collector);
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  if (!noClient) connection->resume();
  if (!subscription.empty()) {
    auto answer = std::make_shared<std::promise<std::string>>();
    connection->remoteObjectProxyWithErrorHandler([](const NSError&) {})
        ->subscribeToEventsWithFilter(
            subscription, [answer](const ipc::NSString& reply) { answer->set_value(reply); });
    auto reply = answer->get_future();
    if (reply.wait_for(10s) != std::future_status::ready || reply.get() != ipc::kSubscribedReply) {
      std::fprintf(stderr, "agent_storm: the agent refused the subscription\n");
      cleanup();
      return 1;
    }
  }
  auto hello = std::make_shared<std::promise<void>>();
  if (!noClient) {
    connection->remoteObjectProxyWithErrorHandler([](const NSError&) {})
        ->establishConnection2WithMessage("storm",
                                          [hello](const ipc::NSString&) { hello->set_value(); });
  }
  if (!noClient && hello->get_future().wait_for(10s) != std::future_status::ready) {
    std::fprintf(stderr, "agent_storm: no handshake\n");
    cleanup();
    return 1;
  }
  std::this_thread::sleep_for(300ms);  // settle: the agent's start-up work is done
  if (noClient || !subscription.empty()) {
    const auto threadsBefore = threadsOf(agent);
    const auto start = Clock::now();
    const auto pids = storm(program, count, spawners);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(1s);
    const AgentUsage usage = usageOf(agent);
    const auto threadsAfter = threadsOf(agent);
    const double cpu = static_cast<double>(runNanoseconds(threadsBefore, threadsAfter)) / 1e9;
    std::printf("YARA rules loaded        %d\n", yaraRules);
    std::printf(
        "execs spawned            %zu in %.2f s (%.0f/s), %s\n", pids.size(), seconds,
        static_cast<double>(pids.size()) / seconds,
        noClient ? "no client connected" : ("one client subscribed " + subscription).c_str());
    std::printf("agent CPU                %.2f s, %.1f us per process (fork, exec, exit)\n", cpu,
                1e6 * cpu / static_cast<double>(pids.size()));
    printThreads(threadsBefore, threadsAfter, 3 * pids.size());
    std::printf("agent memory after storm VmRSS %ld kB (%.1f MB)\n", usage.rssKb,
                static_cast<double>(usage.rssKb) / 1024.0);
    cleanup();
    return 0;
  }

  std::unique_ptr<Forkstat> forkstat;
  double forkstatBefore = 0;
  if (withForkstat) {
    forkstat = std::make_unique<Forkstat>(dir / "forkstat.out");
    if (!forkstat->running()) {
      std::fprintf(stderr, "agent_storm: forkstat did not start (is it installed?)\n");
      cleanup();
      return 1;
    }
    forkstatBefore = forkstat->cpuSeconds();
  }
  std::unique_ptr<Flood> flooding;
  if (!flood.empty()) flooding = std::make_unique<Flood>(flood);
  const auto threadsBefore = threadsOf(agent);
  const std::uint64_t docsBefore = collector.documents.load();
  const auto start = Clock::now();
  std::thread pauser;
  if (overrun) {
    pauser = std::thread([agent, pauseSeconds] {
      std::this_thread::sleep_for(300ms);
      ::kill(agent, SIGSTOP);
      const auto until = Clock::now() + std::chrono::seconds(pauseSeconds);
      std::atomic<std::uint64_t> threads{0};
      std::vector<std::thread> churn;
      for (int c = 0; c < 2; ++c) {
        churn.emplace_back([&] {
          while (Clock::now() < until) {
            std::thread([] {}).join();
            ++threads;
          }
        });
      }
      for (auto& t : churn) t.join();
      ::kill(agent, SIGCONT);
      std::printf("agent stopped for %d s    %llu threads made meanwhile\n", pauseSeconds,
                  static_cast<unsigned long long>(threads.load()));
    });
  }
  std::vector<pid_t> pids = storm(program, count, spawners);
  const auto stormEnd = Clock::now();
  if (flooding) flooding->stop();
  if (pauser.joinable()) pauser.join();
  std::vector<pid_t> after;
  if (overrun) after = storm(program, 200, 1);  // delivery must go on after the pause
  // Quiet for a second: everything the agent will send has arrived.
  while (Clock::now() - Clock::time_point(Clock::duration(collector.lastArrival.load())) < 1s) {
    std::this_thread::sleep_for(100ms);
  }
  const auto end = Clock::time_point(Clock::duration(collector.lastArrival.load()));
  const AgentUsage usage = usageOf(agent);
  const auto threadsAfter = threadsOf(agent);
  const std::uint64_t documents = collector.documents.load() - docsBefore;
  double forkstatCpu = 0;
  std::uint64_t forkstatEvents = 0;
  if (forkstat) {
    forkstatCpu = forkstat->cpuSeconds() - forkstatBefore;
    forkstatEvents = forkstat->stop();
  }
  const std::uint64_t lost = loggedLoss(log);

  std::size_t reported = 0, complete = 0, afterReported = 0;
  {
    const auto& execs = collector.execs();
    for (const pid_t pid : pids) {
      const auto it = execs.find(pid);
      if (it == execs.end()) continue;
      ++reported;
      if (it->second.pathAndArgs) ++complete;
    }
    for (const pid_t pid : after) afterReported += execs.count(pid);
  }
  const std::size_t missing = pids.size() - reported;
  const double stormSeconds = std::chrono::duration<double>(stormEnd - start).count();
  const double deliverySeconds = std::chrono::duration<double>(end - start).count();
  const double cpu = static_cast<double>(runNanoseconds(threadsBefore, threadsAfter)) / 1e9;

  std::printf("YARA rules loaded        %d\n", yaraRules);
  std::printf("execs spawned            %zu in %.2f s (%.0f/s, %d spawners)\n", pids.size(),
              stormSeconds, static_cast<double>(pids.size()) / stormSeconds, spawners);
  std::printf("documents received       %llu in %.2f s: %.0f events/s\n",
              static_cast<unsigned long long>(documents), deliverySeconds,
              static_cast<double>(documents) / deliverySeconds);
  std::printf("execs reported           %zu (%.2f%%), missing %zu\n", reported,
              100.0 * static_cast<double>(reported) / static_cast<double>(pids.size()), missing);
  std::printf("with path and arguments  %zu (%.2f%% of execs)\n", complete,
              100.0 * static_cast<double>(complete) / static_cast<double>(pids.size()));
  std::printf("loss logged by the agent %llu kernel messages\n",
              static_cast<unsigned long long>(lost));
  std::printf("incomplete execs logged  %llu\n",
              static_cast<unsigned long long>(loggedIncomplete(log)));
  const double agentPerEvent = documents ? 1e6 * cpu / static_cast<double>(documents) : 0.0;
  std::printf("agent CPU                %.3f s, %.2f us per event delivered, %.1f us per process\n",
              cpu, agentPerEvent, 1e6 * cpu / static_cast<double>(pids.size()));
  printThreads(threadsBefore, threadsAfter, documents);
  if (forkstat) {
    const double perEvent =
        forkstatEvents ? 1e6 * forkstatCpu / static_cast<double>(forkstatEvents) : 0.0;
    std::printf("forkstat CPU             %.2f s, %.2f us per event printed (%llu events)\n",
                forkstatCpu, perEvent, static_cast<unsigned long long>(forkstatEvents));
    if (perEvent > 0) std::printf("agent / forkstat         %.2fx\n", agentPerEvent / perEvent);
  }
  std::printf("agent memory after storm VmRSS %ld kB (%.1f MB), peak VmHWM %ld kB\n", usage.rssKb,
              static_cast<double>(usage.rssKb) / 1024.0, usage.hwmKb);
  bool ok = missing == 0 || missing <= lost;
  if (!ok)
    std::printf("FAIL: %zu execs missing but only %llu messages logged lost\n", missing,
                static_cast<unsigned long long>(lost));
  if (overrun) {
    std::printf("after the pause          %zu of %zu execs reported\n", afterReported,
                after.size());
    if (lost == 0) {
      std::printf(
          "no overrun: the kernel's buffer held every message of the pause (try a longer "
          "--pause)\n");
    }
    if (afterReported != after.size()) {
      std::printf("FAIL: delivery did not go on after the pause\n");
      ok = false;
    }
  }
  if (flooding) {
    std::printf("flood (%s) by uid 65534   %llu execs, %llu reported\n", flood.c_str(),
                static_cast<unsigned long long>(flooding->execs()),
                static_cast<unsigned long long>(collector.floodExecs.load()));
    std::printf("execs cut under pressure %llu (logged)\n",
                static_cast<unsigned long long>(loggedPressedCuts(log)));
    std::printf("hashes not ready in time %llu (logged)\n",
                static_cast<unsigned long long>(loggedLateHashes(log)));
  }
  if (usage.rssKb > 20 * 1024) std::printf("NOTE: RSS above 20 MB\n");
  if (yaraRules > 0) printDetectionTimes(dir, collector);
  connection->invalidate();
  cleanup();
  return ok ? 0 : 1;
}
