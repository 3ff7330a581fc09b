// Load from hostile and careless clients against the agent's service, with figures to compare to
// the bars: the agent's resident memory (peak and after) while
//   - 4 connections send 1 M calls each and never read the answers,
//   - 8 connections each stall in the middle of a message announcing 120 MiB,
//   - 10 report clients stop reading while events keep coming;
// and, while one client pipelines 1,500 process-table calls (and then while 62 clients send 16
// each at once), what a well-behaved reader of the event stream loses and the latency of its
// events (p50, p99, max).
//
// The agent side (IPCForAgent over the sd-bus transport, answering tables from /proc) runs in a
// child process so that its memory is measured alone; the clients run in this process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/ipc/IPCForAgent.h"
#include "agent/model/JsonEncoding.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/sysctl/sysctl.h"
#include "platform/xpc/Transport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double realNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- The agent side, in the child

// An exec event of about 2 KB; `pid` carries a sequence number, `time` the moment it was sent.
model::EsMessage event(std::int64_t sequence) {
  model::EsMessage m;
  m.version = 7;
  m.time = model::Date{realNow() - 978307200.0};
  m.timeStr = "2024-04-02T09:30:00Z";
  m.eventType = 9;
  m.eventDesc = "exec";
  m.process.pid = sequence;
  m.process.exectuable.path = "/usr/bin/bash";
  model::EsEventExec exec;
  exec.target = m.process;
  exec.args = std::vector<std::string>{};
  for (int i = 0; i < 40; ++i) exec.args->push_back("--option-" + std::to_string(i) + "=value");
  m.exec = exec;
  return m;
}

// Commands, one byte each: 'r' events at 2,000/s until 's'; 'f' events as fast as the agent
// takes them until no connection is left (or 30 s); 'n' answers the number of connections;
// 'q' ends. Each command is answered with one byte (or the count).
[[noreturn]] void agentMain(int control) {
  platform::log::Capture quiet;  // per-call lines would only slow the figures down
  agent::IPCForAgent service(std::make_shared<xpc::SdBusTransport>());
  service.startEndpointListener();
  std::atomic<bool> streaming{false};
  std::atomic<bool> ending{false};
  std::thread events([&] {
    std::int64_t sequence = 0;
    auto next = Clock::now();
    while (!ending) {
      if (!streaming) {
        std::this_thread::sleep_for(1ms);
        next = Clock::now();
        continue;
      }
      service.broadcastEndpointMessage(event(++sequence));
      next += 500us;
      std::this_thread::sleep_until(next);
    }
  });
  char command;
  while (::read(control, &command, 1) == 1) {
    std::uint64_t answer = 1;
    if (command == 'r') streaming = true;
    if (command == 's') streaming = false;
    if (command == 'f') {
      const auto end = Clock::now() + 30s;
      std::int64_t sequence = 0;
      while (!service.currentConnections.empty() && Clock::now() < end) {
        service.broadcastEndpointMessage(event(++sequence));
        if (sequence % 64 == 0) {
          for (const auto& line : quiet.lines()) {
            if (line.rfind("xpc:", 0) == 0) std::fprintf(stderr, "  agent log: %s\n", line.c_str());
          }
          quiet.clear();
        }
      }
      answer = static_cast<std::uint64_t>(sequence);
    }
    if (command == 'n') answer = service.currentConnections.size();
    // The listener's own lines (refusals and their counts) are part of the figures.
    for (const auto& line : quiet.lines()) {
      if (line.rfind("xpc:", 0) == 0) std::fprintf(stderr, "  agent log: %s\n", line.c_str());
    }
    quiet.clear();
    if (command == 'q') break;
    [[maybe_unused]] auto n = ::write(control, &answer, sizeof answer);
  }
  ending = true;
  events.join();
  ::_exit(0);
}

// ---- The clients, in the parent

pid_t gAgent = -1;
int gControl = -1;
std::string gSocket;

std::uint64_t ask(char command) {
  [[maybe_unused]] auto n = ::write(gControl, &command, 1);
  std::uint64_t answer = 0;
  n = ::read(gControl, &answer, sizeof answer);
  return answer;
}

long agentKiB(const char* field) {
  std::ifstream status("/proc/" + std::to_string(gAgent) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

void resetPeak() {
  std::ofstream("/proc/" + std::to_string(gAgent) + "/clear_refs") << "5";
}

struct Memory {
  double before, peak, after;
};

// Samples the agent's RSS while `load` runs; `after` is taken `settle` after it returned.
template <class Load>
Memory measure(Load load, std::chrono::milliseconds settle = 1000ms) {
  resetPeak();
  Memory m{agentKiB("VmRSS:") / 1024.0, 0, 0};
  std::atomic<bool> done{false};
  long highest = 0;
  std::thread sampler([&] {
    while (!done) {
      highest = std::max(highest, agentKiB("VmRSS:"));
      std::this_thread::sleep_for(5ms);
    }
  });
  load();
  done = true;
  sampler.join();
  m.peak = std::max(highest, agentKiB("VmHWM:")) / 1024.0;
  std::this_thread::sleep_for(settle);
  m.after = agentKiB("VmRSS:") / 1024.0;
  return m;
}

void printMemory(const char* what, const Memory& m, const std::string& detail) {
  std::printf("%-52s RSS before %5.1f MiB, peak %5.1f MiB, after %5.1f MiB (bar 64 MB: %s)\n  %s\n",
              what, m.before, m.peak, m.after, m.peak * 1.048576 <= 64 ? "met" : "NOT met",
              detail.c_str());
  std::fflush(stdout);
}

int connectRaw() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, gSocket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

const std::string kAuth = std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n";

// One D-Bus method call to the agent's object with one string argument, expecting a reply.
std::string callMessage(std::uint32_t serial, std::string_view member, std::string_view text) {
  std::string out;
  auto pad = [&](std::size_t n) {
    while (out.size() % n) out.push_back('\0');
  };
  auto u32 = [&](std::uint32_t v) {
    pad(4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  auto field = [&](char code, char type, std::string_view value) {
    pad(8);
    out += code;
    out += '\1';
    out += type;
    out += '\0';
    if (type == 'g') {
      out += static_cast<char>(value.size());
    } else {
      u32(static_cast<std::uint32_t>(value.size()));
    }
    out += value;
    out += '\0';
  };
  const std::string interface =
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>().wireName();
  out = std::string("l\1\0\1", 4);
  u32(static_cast<std::uint32_t>(4 + text.size() + 1));
  u32(serial);
  const std::size_t fieldsAt = out.size();
  u32(0);
  field(1, 'o', "/");
  field(2, 's', interface);
  field(3, 's', member);
  field(8, 'g', "s");
  const auto fields = static_cast<std::uint32_t>(out.size() - fieldsAt - 4);
  for (int i = 0; i < 4; ++i) out[fieldsAt + i] = static_cast<char>((fields >> (8 * i)) & 0xff);
  pad(8);
  u32(static_cast<std::uint32_t>(text.size()));
  out += text;
  out += '\0';
  return out;
}

// Writes `bytes` without blocking until all is written or the socket stays full for `stuck`.
std::size_t writeUntilStuck(int fd, const std::string& bytes, std::chrono::milliseconds stuck) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(stuck.count())) <= 0) break;
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

void neverReadingReplies() {
  constexpr int kConnections = 4;
  constexpr std::uint64_t kCalls = 1'000'000;
  std::vector<int> fds;
  std::vector<std::uint64_t> written(kConnections, 0);
  const Memory m = measure([&] {
    std::vector<std::thread> writers;
    for (int c = 0; c < kConnections; ++c) {
      fds.push_back(connectRaw());
      writers.emplace_back([&, c] {
        const int fd = fds[c];
        writeUntilStuck(fd, kAuth, 1000ms);
        // Batches of 1,000 calls; stop once the agent stops taking them for 2 s.
        std::string batch;
        std::uint32_t serial = 1;
        for (int i = 0; i < 1000; ++i) {
          batch += callMessage(serial++, "establishConnection2WithMessage", "never read");
        }
        while (written[c] < kCalls) {
          const std::size_t sent = writeUntilStuck(fd, batch, 2000ms);
          written[c] += sent / (batch.size() / 1000);
          if (sent < batch.size()) break;
        }
      });
    }
    for (auto& w : writers) w.join();
  });
  std::string detail = "calls the agent took before it stopped reading:";
  for (auto w : written) detail += " " + std::to_string(w);
  detail += "; connections still open: " + std::to_string(ask('n'));
  for (int fd : fds) ::close(fd);
  printMemory("4 connections sending 1 M calls, never reading", m, detail);
}

void stalledMidMessage() {
  constexpr int kConnections = 8;
  std::vector<int> fds;
  std::size_t total = 0;
  const Memory m = measure([&] {
    for (int c = 0; c < kConnections; ++c) {
      const int fd = connectRaw();
      fds.push_back(fd);
      // A call announcing a 120 MiB body, then as much of it as the agent takes in 2 s.
      std::string start = kAuth + std::string("l\1\0\1", 4);
      const std::uint32_t body = 120u << 20;
      for (int i = 0; i < 4; ++i) start += static_cast<char>((body >> (8 * i)) & 0xff);
      start += std::string("\1\0\0\0\x10\0\0\0", 8);
      total += writeUntilStuck(fd, start + std::string(8 << 20, 'x'), 2000ms);
    }
  });
  int closed = 0;
  for (int fd : fds) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) ++closed;
    ::close(fd);
  }
  printMemory("8 connections stalled mid-message (120 MiB announced)", m,
              "bytes the agent took from them: " + std::to_string(total) +
                  "; closed by the agent: " + std::to_string(closed) + " of 8");
}

void stalledReportClients() {
  constexpr int kClients = 10;
  std::vector<sd_bus*> buses;
  for (int c = 0; c < kClients; ++c) {
    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_address(bus, ("unix:path=" + gSocket).c_str());
    sd_bus_start(bus);
    const std::string interface =
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>().wireName();
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, nullptr, "/", interface.c_str(), "establishConnection2WithMessage",
                           nullptr, &reply, "s", "stall") < 0) {
      std::fprintf(stderr, "handshake failed\n");
      std::exit(1);
    }
    sd_bus_message_unref(reply);
    buses.push_back(bus);  // never read from again
  }
  while (ask('n') != kClients) std::this_thread::sleep_for(1ms);
  std::uint64_t events = 0;
  const Memory m = measure([&] { events = ask('f'); }, 500ms);
  for (auto* bus : buses) sd_bus_close_unref(bus);
  printMemory("10 stalled report clients", m,
              std::to_string(events) + " events of ~2 KB broadcast until all " +
                  std::to_string(kClients) + " were dropped at the byte limit (" +
                  std::to_string(ask('n')) + " left)");
}

// A well-behaved reader of the event stream, counting losses by sequence number.
class Reader final : public ipc::SystemExtensionsToApp {
 public:
  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    const double now = realNow();
    const auto pid = msg.find("\"pid\":");
    const auto time = msg.find("\"time\":");
    if (pid == std::string::npos || time == std::string::npos) return;
    const std::int64_t sequence = std::atoll(msg.c_str() + pid + 6);
    const double sent = std::atof(msg.c_str() + time + 7) + 978307200.0;
    std::lock_guard lock(mutex_);
    if (first_ < 0) first_ = sequence;
    last_ = std::max(last_, sequence);
    ++received_;
    latencies_.push_back((now - sent) * 1000);
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

  std::string summary() {
    std::lock_guard lock(mutex_);
    if (latencies_.empty()) return "no events";
    std::sort(latencies_.begin(), latencies_.end());
    auto at = [&](double q) {
      return latencies_[std::min(latencies_.size() - 1,
                                 static_cast<std::size_t>(q * latencies_.size()))];
    };
    const std::int64_t expected = last_ - first_ + 1;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%lld events received of %lld sent meanwhile, %lld lost; latency p50 %.2f ms, "
                  "p99 %.2f ms, max %.2f ms (bar: 0 lost, p99 < 50 ms: %s)",
                  static_cast<long long>(received_), static_cast<long long>(expected),
                  static_cast<long long>(expected - received_), at(0.5), at(0.99),
                  latencies_.back(), expected == received_ && at(0.99) < 50 ? "met" : "NOT met");
    return line;
  }

  std::mutex mutex_;
  std::int64_t first_ = -1;
  std::int64_t last_ = -1;
  std::int64_t received_ = 0;
  std::vector<double> latencies_;
};

// Table calls from `connections` clients, `calls` each sent at once, answers read as they come,
// while a reader takes events at 2,000/s.
void tablesWhileReading(int connections, int calls) {
  Reader reader;
  auto connection = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  connection->setExportedObject(&reader);
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  connection->resume();
  std::promise<void> shaken;
  connection->remoteObjectProxyWithErrorHandler([](const NSError&) {})
      ->establishConnection2WithMessage("reader",
                                        [&](const ipc::NSString&) { shaken.set_value(); });
  shaken.get_future().wait();

  ask('r');  // events at 2,000/s
  std::this_thread::sleep_for(500ms);
  const std::string interface =
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>().wireName();
  struct Count {
    int tables = 0, limited = 0, other = 0;
  } count;
  std::vector<sd_bus*> buses;
  const auto start = Clock::now();
  for (int c = 0; c < connections; ++c) {
    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_address(bus, ("unix:path=" + gSocket).c_str());
    sd_bus_start(bus);
    buses.push_back(bus);
    for (int i = 0; i < calls; ++i) {
      sd_bus_call_method_async(
          bus, nullptr, nullptr, "/", interface.c_str(),
          "establishConnectionAndGetProcTableWithMessage",
          [](sd_bus_message* m, void* userdata, sd_bus_error*) {
            auto* n = static_cast<Count*>(userdata);
            const sd_bus_error* e = sd_bus_message_get_error(m);
            if (!e) {
              ++n->tables;
            } else if (sd_bus_error_has_name(e, SD_BUS_ERROR_LIMITS_EXCEEDED)) {
              ++n->limited;
            } else {
              ++n->other;
            }
            return 0;
          },
          &count, "s", "table");
    }
  }
  const int total = connections * calls;
  while (count.tables + count.limited + count.other < total && Clock::now() - start < 120s) {
    bool busy = false;
    for (auto* bus : buses) busy |= sd_bus_process(bus, nullptr) > 0;
    if (!busy) std::this_thread::sleep_for(200us);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(500ms);
  ask('s');
  std::this_thread::sleep_for(200ms);
  for (auto* bus : buses) sd_bus_flush_close_unref(bus);
  std::printf(
      "While %d client%s send%s %d table calls at once (%d answered with the table, %d refused "
      "over the per-connection limit, %d other, all answered in %.3f s):\n  %s\n",
      connections, connections == 1 ? "" : "s", connections == 1 ? "s" : "", total, count.tables,
      count.limited, count.other, seconds, reader.summary().c_str());
  std::fflush(stdout);
  connection->invalidate();
}

}  // namespace

int main() {
  char pattern[] = "/tmp/bench-hostile-XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  xpc::ServicesDirectory services{root + "/xpc"};
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  // The agent answers tables from /proc.
  const platform::ScopedOverride<platform::sysctl_backend::Backend> proc(
      platform::sysctl_backend::system());
  gSocket = root + "/xpc/" + std::string(ipc::kMachServiceName);
  int pair[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
  gAgent = ::fork();
  if (gAgent == 0) {
    ::close(pair[0]);
    // The process-table answer's standard-output line is not a figure.
    ::dup2(::open("/dev/null", O_WRONLY | O_CLOEXEC), 1);
    agentMain(pair[1]);
  }
  ::close(pair[1]);
  gControl = pair[0];
  while (::access(gSocket.c_str(), F_OK) != 0) std::this_thread::sleep_for(1ms);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("Agent RSS at rest: %.1f MiB\n", agentKiB("VmRSS:") / 1024.0);
  neverReadingReplies();
  stalledMidMessage();
  stalledReportClients();
  tablesWhileReading(1, 1500);  // one client pipelining
  tablesWhileReading(62, 16);   // the connection limit's worth, each at its call limit

  const char quit = 'q';
  [[maybe_unused]] auto n = ::write(gControl, &quit, 1);
  ::waitpid(gAgent, nullptr, 0);
  std::filesystem::remove_all(root);
  return 0;
}
