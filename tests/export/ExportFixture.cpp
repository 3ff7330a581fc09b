// Child processes are started with fork+exec and always reaped; servers log to files beside
// their storage.
#include "tests/export/ExportFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "agent/ipc/IPCForAgent.h"
#include "agent/model/EsMessage.h"
#include "agent/model/JsonEncoding.h"
#include "platform/Override.h"
#include "platform/xpc/Transport.h"

namespace export_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A loopback port that was free a moment ago.
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

pid_t spawn(const std::vector<std::string>& argv, const fs::path& log,
            const std::vector<std::string>& environment = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The platform log goes to the journal when its socket exists; hide it so lines land in
  // the log file.
  if (::access("/run/systemd/journal/socket", F_OK) == 0 && ::unshare(CLONE_NEWNS) == 0 &&
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    ::mount("tmpfs", "/run/systemd/journal", "tmpfs", 0, nullptr);
  }
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::dup2(fd, 1) != 1 || ::dup2(fd, 2) != 2) ::_exit(100);
  for (const auto& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

int reap(pid_t pid, int signal) {
  ::kill(pid, signal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

}  // namespace

NatsCluster::NatsCluster(const fs::path& directory) : directory_(directory) {
  fs::create_directories(directory_);
  for (int i = 0; i < kSize; ++i) {
    clientPorts_[i] = freePort();
    routePorts_[i] = freePort();
  }
}

NatsCluster::~NatsCluster() {
  for (int i = 0; i < kSize; ++i) kill(i);
}

bool NatsCluster::start(int i) {
  if (pids_[i] > 0) return true;
  std::string routes;
  for (int j = 0; j < kSize; ++j) {
    if (j == i) continue;
    if (!routes.empty()) routes += ',';
    routes += "nats://127.0.0.1:" + std::to_string(routePorts_[j]);
  }
  const std::string name = "n" + std::to_string(i);
  pids_[i] =
      spawn({"nats-server", "-a", "127.0.0.1", "-p", std::to_string(clientPorts_[i]), "-js", "-sd",
             (directory_ / name).string(), "-n", name, "--cluster_name", "corvane", "--cluster",
             "nats://127.0.0.1:" + std::to_string(routePorts_[i]), "--routes", routes},
            directory_ / (name + ".log"));
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    if (accepts(clientPorts_[i])) return true;
    int status = 0;
    if (::waitpid(pids_[i], &status, WNOHANG) == pids_[i]) {
      pids_[i] = -1;
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

void NatsCluster::kill(int i) {
  if (pids_[i] <= 0) return;
  reap(pids_[i], SIGKILL);
  pids_[i] = -1;
}

bool NatsCluster::startAll() {
  bool ok = true;
  for (int i = 0; i < kSize; ++i) ok = start(i) && ok;
  return ok;
}

std::string NatsCluster::log(int i) const {
  std::ifstream in(directory_ / ("n" + std::to_string(i) + ".log"));
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string NatsCluster::createStream(std::chrono::seconds timeout) {
  fleet::NatsSettings settings;
  settings.servers = urls();
  std::string error;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto link = fleet::Link::open(settings, {}, error);
    if (link) {
      fleet::StreamDefinition definition;
      definition.replicas = kSize;
      error = fleet::createStream(*link, definition);
      if (error.empty()) return {};
    }
    std::this_thread::sleep_for(250ms);
  }
  return error;
}

std::vector<std::string> NatsCluster::urls() const {
  std::vector<std::string> list;
  for (int port : clientPorts_) list.push_back("nats://127.0.0.1:" + std::to_string(port));
  return list;
}

std::string NatsCluster::urlList() const {
  std::string list;
  for (const auto& url : urls()) list += (list.empty() ? "" : ",") + url;
  return list;
}

StormAgent::StormAgent(const fs::path& servicesDir) {
  fs::create_directories(servicesDir);
  // The listener takes its socket's path when it starts.
  xpc::ServicesDirectory services{servicesDir.string()};
  platform::ScopedOverride<xpc::ServicesDirectory> installed(services);
  agent_ = std::make_unique<agent::IPCForAgent>(std::make_shared<xpc::SdBusTransport>());
  agent_->startEndpointListener();
}

StormAgent::~StormAgent() {
  stop();
}

bool StormAgent::waitForClients(std::size_t clients, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (agent_->currentConnections.size() != clients) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

namespace {

model::EsMessage stormMessage(std::uint64_t n) {
  model::EsMessage m;
  m.version = 7;
  m.time = model::Date{733743000.25};
  m.timeStr = "2024-04-02T09:30:00Z";
  m.eventType = 11;
  m.eventDesc = "FORK";
  m.process.pid = static_cast<model::Int>(n);
  m.process.ppid = 1;
  m.process.exectuable.path = "/usr/bin/storm";
  model::EsEventFork fork;
  fork.child = m.process;
  fork.child.pid = static_cast<model::Int>(n) + 1;
  m.fork = fork;
  return m;
}

}  // namespace

void StormAgent::send(std::uint64_t n) {
  agent_->broadcastEndpointMessage(stormMessage(n));
}

std::size_t StormAgent::documentSize() {
  return model::encode(stormMessage(1000000))->size();
}

void StormAgent::startStorm(std::uint64_t first, double perSecond, std::uint64_t limit) {
  stop();
  next_ = first;
  stop_ = false;
  thread_ = std::thread([this, first, perSecond, limit] {
    const auto start = Clock::now();
    const std::uint64_t end = limit > UINT64_MAX - first ? UINT64_MAX : first + limit;
    while (!stop_ && next_ < end) {
      // Catch up with the schedule, then sleep a millisecond.
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto due = std::min(end, first + static_cast<std::uint64_t>(elapsed * perSecond));
      while (next_ < due && !stop_) send(next_++);
      std::this_thread::sleep_for(1ms);
    }
  });
}

std::uint64_t StormAgent::wait() {
  if (thread_.joinable()) thread_.join();
  return next_;
}

std::uint64_t StormAgent::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return next_;
}

ExporterProcess::ExporterProcess(fs::path binary, std::vector<std::string> arguments,
                                 fs::path servicesDir, fs::path log)
    : binary_(std::move(binary)),
      arguments_(std::move(arguments)),
      servicesDir_(std::move(servicesDir)),
      log_(std::move(log)) {}

ExporterProcess::~ExporterProcess() {
  if (pid_ > 0) stop(true);
}

void ExporterProcess::start() {
  std::vector<std::string> argv{binary_.string()};
  argv.insert(argv.end(), arguments_.begin(), arguments_.end());
  pid_ = spawn(argv, log_, {"XPC_SERVICES_DIR=" + servicesDir_.string()});
}

int ExporterProcess::stop(bool kill) {
  if (pid_ <= 0) return -1;
  const int status = reap(pid_, kill ? SIGKILL : SIGTERM);
  pid_ = -1;
  return status;
}

std::vector<std::string> ExporterProcess::logLines() const {
  std::ifstream in(log_);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::int64_t stormNumber(const fleet::FleetMessage& message) {
  if (!message.subject.ends_with(".FORK")) return -1;
  const auto document = nlohmann::json::parse(message.document, nullptr, false);
  if (document.is_discarded()) return -1;
  return document["process"]["pid"].get<std::int64_t>();
}

std::vector<fleet::FleetMessage> readHost(const std::vector<std::string>& urls,
                                          const std::string& host, std::size_t documents,
                                          std::chrono::seconds timeout,
                                          std::chrono::milliseconds settle) {
  fleet::NatsSettings settings;
  settings.servers = urls;
  std::vector<fleet::FleetMessage> messages;
  std::string error;
  const auto deadline = Clock::now() + timeout;
  std::unique_ptr<fleet::Link> link;
  std::unique_ptr<fleet::Reader> reader;
  while (!reader && Clock::now() < deadline) {
    link = fleet::Link::open(settings, {}, error);
    if (link) {
      reader = fleet::Reader::open(*link, std::string(fleet::kDefaultStream),
                                   fleet::subjectFilter(host, ""), false, error);
    }
    if (!reader) std::this_thread::sleep_for(250ms);
  }
  if (!reader) return messages;
  std::size_t count = 0;
  auto quietSince = Clock::now();
  while (Clock::now() < deadline) {
    error.clear();
    auto message = reader->next(100ms, error);
    if (!message) {
      if (count >= documents && Clock::now() - quietSince >= settle) break;
      continue;
    }
    quietSince = Clock::now();
    if (stormNumber(*message) >= 0 || !message->subject.ends_with(".EXPORTER")) ++count;
    messages.push_back(std::move(*message));
  }
  return messages;
}

}  // namespace export_test
