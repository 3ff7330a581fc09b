// The audit source against this machine's kernel, with real su, sshd and login started here
// (root): one document per authentication or login attempt, with the right user, result and
// process, in the exact form of the golden documents. Prints how long each took from the action
// and from the kernel's record to the handler.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <thread>

#include "platform/endpoint_security/audit/AuditNetlink.h"
#include "platform/endpoint_security/audit/AuditSource.h"
#include "tests/endpoint_security/audit/LiveHelpers.h"
#include "tests/endpoint_security/audit/SourceHarness.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using harness::Delivered;
using harness::Json;
using platform::es::audit::AuditSource;
using platform::es::audit::AuditSourceOptions;
using platform::es::audit::AuditStatus;
using platform::es::audit::getAuditStatus;
using platform::es::audit::setAuditEnabled;

namespace {

const std::vector<es_event_type_t> kLoginKinds = {ES_EVENT_TYPE_NOTIFY_AUTHENTICATION,
                                                  ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN,
                                                  ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN};

platform::es::SourceFactory auditSource(bool mayEnable = true) {
  return [mayEnable] {
    AuditSourceOptions options;
    options.mayEnable = mayEnable;
    return std::make_unique<AuditSource>(options);
  };
}

std::string unique(const char* prefix) {
  return prefix + std::to_string(::getpid() % 100000);
}

void report(const char* what, const Delivered& d, std::chrono::system_clock::time_point action) {
  std::cout << "[ latency  ] " << what << ": action to document "
            << std::chrono::duration<double, std::milli>(d.arrived - action).count()
            << " ms, record to document " << harness::secondsSince(d.eventTime, d.arrived) * 1000
            << " ms\n";
}

class AuditLive : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  }
};

std::function<bool(const Delivered&)> auth(const std::string& account) {
  return [account](const Delivered& d) {
    return d.type == ES_EVENT_TYPE_NOTIFY_AUTHENTICATION &&
           d.json["auth"]["openDirectory"]["recordName"] == account;
  };
}

TEST_F(AuditLive, SuRightAndWrongPasswordGiveOneAuthenticationEach) {
  live::ThrowawayUser caller(unique("wacall"), "caller-pw-1");
  live::ThrowawayUser target(unique("watarget"), "Target-pw-1");
  ASSERT_TRUE(caller.created() && target.created());
  harness::Client client(auditSource(), kLoginKinds);

  struct Attempt {
    const char* name;
    const char* password;
    bool success;
  } attempts[] = {{"su, right password", "Target-pw-1", true},
                  {"su, wrong password", "not-it", false}};
  std::size_t expected = 0;
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.name);
    live::PtyProgram su({"/usr/bin/su", target.name(), "-c", "true"}, caller.uid());
    ASSERT_TRUE(su.expect("assword")) << su.output();
    const auto sent = std::chrono::system_clock::now();
    su.send(std::string(attempt.password) + "\n");
    std::vector<Delivered> seen = client.await(auth(target.name()), ++expected, 1000ms);
    ASSERT_EQ(seen.size(), expected);
    const Delivered& d = seen.back();
    report(attempt.name, d, sent);
    EXPECT_LT(d.arrived - sent, 1s);
    const Json& od = d.json["auth"]["openDirectory"];
    EXPECT_EQ(d.json["eventType"], 111);
    EXPECT_EQ(d.json["eventDesc"], "AUTHENTICATION");
    EXPECT_EQ(d.json["auth"]["success"], attempt.success);
    EXPECT_EQ(d.json["auth"]["authenticationType"], 0);
    EXPECT_EQ(od["recordType"], "user");
    EXPECT_EQ(od["nodeName"], "/usr/bin/su");
    EXPECT_EQ(od["dbPath"], "/etc/shadow");
    EXPECT_EQ(d.pid, su.pid());
    EXPECT_EQ(od["instigator"]["pid"], su.pid());
    EXPECT_EQ(od["instigator"]["exectuable"]["path"], "/usr/bin/su");
    EXPECT_EQ(od["instigator"]["ruid"], *caller.uid());
    harness::expectGoldenShape(d.json, "auth");
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(client.await(auth(target.name()), 99, 0ms).size(), expected) << "one per attempt";
}

// sshd on a loopback port with its own host key and PAM; stopped and removed at the end.
class Sshd {
 public:
  Sshd() {
    ::mkdir("/run/sshd", 0755);
    live::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir_.string() + "/hostkey"});
    port_ = freePort();
    const std::string port = std::to_string(port_);
    const std::string key = dir_.string() + "/hostkey";
    // Each user's keys in <dir>/<user>.keys, readable by the user sshd checks them as.
    ::chmod(dir_.path().c_str(), 0755);
    const std::string keys = "AuthorizedKeysFile=" + dir_.string() + "/%u.keys";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", "/dev/null", "-p", port.c_str(), "-h",
              key.c_str(), "-o", "PidFile=none", "-o", "ListenAddress=127.0.0.1", "-o",
              "UsePAM=yes", "-o", "PasswordAuthentication=yes", "-o",
              "KbdInteractiveAuthentication=no", "-o", "PubkeyAuthentication=yes", "-o",
              keys.c_str(), "-o", "StrictModes=no", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 100 && !listening(); ++i) std::this_thread::sleep_for(50ms);
  }
  ~Sshd() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool listening() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port_);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  // A new key pair in the test's directory; returns the private key's path.
  std::string makeKey(const std::string& name) const {
    const std::string path = dir_.string() + "/" + name;
    live::run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path});
    return path;
  }
  // Lets `user` in with the key whose private half is at `privateKey`.
  void authorize(const std::string& user, const std::string& privateKey) const {
    std::filesystem::copy_file(privateKey + ".pub", dir_.string() + "/" + user + ".keys",
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod((dir_.string() + "/" + user + ".keys").c_str(), 0644);
  }

  // ssh logging in as `user`, running `true`, offering `keys` in order before the password (none:
  // password only).
  std::vector<std::string> ssh(const std::string& user,
                               const std::vector<std::string>& keys = {}) const {
    std::vector<std::string> argv = {"/usr/bin/ssh",
                                     "-F",
                                     "/dev/null",
                                     "-o",
                                     "StrictHostKeyChecking=no",
                                     "-o",
                                     "UserKnownHostsFile=/dev/null",
                                     "-o",
                                     "IdentityAgent=none",
                                     "-o",
                                     "IdentitiesOnly=yes"};
    for (const std::string& key : keys) argv.insert(argv.end(), {"-i", key});
    argv.insert(argv.end(),
                {"-o", keys.empty() ? "PubkeyAuthentication=no" : "PubkeyAuthentication=yes", "-o",
                 keys.empty() ? "PreferredAuthentications=password"
                              : "PreferredAuthentications=publickey,password",
                 "-o", "NumberOfPasswordPrompts=1", "-o", "LogLevel=ERROR", "-p",
                 std::to_string(port_), user + "@127.0.0.1", "true"});
    return argv;
  }

  // Logs in with sshpass and ssh (see ssh()); returns the client's wait status.
  int login(const std::string& user, const std::string& password,
            const std::vector<std::string>& keys = {}) const {
    std::vector<std::string> argv = {"sshpass", "-p", password};
    for (const std::string& a : ssh(user, keys)) argv.push_back(a);
    return live::run(argv);
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  static int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
  }

  const test_support::TempDir dir_{"watch-sshd"};
  int port_ = 0;
  pid_t pid_ = -1;
};

std::function<bool(const Delivered&)> sshLogin(const std::string& user) {
  return [user](const Delivered& d) {
    return d.type == ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN &&
           d.json["openSshLogin"]["username"] == user;
  };
}

TEST_F(AuditLive, SshRightWrongAndUnknownUserGiveOneLoginEach) {
  live::ThrowawayUser user(unique("wassh"), "Ssh-pw-1");
  ASSERT_TRUE(user.created());
  const std::string unknown = unique("wanobody");
  Sshd sshd;
  ASSERT_TRUE(sshd.listening());
  harness::Client client(auditSource(), kLoginKinds);

  struct Attempt {
    const char* name;
    std::string user;
    const char* password;
    bool success;
    int resultType;
  } attempts[] = {{"ssh, right password", user.name(), "Ssh-pw-1", true, 2},
                  {"ssh, wrong password", user.name(), "not-it", false, 4},
                  {"ssh, unknown user", unknown, "Ssh-pw-1", false, 9}};
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.name);
    const std::size_t before = client.await(sshLogin(attempt.user), 99, 0ms).size();
    const auto started = std::chrono::system_clock::now();
    const int status = sshd.login(attempt.user, attempt.password);
    EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, attempt.success) << status;
    std::vector<Delivered> seen = client.await(sshLogin(attempt.user), before + 1, 1000ms);
    ASSERT_EQ(seen.size(), before + 1);
    const Delivered& d = seen.back();
    report(attempt.name, d, started);
    EXPECT_LT(harness::secondsSince(d.eventTime, d.arrived), 1.0);
    const Json& login = d.json["openSshLogin"];
    EXPECT_EQ(d.json["eventType"], 120);
    EXPECT_EQ(login["success"], attempt.success);
    EXPECT_EQ(login["resultType"], attempt.resultType);
    EXPECT_EQ(login["sourceAddress"], "127.0.0.1");
    EXPECT_EQ(login["sourceAddressType"], 1);
    EXPECT_EQ(d.json["process"]["exectuable"]["path"], "/usr/sbin/sshd");
    harness::expectGoldenShape(d.json, "openSshLogin");
  }
  // sshd writes its last record of a failed attempt after its failure delay (about 2 s): wait
  // for it, then count.
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(client.await(sshLogin(user.name()), 99, 0ms).size(), 2u);
  EXPECT_EQ(client.await(sshLogin(unknown), 99, 0ms).size(), 1u);
  // Each password check is also an authentication, by sshd.
  const std::vector<Delivered> checks = client.await(auth(user.name()), 99, 0ms);
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].json["auth"]["success"], true);
  EXPECT_EQ(checks[1].json["auth"]["success"], false);
  EXPECT_EQ(checks[1].json["auth"]["openDirectory"]["nodeName"], "/usr/sbin/sshd");
  EXPECT_EQ(client.await(auth(unknown), 99, 0ms).size(), 1u);
}

// A client that first offers a key the server refuses and then gets in (by password or by a
// second key) has logged in once, successfully: the refused key is no failed login of its own.
TEST_F(AuditLive, SshKeyRefusedThenAcceptedGivesOneSuccessfulLogin) {
  live::ThrowawayUser user(unique("wakey"), "Key-pw-1");
  ASSERT_TRUE(user.created());
  Sshd sshd;
  ASSERT_TRUE(sshd.listening());
  const std::string refused = sshd.makeKey("refused");
  const std::string accepted = sshd.makeKey("accepted");
  sshd.authorize(user.name(), accepted);
  harness::Client client(auditSource(), kLoginKinds);

  struct Attempt {
    const char* name;
    std::vector<std::string> keys;
    const char* password;
    // When set, a person types the password this long after the prompt (on a terminal).
    std::chrono::milliseconds typedAfter;
  } attempts[] = {{"a refused key, then the password", {refused}, "Key-pw-1", 0ms},
                  {"a refused key, then an accepted one", {refused, accepted}, "not-it", 0ms},
                  {"a refused key, then the password typed later", {refused}, "Key-pw-1", 1500ms}};
  std::size_t expected = 0;
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.name);
    const auto started = std::chrono::system_clock::now();
    if (attempt.typedAfter > 0ms) {
      live::PtyProgram ssh(sshd.ssh(user.name(), attempt.keys));
      ASSERT_TRUE(ssh.expect("assword")) << ssh.output();
      std::this_thread::sleep_for(attempt.typedAfter);
      ssh.send(std::string(attempt.password) + "\n");
      ASSERT_TRUE(ssh.expect("\n")) << ssh.output();
      std::this_thread::sleep_for(500ms);
    } else {
      const int status = sshd.login(user.name(), attempt.password, attempt.keys);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::vector<Delivered> seen = client.await(sshLogin(user.name()), ++expected, 2000ms);
    ASSERT_EQ(seen.size(), expected);
    report(attempt.name, seen.back(), started);
    // Longer than any wait for a record that would explain a failure.
    std::this_thread::sleep_for(1500ms);
    seen = client.await(sshLogin(user.name()), 99, 0ms);
    ASSERT_EQ(seen.size(), expected) << "a failed login besides the success";
    const Json& login = seen.back().json["openSshLogin"];
    EXPECT_EQ(login["success"], true);
    EXPECT_EQ(login["resultType"], 2);
  }
}

std::function<bool(const Delivered&)> consoleLogin(const std::string& user) {
  return [user](const Delivered& d) {
    return d.type == ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN && d.json["loginLogin"]["username"] == user;
  };
}

TEST_F(AuditLive, LoginOnATerminal) {
  live::ThrowawayUser user(unique("walogin"), "Login-pw-1");
  ASSERT_TRUE(user.created());
  harness::Client client(auditSource(), kLoginKinds);

  struct Attempt {
    const char* name;
    const char* password;
    bool success;
  } attempts[] = {{"login, right password", "Login-pw-1", true},
                  {"login, wrong password", "not-it", false}};
  std::size_t expected = 0;
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(attempt.name);
    live::PtyProgram login({"/usr/bin/login"});
    ASSERT_TRUE(login.expect("login:")) << login.output();
    login.send(user.name() + "\n");
    ASSERT_TRUE(login.expect("assword")) << login.output();
    const auto sent = std::chrono::system_clock::now();
    login.send(std::string(attempt.password) + "\n");
    std::vector<Delivered> seen = client.await(consoleLogin(user.name()), ++expected, 1000ms);
    ASSERT_EQ(seen.size(), expected);
    const Delivered& d = seen.back();
    report(attempt.name, d, sent);
    const Json& doc = d.json["loginLogin"];
    EXPECT_EQ(d.json["eventType"], 122);
    EXPECT_EQ(d.json["eventDesc"], "LOGIN");
    EXPECT_EQ(doc["success"], attempt.success);
    EXPECT_EQ(doc["hasUid"], true);
    EXPECT_EQ(doc["uid"], *user.uid());
    EXPECT_EQ(d.pid, login.pid());
    if (attempt.success) {
      EXPECT_FALSE(doc.contains("failureMessage"));
      login.send("exit\n");
    } else {
      EXPECT_EQ(doc["failureMessage"], "Authentication failure");
    }
    // The golden document has every optional member; a success has no failure text.
    Json reference = harness::golden("loginLogin");
    if (attempt.success) reference["loginLogin"].erase("failureMessage");
    EXPECT_EQ(harness::skeleton(d.json).dump(1), harness::skeleton(reference).dump(1));
  }
}

// The audit record keeps the first 32 bytes of a login name and marks nothing: a longer name
// tried at the prompt reads there as the 32-byte name of an account that exists. The document
// names what the record says, but no account's uid.
TEST_F(AuditLive, LoginNameLongerThanTheRecordKeepsIsNotLookedUp) {
  std::string name = unique("wacut");
  name.resize(32, 'x');
  live::ThrowawayUser user(name, "Cut-pw-1");
  ASSERT_TRUE(user.created());
  harness::Client client(auditSource(), kLoginKinds);

  live::PtyProgram login({"/usr/bin/login"});
  ASSERT_TRUE(login.expect("login:")) << login.output();
  login.send(name + "tail\n");
  ASSERT_TRUE(login.expect("assword")) << login.output();
  login.send("Cut-pw-1\n");
  std::vector<Delivered> seen = client.await(consoleLogin(name), 1, 3000ms);
  ASSERT_EQ(seen.size(), 1u);
  const Json& doc = seen[0].json["loginLogin"];
  EXPECT_EQ(doc["success"], false);
  EXPECT_EQ(doc["hasUid"], false);
  EXPECT_EQ(doc["uid"], 0);
}

TEST_F(AuditLive, SwitchesAuditingOnWhileNeededAndBackOff) {
  platform::es::audit::AuditStatus before;
  ASSERT_EQ(platform::es::audit::getAuditStatus(before), 0);
  if (before.enabled != 0 || before.daemonPid != 0) GTEST_SKIP() << "auditing is managed here";
  bool ruleBefore = false;
  ASSERT_EQ(platform::es::audit::hasTaskNeverRule(ruleBefore), 0);
  platform::log::Capture log;
  {
    harness::Client client(auditSource(), kLoginKinds);
    platform::es::audit::AuditStatus during;
    ASSERT_EQ(platform::es::audit::getAuditStatus(during), 0);
    EXPECT_EQ(during.enabled, 1u);
    EXPECT_TRUE(log.contains("EndpointSecurity: source audit: active"));
    // Nobody audits system calls here: the processes started meanwhile are kept off that path.
    bool ruleDuring = false;
    ASSERT_EQ(platform::es::audit::hasTaskNeverRule(ruleDuring), 0);
    EXPECT_TRUE(ruleDuring);
  }
  platform::es::audit::AuditStatus after;
  ASSERT_EQ(platform::es::audit::getAuditStatus(after), 0);
  EXPECT_EQ(after.enabled, 0u);
  bool ruleAfter = true;
  ASSERT_EQ(platform::es::audit::hasTaskNeverRule(ruleAfter), 0);
  EXPECT_EQ(ruleAfter, ruleBefore) << "the task rule is put back as it was";
  EXPECT_TRUE(log.contains(
      "EndpointSecurity: audit: auditing switched on (it was off and no audit daemon runs)"));
  EXPECT_TRUE(log.contains("EndpointSecurity: audit: auditing switched off again"));
}

TEST_F(AuditLive, ProcessEventsGoOnWhenAuditIsUnavailable) {
  platform::es::audit::AuditStatus status;
  ASSERT_EQ(platform::es::audit::getAuditStatus(status), 0);
  if (status.enabled != 0 || status.daemonPid != 0) GTEST_SKIP() << "auditing is managed here";
  platform::log::Capture log;
  std::vector<es_event_type_t> kinds = kLoginKinds;
  kinds.push_back(ES_EVENT_TYPE_NOTIFY_FORK);
  harness::Client client(auditSource(false), kinds, 10ms);
  EXPECT_TRUE(
      log.contains("EndpointSecurity: source audit: unavailable (auditing is off and "
                   "WATCH_AUDIT_ENABLE=0)"))
      << ::testing::PrintToString(log.lines());
  const auto forks = client.await(
      [](const Delivered& d) { return d.type == ES_EVENT_TYPE_NOTIFY_FORK; }, 5, 2000ms);
  EXPECT_EQ(forks.size(), 5u);
  platform::es::audit::AuditStatus after;
  ASSERT_EQ(platform::es::audit::getAuditStatus(after), 0);
  EXPECT_EQ(after.enabled, 0u);
}

// This process registered as the audit daemon, as auditd registers: the kernel then sends it
// every record, which a thread reads so that the kernel never waits on it. Deregisters when
// destroyed.
class RegisteredDaemon {
 public:
  RegisteredDaemon() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_AUDIT);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    registered_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                  setPid(static_cast<std::uint32_t>(::getpid()));
    reader_ = std::thread([this] {
      char buffer[16384];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      }
    });
  }
  ~RegisteredDaemon() {
    if (registered_) setPid(0);
    AuditStatus status;
    for (int i = 0; i < 100 && getAuditStatus(status) == 0 && status.daemonPid != 0; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    stop_ = true;
    reader_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool registered() const { return registered_; }

 private:
  bool setPid(std::uint32_t pid) {
    struct {
      nlmsghdr header;
      audit_status status;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(audit_status));
    request.header.nlmsg_type = AUDIT_SET;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.status.mask = AUDIT_STATUS_PID;
    request.status.pid = pid;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(fd_, &request, request.header.nlmsg_len, 0,
                    reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) > 0;
  }

  int fd_ = -1;
  bool registered_ = false;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

bool waitForEnabled(std::uint32_t enabled, std::chrono::milliseconds within) {
  const auto until = std::chrono::steady_clock::now() + within;
  AuditStatus status;
  while (getAuditStatus(status) == 0 && status.enabled != enabled) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool anyLineStartsWith(const platform::log::Capture& log, std::string_view start) {
  for (const std::string& line : log.lines()) {
    if (line.starts_with(start)) return true;
  }
  return false;
}

// Auditing is global: these tests need it off and unclaimed at their start (so that the source
// is the one that switches it on), and leave it off again.
class AuditOwnership : public AuditLive {
 protected:
  void SetUp() override {
    AuditLive::SetUp();
    if (IsSkipped()) return;
    AuditStatus status;
    ASSERT_EQ(getAuditStatus(status), 0);
    if (status.enabled != 0 || status.daemonPid != 0) GTEST_SKIP() << "auditing is managed here";
  }
  void TearDown() override {
    if (!IsSkipped()) setAuditEnabled(0);
  }
};

TEST_F(AuditOwnership, NeverSwitchedOffWhileAnAuditDaemonIsRegistered) {
  platform::log::Capture log;
  std::optional<harness::Client> client(std::in_place, auditSource(), kLoginKinds);
  ASSERT_TRUE(waitForEnabled(1, 0ms));
  RegisteredDaemon daemon;
  ASSERT_TRUE(daemon.registered());

  // Switched off by the daemon's side: its decision, not ours to undo.
  ASSERT_EQ(setAuditEnabled(0), 0);
  EXPECT_FALSE(waitForEnabled(1, 500ms));
  EXPECT_TRUE(log.contains("EndpointSecurity: audit: left off: the audit daemon (pid " +
                           std::to_string(::getpid()) +
                           ") decides; no authentication or login events until it is on again"))
      << ::testing::PrintToString(log.lines());

  // On again, and the source stops: the daemon keeps it, and its rules decide which processes
  // are audited.
  ASSERT_EQ(setAuditEnabled(1), 0);
  client.reset();
  EXPECT_TRUE(waitForEnabled(1, 0ms));
  bool rule = true;
  ASSERT_EQ(platform::es::audit::hasTaskNeverRule(rule), 0);
  EXPECT_FALSE(rule) << "the agent's task rule outlived the daemon's registration";
  EXPECT_TRUE(log.contains("EndpointSecurity: audit: auditing left on: an audit daemon (pid " +
                           std::to_string(::getpid()) + ") is registered"))
      << ::testing::PrintToString(log.lines());
}

TEST_F(AuditOwnership, SwitchedOffUnderTheSourceItIsSwitchedOnAgain) {
  platform::log::Capture log;
  harness::Client client(auditSource(), kLoginKinds);
  ASSERT_TRUE(waitForEnabled(1, 0ms));
  ASSERT_EQ(setAuditEnabled(0), 0);
  EXPECT_TRUE(waitForEnabled(1, 2000ms));
  EXPECT_TRUE(anyLineStartsWith(log, "EndpointSecurity: audit: auditing switched off by "))
      << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(
      log.contains("EndpointSecurity: audit: auditing switched on again (no audit daemon runs)"))
      << ::testing::PrintToString(log.lines());
  // Records flow again: an authentication after it arrives.
  live::ThrowawayUser caller(unique("waon"), "caller-pw-1");
  live::ThrowawayUser target(unique("waontgt"), "Target-pw-1");
  ASSERT_TRUE(caller.created() && target.created());
  live::PtyProgram su({"/usr/bin/su", target.name(), "-c", "true"}, caller.uid());
  ASSERT_TRUE(su.expect("assword")) << su.output();
  su.send("Target-pw-1\n");
  EXPECT_EQ(client.await(auth(target.name()), 1, 2000ms).size(), 1u);
}

TEST_F(AuditOwnership, TheFirstAgentToStopLeavesItOnForTheOtherAndTheLastSwitchesItOff) {
  platform::log::Capture log;
  std::optional<harness::Client> first(std::in_place, auditSource(), kLoginKinds);
  ASSERT_TRUE(waitForEnabled(1, 0ms));
  // Another agent reads the audit log: to the kernel, a socket joined to the group.
  std::optional<platform::UniqueFd> other(std::in_place);
  ASSERT_EQ(platform::es::audit::openReadLog(*other, 1 << 16), 0);
  first.reset();
  EXPECT_TRUE(waitForEnabled(1, 0ms));
  EXPECT_TRUE(anyLineStartsWith(
      log,
      "EndpointSecurity: audit: auditing left on: other readers of the audit log (netlink "
      "ports "))
      << ::testing::PrintToString(log.lines());

  // That other agent's source, the last to stop, switches off what an agent switched on.
  other.reset();
  { harness::Client last(auditSource(), kLoginKinds); }
  EXPECT_TRUE(waitForEnabled(0, 0ms));
  EXPECT_TRUE(log.contains("EndpointSecurity: audit: auditing switched off again"));
}

}  // namespace
