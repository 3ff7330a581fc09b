// The agent's endpoint over the real socket, with in-process clients, watchctl and busctl.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>

#include "agent/ipc/IPCForAgent.h"
#include "agent/ipc/LineLimiter.h"
#include "agent/model/JsonEncoding.h"
#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/sysctl/sysctl.h"
#include "shared/ipc/EventColumns.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {

using namespace xpctest;

model::EsMessage event(model::Int pid) {
  model::EsMessage message;
  message.version = 7;
  message.eventType = 9;
  message.process.pid = pid;
  message.process.exectuable.path = "/usr/lib/" + std::string(1500, 'p');  // about 2 KB in all
  return message;
}

std::string encoded(model::Int pid) {
  return *model::encode(event(pid));
}

// A child process with its output on pipes; killed if a test ends without waiting for it.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;

  Child() = default;
  Child(pid_t p, int o, int e) : pid(p), out(o), err(e) {}
  Child(Child&& other) noexcept
      : pid(std::exchange(other.pid, -1)),
        out(std::exchange(other.out, -1)),
        err(std::exchange(other.err, -1)) {}
  Child& operator=(Child&&) = delete;
  ~Child() {
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

struct Credentials {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

Child spawn(const std::vector<std::string>& args, std::optional<Credentials> as = std::nullopt) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (as) {
      if (::setgroups(as->groups.size(), as->groups.data()) < 0 ||
          ::setresgid(as->gid, as->gid, as->gid) < 0 ||
          ::setresuid(as->uid, as->uid, as->uid) < 0) {
        ::_exit(99);
      }
    }
    ::execv(argv[0], argv.data());
    ::_exit(98);
  }
  ::close(out[1]);
  ::close(err[1]);
  return Child(pid, out[0], err[0]);
}

struct Result {
  int status = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

// Collects the child's output until it exits; kills it after `timeout`.
Result finish(Child& child, std::chrono::milliseconds timeout = 20s) {
  Result result;
  const auto end = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(child.pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  ::close(std::exchange(child.out, -1));
  ::close(std::exchange(child.err, -1));
  int status = 0;
  ::waitpid(std::exchange(child.pid, -1), &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

Result watchctl(std::vector<std::string> args, std::optional<Credentials> as = std::nullopt) {
  args.insert(args.begin(), WATCHCTL_PATH);
  Child child = spawn(args, as);
  return finish(child);
}

class ServiceSocketTest : public ::testing::Test {
 protected:
  void start(xpc::SdBusTransport::Options options = {}) {
    transport = std::make_shared<xpc::SdBusTransport>(options);
    agent = std::make_unique<agent::IPCForAgent>(transport);
    agent->startEndpointListener();
  }
  std::unique_ptr<RecordingClient> connected() {
    auto client = std::make_unique<RecordingClient>(transport);
    client->resume();
    EXPECT_EQ(client->handshake().reply, "established");
    return client;
  }
  // Broadcasts events first..last, keeping `pace` at most a few events behind.
  void broadcast(model::Int first, model::Int last, RecordingClient& pace, std::size_t already) {
    for (model::Int pid = first; pid <= last; ++pid) {
      agent->broadcastEndpointMessage(event(pid));
      const auto sent = already + static_cast<std::size_t>(pid - first + 1);
      ASSERT_TRUE(pace.waitForCount(sent > 16 ? sent - 16 : 0));
    }
    ASSERT_TRUE(pace.waitForCount(already + static_cast<std::size_t>(last - first + 1)));
  }
  static std::vector<std::string> expected(model::Int first, model::Int last) {
    std::vector<std::string> documents;
    for (model::Int pid = first; pid <= last; ++pid) documents.push_back(encoded(pid));
    return documents;
  }

  TempServicesDir dir;
  // The agent's process-table answers come from /proc, as without an event source.
  platform::ScopedOverride<platform::sysctl_backend::Backend> proc{
      platform::sysctl_backend::system()};
  std::shared_ptr<xpc::SdBusTransport> transport;
  std::unique_ptr<agent::IPCForAgent> agent;
};

TEST_F(ServiceSocketTest, TwoClientsReceiveIdenticalBytes) {
  start();
  auto a = connected();
  auto b = connected();
  ASSERT_EQ(agent->currentConnections.size(), 2u);
  for (model::Int pid = 1; pid <= 50; ++pid) agent->broadcastEndpointMessage(event(pid));
  ASSERT_TRUE(a->waitForCount(50));
  ASSERT_TRUE(b->waitForCount(50));
  EXPECT_EQ(a->documents(), expected(1, 50));
  EXPECT_EQ(b->documents(), a->documents());
}

TEST_F(ServiceSocketTest, ClientThatNeverSendsAMessageReceivesNoReports) {
  start();
  RecordingClient silent(transport);
  silent.resume();
  auto talking = connected();
  agent->broadcastEndpointMessage(event(1));
  ASSERT_TRUE(talking->waitForCount(1));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(silent.documents().empty());
  EXPECT_EQ(agent->currentConnections.size(), 1u);

  ASSERT_EQ(silent.handshake().reply, "established");
  agent->broadcastEndpointMessage(event(2));
  ASSERT_TRUE(silent.waitForCount(1));
  EXPECT_EQ(silent.documents(), expected(2, 2)) << "only what follows its first message";
}

TEST_F(ServiceSocketTest, ClientKilledMidStreamIsDroppedAndOthersKeepReceiving) {
  start();
  auto healthy = connected();
  Child stream = spawn({WATCHCTL_PATH, "stream"});
  ASSERT_GT(stream.pid, 0);
  ASSERT_TRUE(eventually([&] { return agent->currentConnections.size() == 2; }));

  // Events until the child has printed three of them.
  std::string printed;
  model::Int pid = 0;
  while (std::count(printed.begin(), printed.end(), '\n') < 3 && pid < 1000) {
    ++pid;
    broadcast(pid, pid, *healthy, static_cast<std::size_t>(pid - 1));
    pollfd fd{stream.out, POLLIN, 0};
    char buffer[65536];
    if (::poll(&fd, 1, 0) > 0) {
      const ssize_t n = ::read(stream.out, buffer, sizeof buffer);
      if (n > 0) printed.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ASSERT_GE(std::count(printed.begin(), printed.end(), '\n'), 3);
  EXPECT_TRUE(printed.starts_with(encoded(1) + "\n"));

  ::kill(stream.pid, SIGKILL);
  EXPECT_EQ(finish(stream).status, 128 + SIGKILL);
  while (agent->currentConnections.size() > 1 && pid < 5000) {
    ++pid;
    broadcast(pid, pid, *healthy, static_cast<std::size_t>(pid - 1));
  }
  EXPECT_EQ(agent->currentConnections.size(), 1u);
  broadcast(pid + 1, pid + 20, *healthy, static_cast<std::size_t>(pid));
  EXPECT_EQ(healthy->documents(), expected(1, pid + 20));
}

TEST_F(ServiceSocketTest, StalledClientIsDroppedAtTheByteLimitWhileAnotherReceivesEverything) {
  xpc::SdBusTransport::Options options;
  options.maxQueuedBytes = 512 * 1024;
  start(options);
  auto stalled = connected();
  auto healthy = connected();
  stalled->stall();

  // 2 KB events: the limit and the socket buffers are passed well before the end.
  constexpr model::Int kEvents = 1500;
  broadcast(1, kEvents, *healthy, 0);
  EXPECT_EQ(healthy->documents(), expected(1, kEvents));
  ASSERT_TRUE(eventually([&] { return agent->currentConnections.size() == 1; }));

  stalled->release();
  EXPECT_TRUE(stalled->waitForEnd()) << "the agent ended the stalled connection";
  EXPECT_LT(stalled->documents().size(), static_cast<std::size_t>(kEvents));
}

TEST_F(ServiceSocketTest, BusctlCanActAsAClient) {
  if (::access("/usr/bin/busctl", X_OK) != 0) GTEST_SKIP() << "busctl is not installed";
  start();
  platform::log::Capture log;
  agent::LineLimiter::shared().forget();  // earlier tests' handshakes may have used the quota
  // busctl takes any valid bus name as the destination; a peer-to-peer service ignores it.
  Child busctl = spawn({"/usr/bin/busctl", "--address=unix:path=" + dir.socket(), "call", "x.y",
                        "/", "com.corvane.endpoint.AppToSystemExtensions",
                        "establishConnection2WithMessage", "s", "hi"});
  const auto result = finish(busctl);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "s \"established\"\n");
  EXPECT_TRUE(log.contains("IPCForAgent.establishConnection() BEGIN"));
}

TEST_F(ServiceSocketTest, WatchctlCommands) {
  start();
  const auto ping = watchctl({"ping"});
  EXPECT_EQ(ping.status, 0) << ping.err;
  EXPECT_EQ(ping.out, "established\n");

  const auto ps = watchctl({"ps"});
  EXPECT_EQ(ps.status, 0) << ps.err;
  EXPECT_TRUE(ps.out.starts_with("{\"table\":[{\"pid\":")) << ps.out.substr(0, 80);
  EXPECT_TRUE(ps.out.ends_with("]}\n"));

  // For people: this test's own row, with its parent, user and arguments.
  const auto rows = watchctl({"ps", "--format", "table"});
  EXPECT_EQ(rows.status, 0) << rows.err;
  EXPECT_TRUE(rows.out.starts_with("    PID    PPID USER     EXECUTABLE  ARGUMENTS\n"));
  char self[64];
  std::snprintf(self, sizeof self, "\n%7d %7d %-8s ", ::getpid(), ::getppid(),
                ipc::userName(::geteuid()).c_str());
  const auto row = rows.out.find(self);
  ASSERT_NE(row, std::string::npos) << self << "\n" << rows.out.substr(0, 400);
  const std::string line = rows.out.substr(row + 1, rows.out.find('\n', row + 1) - row - 1);
  EXPECT_NE(line.find("ipc_tests"), std::string::npos) << line;
  EXPECT_EQ(watchctl({"ps", "--format", "yaml"}).status, 2);

  const auto usage = watchctl({"frobnicate"});
  EXPECT_EQ(usage.status, 2);
  const auto help = watchctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("stream"), std::string::npos);
}

TEST_F(ServiceSocketTest, WatchctlStreamEndsCleanlyWhenTheReaderGoesOrOnCtrlC) {
  start();
  auto pace = connected();
  model::Int sent = 0;
  for (const bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "SIGINT" : "reader closed");
    Child stream = spawn({WATCHCTL_PATH, "stream"});
    ASSERT_TRUE(eventually([&] { return agent->currentConnections.size() == 2; }));
    broadcast(sent + 1, sent + 1, *pace, static_cast<std::size_t>(sent));
    ++sent;
    char buffer[65536];
    pollfd fd{stream.out, POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, 10000), 1);
    ASSERT_GT(::read(stream.out, buffer, sizeof buffer), 0);
    if (interrupt) {
      ::kill(stream.pid, SIGINT);
    } else {
      ::close(stream.out);  // like `| head -1`
      stream.out = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      // The next line it writes finds no reader.
      broadcast(sent + 1, sent + 1, *pace, static_cast<std::size_t>(sent));
      ++sent;
    }
    const auto result = finish(stream);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(eventually([&] { return agent->currentConnections.size() == 1; }));
  }
}

TEST_F(ServiceSocketTest, WatchctlWhenTheAgentIsNotRunning) {
  const auto result = watchctl({"ping"});
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.err.find("not running"), std::string::npos) << result.err;
}

// A service that cannot read the process table answers "Hello".
class FailingTable final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  bool shouldAcceptNewConnection(NSXPCListener&,
                                 std::shared_ptr<NSXPCConnection> connection) override {
    connection->setExportedInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    connection->setExportedObject(this);
    connection->resume();
    std::lock_guard lock(mutex_);
    connections_.push_back(connection);
    return true;
  }
  void establishConnection2WithMessage(const ipc::NSString&,
                                       std::function<void(const ipc::NSString&)> reply) override {
    reply("something else");
  }
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) override {
    reply(ipc::NSData(ipc::kProcTableFailureReply));
  }
  void subscribeToEventsWithFilter(const ipc::NSString&,
                                   std::function<void(const ipc::NSString&)> reply) override {
    reply(std::string(ipc::kSubscribedReply));
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<NSXPCConnection>> connections_;
};

TEST_F(ServiceSocketTest, WatchctlReportsAFailedProcessTableAndAStrangeHandshake) {
  FailingTable service;
  auto listener = NSXPCListener::initWithMachServiceName(ipc::kMachServiceName);
  listener->setDelegate(&service);
  listener->resume();
  const auto ps = watchctl({"ps"});
  EXPECT_EQ(ps.status, 5);
  EXPECT_EQ(ps.out, "");
  EXPECT_NE(ps.err.find("could not read the process table"), std::string::npos) << ps.err;
  const auto ping = watchctl({"ping"});
  EXPECT_EQ(ping.status, 1);
  EXPECT_NE(ping.err.find("something else"), std::string::npos) << ping.err;
}

TEST_F(ServiceSocketTest, PeersOtherThanRootOrTheAllowedGroupAreRefused) {
  constexpr gid_t kAllowed = 4242;
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(::chmod(dir.root().c_str(), 0755), 0);  // others may reach the socket's directory
  xpc::SdBusTransport::Options options;
  options.allowedGroup = kAllowed;
  start(options);
  platform::log::Capture log;

  struct stat st {};
  ASSERT_EQ(::stat(dir.socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u) << "the allowed group may open the socket";
  EXPECT_EQ(st.st_gid, kAllowed);

  struct Case {
    const char* name;
    Credentials who;
    bool openSocket;  // make the file itself world-writable, so only the peer check stands
    int status;
  };
  const Case cases[] = {
      {"nobody", {kNobody, kNobody, {}}, false, 4},
      {"nobody past the file mode", {kNobody, kNobody, {}}, true, 4},
      {"member of the allowed group", {kNobody, kNobody, {kAllowed}}, false, 0},
      {"allowed group as primary group", {kNobody, kAllowed, {}}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chmod(dir.socket().c_str(), c.openSocket ? 0666 : 0660), 0);
    log.clear();
    const auto result = watchctl({"ping"}, c.who);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (c.status == 0) {
      EXPECT_EQ(result.out, "established\n");
    } else {
      EXPECT_NE(result.err.find("denied"), std::string::npos) << result.err;
      for (const std::string& line : log.lines()) {
        // Only the listener's counted refusal, never the agent's acceptance.
        EXPECT_NE(line.find("refused"), std::string::npos) << line;
      }
    }
  }
}

}  // namespace
