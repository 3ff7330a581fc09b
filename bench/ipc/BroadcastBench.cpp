// Broadcast of a 2 KB event document from the agent's endpoint to 1 and to 8 real clients, each
// a separate process with its own connection over the socket, over both report paths of the
// transport (batched ready-made messages, and one sd_bus_send each); then the agent's memory
// while a client that stopped reading is being dropped.
//
// The sender keeps at most a window of documents ahead of the slowest client (so that no client
// reaches the byte limit), and a batch counts only once every client has received all of it.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent/ipc/IPCForAgent.h"
#include "agent/model/JsonEncoding.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/Transport.h"

namespace {

constexpr std::size_t kClients = 8;
constexpr std::uint64_t kAckEvery = 256;
constexpr std::uint64_t kBatch = 256 * 80;   // documents per timed batch
constexpr std::uint64_t kWindow = 256 * 12;  // documents the sender may be ahead (about 6 MiB)
constexpr std::uint64_t kDone = UINT64_MAX;  // a client's answer to a command

// ---- Client processes

// Counts reports and tells the parent every kAckEvery of them.
class CountingClient final : public ipc::SystemExtensionsToApp {
 public:
  explicit CountingClient(int control) : control_(control) {}
  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    bytes_ += msg.size();
    if (++count_ % kAckEvery == 0) {
      [[maybe_unused]] auto n = ::write(control_, &count_, sizeof count_);
    }
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  int control_;
  std::uint64_t count_ = 0;
  std::uint64_t bytes_ = 0;
};

// Commands from the parent: 'c' connect and hand-shake, 'd' disconnect, 's' connect, hand-shake
// and stop (SIGSTOP), 'q' quit. Each is answered with kDone once carried out; counts of received
// documents go the same way, one record each.
[[noreturn]] void clientMain(int control) {
  std::shared_ptr<NSXPCConnection> connection;
  std::unique_ptr<CountingClient> counter;
  char command;
  while (::read(control, &command, 1) == 1) {
    if (command == 'q') break;
    connection.reset();
    counter.reset();
    if (command == 'c' || command == 's') {
      counter = std::make_unique<CountingClient>(control);
      connection = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
      connection->setExportedInterface(
          NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
      connection->setExportedObject(counter.get());
      connection->setRemoteObjectInterface(
          NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
      connection->resume();
      std::promise<bool> done;
      auto proxy = connection->remoteObjectProxyWithErrorHandler(
          [&](const NSError&) { done.set_value(false); });
      proxy->establishConnection2WithMessage("bench",
                                             [&](const ipc::NSString&) { done.set_value(true); });
      if (!done.get_future().get()) ::_exit(2);
    }
    [[maybe_unused]] auto n = ::write(control, &kDone, sizeof kDone);
    if (command == 's') ::raise(SIGSTOP);
  }
  ::_exit(0);
}

struct Client {
  pid_t pid = -1;
  int control = -1;
  bool connected = false;
  std::uint64_t acked = 0;
};

std::vector<Client> gClients;

// Takes in the records a client has sent; true when one of them was kDone.
bool drain(Client& client, int flags) {
  bool done = false;
  std::uint64_t record;
  while (::recv(client.control, &record, sizeof record, flags) == sizeof record) {
    if (record == kDone) {
      done = true;
      break;
    }
    client.acked = record;
    flags = MSG_DONTWAIT;
  }
  return done;
}

void command(Client& client, char c) {
  [[maybe_unused]] auto n = ::write(client.control, &c, 1);
  while (!drain(client, 0)) {
  }
  client.connected = c == 'c' || c == 's';
  client.acked = 0;
}

// Reads the counts the clients have sent; waits up to `timeoutMs` for the first one.
void collectAcks(int timeoutMs) {
  std::vector<pollfd> fds;
  std::vector<Client*> who;
  for (auto& c : gClients) {
    if (!c.connected) continue;
    fds.push_back({c.control, POLLIN, 0});
    who.push_back(&c);
  }
  if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents & POLLIN) drain(*who[i], MSG_DONTWAIT);
  }
}

std::uint64_t slowest() {
  std::uint64_t low = UINT64_MAX;
  for (auto& c : gClients) {
    if (c.connected) low = std::min(low, c.acked);
  }
  return low;
}

// ---- Agent side

std::string gRoot;
std::unique_ptr<agent::IPCForAgent> gAgent;
using ReportPath = xpc::SdBusTransport::Options::ReportPath;
ReportPath gPath = ReportPath::batched;

// The agent's endpoint over the given report path; clients connect again afterwards.
void serve(ReportPath path) {
  if (gAgent && gPath == path) return;
  gAgent.reset();
  for (auto& c : gClients) c.connected = false;
  xpc::SdBusTransport::Options options;
  options.reportPath = path;
  gAgent = std::make_unique<agent::IPCForAgent>(std::make_shared<xpc::SdBusTransport>(options));
  gAgent->startEndpointListener();
  gPath = path;
}

const char* pathName(ReportPath path) {
  return path == ReportPath::batched ? "batched" : "plain sd_bus_send";
}

// An exec event whose document is about 2 KB.
model::EsMessage document() {
  model::EsMessage m;
  m.version = 7;
  m.time = model::Date{733743000.25};
  m.timeStr = "2024-04-02T09:30:00Z";
  m.eventType = 9;
  m.eventDesc = "exec";
  m.process.pid = 4242;
  m.process.ppid = 1;
  m.process.signingId = "bash";
  m.process.teamId = "system";
  m.process.hash = "0E3B6D8F2A4C9E1B7D5F3A2C8E6B4D0F1A9C7E5B";
  m.process.exectuable.path = "/usr/bin/bash";
  model::EsEventExec exec;
  exec.target = m.process;
  exec.target.exectuable.path = "/usr/lib/x86_64-linux-gnu/some/tool";
  exec.args = std::vector<std::string>{};
  for (int i = 0; i < 36; ++i) exec.args->push_back("--option-" + std::to_string(i) + "=value");
  exec.envs = std::vector<std::string>{};
  for (int i = 0; i < 20; ++i)
    exec.envs->push_back("VARIABLE_" + std::to_string(i) + "=/some/path");
  m.exec = exec;
  return m;
}

// Consecutive documents differ, as real events do (in one digit of the pid, so all have one
// size): nothing may pass one document's bytes off as the next one's.
pid_t nextPid(std::uint64_t sent) {
  return static_cast<pid_t>(4242 + sent % 2);
}

void useClients(std::size_t count) {
  for (std::size_t i = 0; i < gClients.size(); ++i) {
    const bool want = i < count;
    if (want) {
      command(gClients[i], 'c');  // a fresh connection, counting from zero
    } else if (gClients[i].connected) {
      command(gClients[i], 'd');
    }
  }
  while (gAgent->currentConnections.size() != count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// By (report path, clients).
std::map<std::pair<int, std::int64_t>, double> gSecondsPerDocument;
std::map<std::pair<int, std::int64_t>, double> gAgentCpuPerDocument;

// CPU time of this process (the agent side: the sending thread and the service's thread); the
// clients are other processes.
double agentCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_Broadcast(benchmark::State& state) {
  const auto clients = static_cast<std::size_t>(state.range(0));
  serve(static_cast<ReportPath>(state.range(1)));
  useClients(clients);
  model::EsMessage message = document();
  std::uint64_t sent = 0;
  double seconds = 0;
  const double cpuBefore = agentCpuSeconds();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < kBatch; ++i) {
      while (sent - slowest() >= kWindow) collectAcks(1000);
      message.process.pid = nextPid(sent);
      gAgent->broadcastEndpointMessage(message);
      ++sent;
      if ((sent & 63) == 0) collectAcks(0);
    }
    while (slowest() < sent) collectAcks(1000);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
  }
  const double cpu = agentCpuSeconds() - cpuBefore;
  if (gAgent->currentConnections.size() != clients) state.SkipWithError("a client was dropped");
  const double documents = static_cast<double>(sent);
  state.counters["agent_cpu_us_per_doc"] = cpu / documents * 1e6;
  const auto key = std::make_pair(static_cast<int>(state.range(1)), state.range(0));
  gAgentCpuPerDocument[key] = cpu / documents;
  state.counters["docs_per_s"] = documents / seconds;
  state.counters["bytes_per_doc"] = static_cast<double>(model::encode(message)->size());
  gSecondsPerDocument[key] = seconds / documents;
}
BENCHMARK(BM_Broadcast)
    ->ArgsProduct({{1, 8},
                   {static_cast<int>(ReportPath::batched), static_cast<int>(ReportPath::plain)}})
    ->ArgNames({"clients", "plain"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// ---- Memory with a stalled client

long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

void measureStalledClient() {
  serve(ReportPath::batched);
  useClients(0);
  model::EsMessage message = document();
  for (int i = 0; i < 1000; ++i) gAgent->broadcastEndpointMessage(message);  // nobody listens
  command(gClients[0], 's');  // connects, then stops reading for good
  while (gAgent->currentConnections.size() != 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak-RSS count
  const long before = statusKiB("VmRSS:");
  long highest = before;
  std::uint64_t sent = 0;
  while (!gAgent->currentConnections.empty() && sent < 200000) {
    message.process.pid = nextPid(sent);
    gAgent->broadcastEndpointMessage(message);
    if (++sent % 256 == 0) highest = std::max(highest, statusKiB("VmRSS:"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long peak = std::max(highest, statusKiB("VmHWM:"));
  const double capMiB =
      static_cast<double>(xpc::SdBusTransport::Options{}.maxQueuedBytes) / (1 << 20);
  std::printf(
      "Stalled client: dropped after %llu documents of %zu bytes; agent RSS %.1f MiB before, "
      "peak %.1f MiB, growth %.1f MiB (byte limit %.0f MiB) -> %s\n",
      static_cast<unsigned long long>(sent), model::encode(message)->size(), before / 1024.0,
      peak / 1024.0, (peak - before) / 1024.0, capMiB,
      (peak - before) / 1024.0 <= capMiB ? "within the limit" : "ABOVE the limit");
  // The stopped client takes up its next command once it runs again.
  ::kill(gClients[0].pid, SIGCONT);
  gClients[0].connected = false;
}

}  // namespace

int main(int argc, char** argv) {
  // The clients are forked before any thread exists.
  char pattern[] = "/tmp/bench-broadcast-XXXXXX";
  gRoot = ::mkdtemp(pattern);
  xpc::ServicesDirectory services{gRoot + "/xpc"};
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  for (std::size_t i = 0; i < kClients; ++i) {
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pair[0]);
      clientMain(pair[1]);
    }
    ::close(pair[1]);
    gClients.push_back(Client{pid, pair[0]});
  }

  benchmark::Initialize(&argc, argv);
  // First, while the heap has not yet grown for the throughput runs.
  measureStalledClient();
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\nBroadcast of one %zu-byte document, both report paths side by side:\n",
              model::encode(document())->size());
  for (ReportPath path : {ReportPath::batched, ReportPath::plain}) {
    const int p = static_cast<int>(path);
    if (!gSecondsPerDocument.contains({p, 1}) || !gSecondsPerDocument.contains({p, 8})) continue;
    const double one = gSecondsPerDocument[{p, 1}];
    const double eight = gSecondsPerDocument[{p, 8}];
    std::printf(
        "  %-18s 1 client %7.0f documents/s (bar 100000: %s), 8 clients %6.0f documents/s; "
        "agent CPU per document %.2f us with 1 client, %.2f us with 8\n",
        pathName(path), 1 / one, 1 / one >= 100000 ? "met" : "NOT met", 1 / eight,
        gAgentCpuPerDocument[{p, 1}] * 1e6, gAgentCpuPerDocument[{p, 8}] * 1e6);
  }

  for (auto& c : gClients) {
    if (c.pid < 0) continue;
    const char quit = 'q';
    [[maybe_unused]] auto n = ::write(c.control, &quit, 1);
    ::waitpid(c.pid, nullptr, 0);
  }
  gAgent.reset();
  std::filesystem::remove_all(gRoot);
  benchmark::Shutdown();
  return 0;
}
