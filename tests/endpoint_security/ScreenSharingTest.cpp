// Screen sharing seen in the kernel: a real x11vnc on a private Xvfb display, viewers connecting
// over loopback (needs root, BPF, Xvfb and x11vnc).
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/endpoint_security/BpfSource.h"
#include "platform/endpoint_security/ScreenSharingSource.h"
#include "platform/endpoint_security/SourceBackend.h"

using namespace platform::es;
using namespace std::chrono_literals;

namespace {

struct Attach {
  pid_t pid;
  std::string path;
  std::string address;
  es_address_type_t type;
  bool existing;
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

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// Connects to 127.0.0.1:port; returns the first bytes the server sends ("" when refused).
std::string greet(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string greeting;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    char buffer[12];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);
    if (n > 0) greeting.assign(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return greeting;
}

class ScreenSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    if (::access("/usr/bin/x11vnc", X_OK) != 0 || ::access("/usr/bin/Xvfb", X_OK) != 0) {
      GTEST_SKIP() << "x11vnc and Xvfb are not installed";
    }
    backend_ = std::make_unique<SourceBackend>([] { return makeBpfSource(); },
                                               std::vector<SourceFactory>{makeScreenSharingSource});
    const auto rc = backend_->newClient(&client_, [this](es_client_t*, const es_message_t* m) {
      if (m->event_type != ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH) return;
      const es_event_screensharing_attach_t& e = *m->event.screensharing_attach;
      std::lock_guard lock(mutex_);
      seen_.push_back(Attach{audit_token_to_pid(m->process->audit_token),
                             text(m->process->executable->path), text(e.source_address),
                             e.source_address_type, e.existing_session});
      changed_.notify_all();
    });
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) GTEST_SKIP() << "BPF is not available here";
    const es_event_type_t kinds[] = {ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH};
    ASSERT_EQ(backend_->subscribe(client_, kinds, 1), ES_RETURN_SUCCESS);
  }
  void TearDown() override {
    if (client_ != nullptr) {
      EXPECT_EQ(backend_->deleteClient(client_), ES_RETURN_SUCCESS);
    }
  }

  // Waits until `count` attaches of process `pid` have arrived, or `limit` has passed.
  void waitFor(pid_t pid, std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] {
      std::size_t found = 0;
      for (const Attach& attach : seen_) found += attach.pid == pid ? 1 : 0;
      return found >= count;
    });
  }

  std::unique_ptr<SourceBackend> backend_;
  es_client_t* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Attach> seen_;
};

TEST_F(ScreenSharingTest, EachViewerOfARealVncServerIsOneAttachWithItsAddress) {
  const int display = 90 + ::getpid() % 9;
  const int port = 5990 + ::getpid() % 9;
  const pid_t xvfb = spawn({"Xvfb", ":" + std::to_string(display), "-screen", "0", "320x240x24"});
  std::this_thread::sleep_for(500ms);
  const pid_t vnc = spawn({"x11vnc", "-display", ":" + std::to_string(display), "-rfbport",
                           std::to_string(port), "-localhost", "-nopw", "-forever", "-quiet"});
  std::string greeting;
  for (int i = 0; i < 100 && greeting.empty(); ++i) {
    std::this_thread::sleep_for(100ms);
    greeting = greet(port);  // the first viewer: connects once the server listens
  }
  EXPECT_EQ(greeting.substr(0, 4), "RFB ");
  EXPECT_EQ(greet(port).substr(0, 4), "RFB ");  // the second viewer
  waitFor(vnc, 2, 5s);
  std::this_thread::sleep_for(300ms);  // nothing more arrives for these two
  stop(vnc);
  stop(xvfb);
  std::lock_guard lock(mutex_);
  std::vector<Attach> ours;
  for (const Attach& attach : seen_) {
    if (attach.pid == vnc) ours.push_back(attach);
  }
  ASSERT_EQ(ours.size(), 2u);
  for (const Attach& attach : ours) {
    EXPECT_EQ(attach.pid, vnc);
    EXPECT_EQ(attach.path, "/usr/bin/x11vnc");
    EXPECT_EQ(attach.address, "127.0.0.1");
    EXPECT_EQ(attach.type, ES_ADDRESS_TYPE_IPV4);
    EXPECT_TRUE(attach.existing);
  }
}

TEST_F(ScreenSharingTest, AProcessThatOnlyTakesAServersNameIsNotReported) {
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
  EXPECT_EQ(greet(ntohs(address.sin_port)), "RFB 003.008\n");
  impostor.join();
  ::close(listener);
  // Other tests may run real servers meanwhile: only this process's accepts matter here.
  waitFor(::getpid(), 1, 500ms);
  std::lock_guard lock(mutex_);
  for (const Attach& attach : seen_) EXPECT_NE(attach.pid, ::getpid());
}

}  // namespace
