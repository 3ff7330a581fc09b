// The real watchagent executable: events of this machine reach a client over its socket, and a
// start without root privileges ends before anything is served.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/Transport.h"
#include "tests/agent/ServiceClient.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> readLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The agent's log goes to the journal when its socket exists, to standard error otherwise. The
// child hides the journal in a mount namespace of its own so that its lines land in `log`.
bool redirectLog(const fs::path& log) {
  if (::access("/run/systemd/journal/socket", F_OK) == 0) {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (::mount("tmpfs", "/run/systemd/journal", "tmpfs", 0, nullptr) != 0) return false;
  }
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd >= 0 && ::dup2(fd, 2) == 2;
}

// Starts the agent with `servicesDir` as its environment; `asUser` >= 0 drops to that user
// first. Exits 100 when the child cannot be set up.
pid_t startAgent(const fs::path& binary, const fs::path& servicesDir, const fs::path& log,
                 int asUser = -1, int stdoutFd = -1, const char* setting = nullptr) {
  const std::string env = "XPC_SERVICES_DIR=" + servicesDir.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!redirectLog(log)) ::_exit(100);
    if (stdoutFd >= 0 && ::dup2(stdoutFd, 1) != 1) ::_exit(100);
    if (asUser >= 0 &&
        (::setresgid(asUser, asUser, asUser) != 0 || ::setresuid(asUser, asUser, asUser) != 0)) {
      ::_exit(100);
    }
    const char* argv[] = {binary.c_str(), nullptr};
    // Auditing is left as it is: these agents come and go while the audit tests rely on it.
    const char* envp[] = {env.c_str(), "WATCH_AUDIT_ENABLE=0", setting, nullptr};
    ::execve(binary.c_str(), const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    ::_exit(100);
  }
  return pid;
}

bool waitForFile(const fs::path& path, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::optional<json> parse(const std::string& document) {
  json value = json::parse(document, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

class WatchagentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "watchagent needs root";
    services_ = dir_.path() / "services";
    fs::create_directory(services_);
    clientServices_.path = services_.string();
    agent_ = startAgent(WATCHAGENT_PATH, services_, dir_.path() / "agent.log", -1, -1, setting());
    ASSERT_GT(agent_, 0);
    if (!waitForFile(services_ / std::string(ipc::kMachServiceName), 30s)) {
      const auto lines = readLines(dir_.path() / "agent.log");
      const bool noConnector =
          std::find(lines.begin(), lines.end(), "ERROR: \"es_new_client: 2\"") != lines.end();
      if (noConnector) GTEST_SKIP() << "no process connector here";
      FAIL() << "the agent did not start serving";
    }
    ASSERT_TRUE(client_.connect());
  }
  void TearDown() override {
    if (agent_ > 0) {
      ::kill(agent_, SIGTERM);
      int status = 0;
      ::waitpid(agent_, &status, 0);
    }
  }

  // One more entry of the agent's environment, or null.
  virtual const char* setting() const { return nullptr; }

  // A document about process `pid` of the given kind.
  std::optional<json> waitFor(int eventType, const std::function<bool(const json&)>& match) {
    std::optional<json> found;
    client_.waitFor([&](const std::string& d) {
      seen_ += d;
      auto doc = parse(d);
      if (doc && (*doc)["eventType"] == eventType && match(*doc)) {
        found = std::move(doc);
        return true;
      }
      return false;
    });
    return found;
  }

  std::string seen_;  // every document read, as received
  const test_support::TempDir dir_{"watchagent-test"};
  fs::path services_;
  // Where this process's clients look for the agent's socket.
  xpc::ServicesDirectory clientServices_;
  platform::ScopedOverride<xpc::ServicesDirectory> clientServicesInstalled_{clientServices_};
  pid_t agent_ = -1;
  testing_agent::ServiceClient client_;
};

TEST_F(WatchagentTest, ReportsExecForkAndExitOfThisMachine) {
  // Fill a pipe so echo blocks on its write until its exec has been reported: the agent reads
  // /proc while the process still exists, whatever the machine's load.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(fds[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  const std::string marker = "WATCHAGENT_TEST_MARKER=" + std::to_string(::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[1], 1);
    const char* argv[] = {"/bin/sh", "-c", "exec /bin/echo a b", nullptr};
    const char* envp[] = {marker.c_str(), nullptr};
    ::execve("/bin/sh", const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    ::_exit(127);
  }
  ::close(fds[1]);
  const auto exec = waitFor(9, [&](const json& d) {
    return d["exec"]["target"]["pid"] == child &&
           d["exec"]["target"]["exectuable"]["path"] == "/usr/bin/echo";
  });
  char drain[65536];
  while (::read(fds[0], drain, sizeof drain) > 0) {
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);

  ASSERT_TRUE(exec.has_value());
  EXPECT_EQ((*exec)["exec"]["args"], json({"/bin/echo", "a", "b"}));
  const json& envs = (*exec)["exec"]["envs"];
  EXPECT_NE(std::find(envs.begin(), envs.end(), marker), envs.end()) << envs.dump();
  EXPECT_EQ((*exec)["exec"]["target"]["ppid"], ::getpid());
  EXPECT_EQ((*exec)["exec"]["target"]["signingId"], "coreutils");
  EXPECT_EQ((*exec)["exec"]["target"]["teamId"], "system");
  EXPECT_EQ((*exec)["eventDesc"], "EXEC");

  const auto fork = waitFor(11, [&](const json& d) { return d["fork"]["child"]["pid"] == child; });
  ASSERT_TRUE(fork.has_value());
  EXPECT_EQ((*fork)["process"]["pid"], ::getpid());
  EXPECT_EQ((*fork)["fork"]["child"]["ppid"], ::getpid());

  const pid_t exiting = ::fork();
  ASSERT_GE(exiting, 0);
  if (exiting == 0) {
    const char* argv[] = {"/bin/sh", "-c", "exit 3", nullptr};
    ::execve("/bin/sh", const_cast<char* const*>(argv), nullptr);
    ::_exit(127);
  }
  ::waitpid(exiting, &status, 0);
  const auto exit = waitFor(15, [&](const json& d) { return d["process"]["pid"] == exiting; });
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ((*exit)["exit"]["stat"], 768);
  EXPECT_EQ((*exit)["eventDesc"], "EXIT");
}

TEST(WatchagentUnprivileged, LogsWhyAndEndsWith255BeforeServing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start the agent as another user";
  const test_support::TempDir dir("watchagent-test");
  // A copy that the unprivileged user can reach and run.
  ::chmod(dir.path().c_str(), 0755);
  const fs::path binary = dir.path() / "watchagent";
  fs::copy_file(WATCHAGENT_PATH, binary);
  ::chmod(binary.c_str(), 0755);
  const fs::path services = dir.path() / "services";
  fs::create_directory(services);
  ::chmod(services.c_str(), 0777);

  const pid_t agent = startAgent(binary, services, dir.path() / "agent.log", 65534);
  ASSERT_GT(agent, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(agent, &status, 0), agent);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot start a process as user 65534 here";
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_EQ(readLines(dir.path() / "agent.log"),
            (std::vector<std::string>{
                "==== watchagent BEGIN",
                "ERROR: \"Application needs to run as root (and SIP disabled).\""}));
  EXPECT_TRUE(fs::is_empty(services));
}

// Start-up and the end of the agent: it refuses to run where it cannot publish its service, a
// reader that went away does not end it, and each ending signal ends it cleanly.
TEST(WatchagentLifecycle, ExitsWhenItCannotPublishAndEndsCleanlyOnSignals) {
  if (::geteuid() != 0) GTEST_SKIP() << "watchagent needs root";
  const test_support::TempDir dir("watchagent-test");
  const fs::path services = dir.path() / "services";
  fs::create_directory(services);
  xpc::ServicesDirectory clientServices{services.string()};
  platform::ScopedOverride<xpc::ServicesDirectory> clientServicesInstalled(clientServices);
  const fs::path socket = services / std::string(ipc::kMachServiceName);
  auto waitExit = [](pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  };

  // The socket's path is taken by a plain file: the reason is logged and the status is not 0.
  { std::ofstream(socket) << "not a socket"; }
  int status = waitExit(startAgent(WATCHAGENT_PATH, services, dir.path() / "file.log"));
  ASSERT_TRUE(WIFEXITED(status));
  const auto fileLog = readLines(dir.path() / "file.log");
  if (std::find(fileLog.begin(), fileLog.end(), "ERROR: \"es_new_client: 2\"") != fileLog.end()) {
    GTEST_SKIP() << "no process connector here";
  }
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(std::find(fileLog.begin(), fileLog.end(),
                      "xpc: cannot publish " + std::string(ipc::kMachServiceName) + " at " +
                          socket.string() + ": File exists"),
            fileLog.end());
  fs::remove(socket);

  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    // Standard output is a pipe nobody reads any more: the table answer's line must not kill it.
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ::close(out[0]);
    const pid_t agent = startAgent(WATCHAGENT_PATH, services, dir.path() / "agent.log", -1, out[1]);
    ::close(out[1]);
    ASSERT_TRUE(waitForFile(socket, 30s));
    testing_agent::ServiceClient client;
    ASSERT_TRUE(client.connect());

    // Another agent while this one serves: refused, non-zero.
    status = waitExit(startAgent(WATCHAGENT_PATH, services, dir.path() / "second.log"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto second = readLines(dir.path() / "second.log");
    EXPECT_NE(std::find(second.begin(), second.end(),
                        "==== watchagent cannot publish its service, exiting"),
              second.end());

    EXPECT_TRUE(client.procTable().has_value()) << "alive after writing into a closed pipe";
    ASSERT_EQ(::kill(agent, 0), 0);

    ASSERT_EQ(::kill(agent, sig), 0);
    status = waitExit(agent);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(socket)) << "the socket goes with the agent";
    EXPECT_TRUE(client.waitForEnd()) << "its clients were closed";
  }
}

// Each client is sent what it subscribed to, from the agent's answer on, beside one that takes
// everything.
TEST_F(WatchagentTest, SubscribersGetOnlyWhatTheyAskedFor) {
  testing_agent::ServiceClient echoExecs, logins;
  ASSERT_TRUE(echoExecs.connect() && logins.connect());
  ASSERT_EQ(echoExecs.subscribe(R"({"kinds":["EXEC"],"executablePath":"/usr/bin/echo"})"),
            "subscribed");
  ASSERT_EQ(logins.subscribe(R"({"kinds":["LOGIN"]})"), "subscribed");
  // What the machine did before an answer came unfiltered; from the answer on, only what each
  // asked for.
  const std::size_t echoesBefore = echoExecs.documents().size();
  const std::size_t loginsBefore = logins.documents().size();

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    const char* argv[] = {"/bin/sh", "-c", "/bin/true; exec /bin/echo subscribed", nullptr};
    ::execve("/bin/sh", const_cast<char* const*>(argv), nullptr);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  // The client without a filter sees the end; the others' documents were queued before it.
  ASSERT_TRUE(waitFor(15, [&](const json& d) { return d["process"]["pid"] == child; }));
  ASSERT_EQ(echoExecs.ping(), "established");
  ASSERT_EQ(logins.ping(), "established");

  // Logins of tests running beside this one may come; nothing else may.
  const auto loginDocuments = logins.documents();
  for (std::size_t i = loginsBefore; i < loginDocuments.size(); ++i) {
    EXPECT_EQ((*parse(loginDocuments[i]))["eventType"], 122) << loginDocuments[i].substr(0, 200);
  }
  const auto all = echoExecs.documents();
  const std::vector<std::string> echoes(all.begin() + static_cast<std::ptrdiff_t>(echoesBefore),
                                        all.end());
  ASSERT_FALSE(echoes.empty());
  bool sawChild = false;
  for (const std::string& text : echoes) {
    const auto d = parse(text);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ((*d)["eventType"], 9) << text.substr(0, 200);
    EXPECT_TRUE((*d)["exec"]["target"]["exectuable"]["path"] == "/usr/bin/echo" ||
                (*d)["process"]["exectuable"]["path"] == "/usr/bin/echo")
        << text.substr(0, 200);
    sawChild |= (*d)["exec"]["target"]["pid"] == child;
  }
  EXPECT_TRUE(sawChild);
}

}  // namespace

class WatchagentRedactTest : public WatchagentTest {
 protected:
  const char* setting() const override { return "WATCH_EXEC_ENVIRONMENT=redact"; }
};

TEST_F(WatchagentRedactTest, SecretValuesReachNeitherDocumentsNorTheLog) {
  const std::string key = "AWS_SECRET_ACCESS_KEY=aws-value-" + std::to_string(::getpid());
  const std::string token = "GITHUB_TOKEN=gh-value-" + std::to_string(::getpid());
  int fds[2];  // a full pipe holds echo until its exec has been reported (see above)
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (::write(fds[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(fds[1], F_SETFL, 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(fds[1], 1);
    const char* argv[] = {"/bin/echo", "redact", nullptr};
    const char* envp[] = {key.c_str(), token.c_str(), "HOME=/root", nullptr};
    ::execve("/bin/echo", const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    ::_exit(127);
  }
  ::close(fds[1]);
  const auto exec = waitFor(9, [&](const json& d) { return d["exec"]["target"]["pid"] == child; });
  char drain[65536];
  while (::read(fds[0], drain, sizeof drain) > 0) {
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  // The exit, so documents after the exec are read too.
  ASSERT_TRUE(waitFor(15, [&](const json& d) { return d["process"]["pid"] == child; }));

  ASSERT_TRUE(exec.has_value());
  EXPECT_EQ((*exec)["exec"]["envs"],
            json({"AWS_SECRET_ACCESS_KEY=<redacted>", "GITHUB_TOKEN=<redacted>", "HOME=/root"}));
  std::string log;
  for (const std::string& line : readLines(dir_.path() / "agent.log")) log += line + "\n";
  for (const char* value : {"aws-value-", "gh-value-"}) {
    EXPECT_EQ(seen_.find(value), std::string::npos) << value;
    EXPECT_EQ(log.find(value), std::string::npos) << value;
  }
}
