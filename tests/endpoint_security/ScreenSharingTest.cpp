// Screen sharing seen in the kernel: a real x11vnc on a private Xvfb display, viewers connecting
// over loopback and speaking RFB as far as each case needs (needs root, BPF, Xvfb and x11vnc).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/screen_sharing/ScreenSharingSource.h"
#include "tests/support/TempDir.h"

using namespace platform::es;
using namespace std::chrono_literals;

namespace {

struct Attach {
  pid_t pid;
  std::string path;
  std::string address;
  es_address_type_t type;
  bool existing;
  bool success;
};

std::string text(es_string_token_t t) {
  return t.data == nullptr ? std::string() : std::string(t.data, t.length);
}

// Starts `argv` (looked up in PATH) in its own process group, its output discarded. Everything
// is prepared before the fork: this process has threads, so the child only makes system calls.
pid_t spawn(std::vector<std::string> argv) {
  std::vector<char*> a;
  for (auto& s : argv) a.push_back(s.data());
  a.push_back(nullptr);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(a[0], a.data());
    ::_exit(127);
  }
  ::close(null);
  return pid;
}

// x11vnc's handler of SIGTERM can hang in an X call: it gets 2 s, then SIGKILL.
void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 20; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(100ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

std::string receive(int fd, std::size_t size) {
  std::string bytes(size, '\0');
  const ssize_t n = ::recv(fd, bytes.data(), size, MSG_WAITALL);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

bool sendAll(int fd, std::string_view bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::uint32_t be32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

// What a viewer does on the connection.
enum class Viewer {
  kCompletes,     // RFB 3.8 without authentication, through the server's initialisation
  kSendsGarbage,  // sends what is no protocol version and hangs up
  kWrongPassword  // VNC authentication with a wrong response
};

// Connects to 127.0.0.1:port as `viewer`; returns the server's security result (0: accepted) or
// -1 when the handshake went no further.
int view(int port, Viewer viewer) {
  const int fd = connectTo(port);
  if (fd < 0) return -1;
  int result = -1;
  if (viewer == Viewer::kSendsGarbage) {
    sendAll(fd, "GET / HTTP/1.0\r\n\r\n");
  } else if (receive(fd, 12).starts_with("RFB ") && sendAll(fd, "RFB 003.008\n")) {
    const std::string count = receive(fd, 1);
    const std::string types = count.empty() ? "" : receive(fd, static_cast<std::uint8_t>(count[0]));
    const char chosen = viewer == Viewer::kCompletes ? 1 : 2;
    if (types.find(chosen) != std::string::npos && sendAll(fd, std::string(1, chosen)) &&
        (chosen == 1 || (receive(fd, 16).size() == 16 && sendAll(fd, std::string(16, '\0'))))) {
      const std::string answer = receive(fd, 4);
      if (answer.size() == 4) result = static_cast<int>(be32(answer, 0));
      if (result == 0 && sendAll(fd, "\1")) {
        const std::string init = receive(fd, 24);
        if (init.size() == 24) receive(fd, be32(init, 20));  // the desktop's name
      }
    }
  }
  ::close(fd);
  return result;
}

// A VNC server on a private Xvfb display, started as `program` (any name or path).
class VncServer {
 public:
  explicit VncServer(const std::string& program, std::vector<std::string> extra = {}) {
    const int display = 90 + ::getpid() % 9;
    port_ = 5990 + ::getpid() % 9;
    xvfb_ = spawn({"Xvfb", ":" + std::to_string(display), "-screen", "0", "320x240x24"});
    std::this_thread::sleep_for(500ms);
    std::vector<std::string> argv = {program,
                                     "-display",
                                     ":" + std::to_string(display),
                                     "-rfbport",
                                     std::to_string(port_),
                                     "-localhost",
                                     "-forever",
                                     "-shared",
                                     "-quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (extra.empty()) argv.push_back("-nopw");
    vnc_ = spawn(argv);
    for (int i = 0; i < 100 && !listening(); ++i) std::this_thread::sleep_for(100ms);
  }
  ~VncServer() {
    stop(vnc_);
    stop(xvfb_);
  }
  pid_t pid() const { return vnc_; }
  int port() const { return port_; }

 private:
  // Whether the server accepts connections yet (a probe that only reads the greeting).
  bool listening() const {
    const int fd = connectTo(port_);
    if (fd < 0) return false;
    const bool greeted = receive(fd, 4) == "RFB ";
    ::close(fd);
    return greeted;
  }

  pid_t xvfb_ = -1;
  pid_t vnc_ = -1;
  int port_ = 0;
};

class ScreenSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    if (::access("/usr/bin/x11vnc", X_OK) != 0 || ::access("/usr/bin/Xvfb", X_OK) != 0) {
      GTEST_SKIP() << "x11vnc and Xvfb are not installed";
    }
  }
  void TearDown() override {
    if (client_ != nullptr) {
      EXPECT_EQ(backend_->deleteClient(client_), ES_RETURN_SUCCESS);
    }
  }

  // The agent's client, with the screen-sharing source.
  void startClient() {
    backend_ = std::make_unique<SourceBackend>([] { return makeBpfSource(); },
                                               std::vector<SourceFactory>{makeScreenSharingSource});
    const auto rc = backend_->newClient(&client_, [this](es_client_t*, const es_message_t* m) {
      if (m->event_type != ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH) return;
      const es_event_screensharing_attach_t& e = *m->event.screensharing_attach;
      std::lock_guard lock(mutex_);
      seen_.push_back(Attach{audit_token_to_pid(m->process->audit_token),
                             text(m->process->executable->path), text(e.source_address),
                             e.source_address_type, e.existing_session, e.success});
      changed_.notify_all();
    });
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) GTEST_SKIP() << "BPF is not available here";
    const es_event_type_t kinds[] = {ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH};
    ASSERT_EQ(backend_->subscribe(client_, kinds, 1), ES_RETURN_SUCCESS);
  }

  // The attaches of process `pid`, once `count` have arrived or `limit` has passed.
  std::vector<Attach> waitFor(pid_t pid, std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::vector<Attach> found;
    changed_.wait_for(lock, limit, [&] {
      found.clear();
      for (const Attach& attach : seen_) {
        if (attach.pid == pid) found.push_back(attach);
      }
      return found.size() >= count;
    });
    return found;
  }

  std::unique_ptr<SourceBackend> backend_;
  es_client_t* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Attach> seen_;
};

TEST_F(ScreenSharingTest, OnlyViewersTheServerAcceptedAreAttachesAndEachIsOne) {
  ASSERT_NO_FATAL_FAILURE(startClient());
  if (IsSkipped()) return;
  const VncServer server("x11vnc");
  int accepted = 0;
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(view(server.port(), Viewer::kSendsGarbage), -1);
    accepted += view(server.port(), Viewer::kCompletes) == 0 ? 1 : 0;
  }
  EXPECT_EQ(accepted, 20);
  waitFor(server.pid(), 21, 2s);  // anything beyond the 20 would have arrived by now
  const std::vector<Attach> attaches = waitFor(server.pid(), 20, 0ms);
  ASSERT_EQ(attaches.size(), 20u);
  for (const Attach& attach : attaches) {
    EXPECT_EQ(attach.path, "/usr/bin/x11vnc");
    EXPECT_EQ(attach.address, "127.0.0.1");
    EXPECT_EQ(attach.type, ES_ADDRESS_TYPE_IPV4);
    EXPECT_TRUE(attach.existing);
    EXPECT_TRUE(attach.success);
  }
}

TEST_F(ScreenSharingTest, AWrongPasswordIsAnAttachThatFailed) {
  ASSERT_NO_FATAL_FAILURE(startClient());
  if (IsSkipped()) return;
  const test_support::TempDir tree("screen-sharing");
  const std::string& dir = tree.string();
  const std::string passwords = dir + "/passwd";
  ASSERT_EQ(std::system(("x11vnc -storepasswd secret " + passwords + " >/dev/null 2>&1").c_str()),
            0);
  const VncServer server("x11vnc", {"-rfbauth", passwords});
  EXPECT_GT(view(server.port(), Viewer::kWrongPassword), 0);
  const std::vector<Attach> attaches = waitFor(server.pid(), 1, 5s);
  ASSERT_EQ(attaches.size(), 1u);
  EXPECT_FALSE(attaches[0].success);
  EXPECT_EQ(attaches[0].address, "127.0.0.1");
}

// The server is its file: the packaged x11vnc under another name is one, a copy is not; a server
// already listening when the source starts is known too.
TEST_F(ScreenSharingTest, TheServerIsThePackagedFileWhateverItsName) {
  const test_support::TempDir tree("screen-sharing");
  const std::string& dir = tree.string();
  std::filesystem::create_symlink("/usr/bin/x11vnc", dir + "/vncsrv");
  std::filesystem::copy_file("/usr/bin/x11vnc", dir + "/x11vnc");
  struct Case {
    std::string program;
    bool startedBefore;
    bool reported;
  };
  const Case cases[] = {
      {dir + "/vncsrv", false, true}, {dir + "/x11vnc", false, false}, {"x11vnc", true, true}};
  bool clientStarted = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    if (!c.startedBefore && !clientStarted) {
      ASSERT_NO_FATAL_FAILURE(startClient());
      if (IsSkipped()) return;
      clientStarted = true;
    }
    const VncServer server(c.program);
    if (c.startedBefore) {
      ASSERT_TRUE(clientStarted);  // the table's earlier rows already started one: stop it
      EXPECT_EQ(backend_->deleteClient(client_), ES_RETURN_SUCCESS);
      client_ = nullptr;
      ASSERT_NO_FATAL_FAILURE(startClient());
    }
    // The source learns of running servers on its own thread, soon after it starts: viewers
    // come until one is reported, or five went unreported.
    std::vector<Attach> attaches;
    for (int viewer = 0; viewer < 5 && attaches.empty(); ++viewer) {
      EXPECT_EQ(view(server.port(), Viewer::kCompletes), 0);
      attaches = waitFor(server.pid(), 1, 400ms);
    }
    EXPECT_EQ(!attaches.empty(), c.reported);
  }
}

TEST_F(ScreenSharingTest, AProcessThatOnlyTakesAServersNameIsNotReported) {
  ASSERT_NO_FATAL_FAILURE(startClient());
  if (IsSkipped()) return;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread impostor([&] {
    ::pthread_setname_np(::pthread_self(), "x11vnc");
    const int accepted = ::accept(listener, nullptr, nullptr);
    ::send(accepted, "RFB 003.008\n", 12, MSG_NOSIGNAL);
    ::close(accepted);
  });
  const int fd = connectTo(ntohs(address.sin_port));
  EXPECT_EQ(receive(fd, 12), "RFB 003.008\n");
  ::close(fd);
  impostor.join();
  ::close(listener);
  // Other tests may run real servers meanwhile: only this process's accepts matter here.
  EXPECT_TRUE(waitFor(::getpid(), 1, 500ms).empty());
}

}  // namespace
