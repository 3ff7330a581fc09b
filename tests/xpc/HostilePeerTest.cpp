// The listener against peers that try to exhaust it: huge or half-sent messages, sockets that
// never authenticate, clients that pipeline calls or never read their answers, a services
// directory others could write to, and a socket served by someone other than root.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "platform/log/Log.h"
#include "platform/xpc/IncomingGate.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {

using namespace xpctest;
constexpr std::string_view kName = "hostile.service";

// Answers the handshake with the message it got (so order shows) and the table with `table`;
// while `hold` is set, every answer waits for it to be cleared.
class SlowService final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  std::string table = std::string(64 * 1024, 't');

  bool shouldAcceptNewConnection(NSXPCListener&, std::shared_ptr<NSXPCConnection> c) override {
    c->setExportedInterface(NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    c->setExportedObject(this);
    c->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    std::lock_guard lock(mutex_);
    connections_.push_back(c);
    c->resume();
    return true;
  }
  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override {
    waitWhileHeld();
    ++answered;
    reply(message);
  }
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) override {
    waitWhileHeld();
    ++answered;
    reply(table);
  }
  void subscribeToEventsWithFilter(const ipc::NSString&,
                                   std::function<void(const ipc::NSString&)> reply) override {
    reply(std::string(ipc::kSubscribedReply));
  }

  void hold(bool on) {
    std::lock_guard lock(mutex_);
    held_ = on;
    changed_.notify_all();
  }
  std::vector<std::shared_ptr<NSXPCConnection>> connections() {
    std::lock_guard lock(mutex_);
    return connections_;
  }

  std::atomic<int> answered{0};

 private:
  void waitWhileHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !held_; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  std::vector<std::shared_ptr<NSXPCConnection>> connections_;
};

int connectRaw(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the peer closes `fd` within `timeout` (whatever it sent before is skipped).
bool closedByPeer(int fd, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

// A plain sd-bus client on the service's socket, for pipelining calls without the proxy.
struct RawBus {
  explicit RawBus(const std::string& path) {
    sd_bus_new(&bus);
    sd_bus_set_address(bus, ("unix:path=" + path).c_str());
    started = sd_bus_start(bus);
  }
  ~RawBus() { sd_bus_flush_close_unref(bus); }
  // Runs the bus until `done` holds or `timeout` passes.
  template <class Done>
  bool runUntil(Done done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (sd_bus_process(bus, nullptr) > 0) continue;
      sd_bus_wait(bus, 20'000);
    }
    return true;
  }
  sd_bus* bus = nullptr;
  int started = 0;
};

std::string interfaceName() {
  return NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>().wireName();
}

using HostilePeerTest = ServiceFixture<SlowService, kName>;

TEST(IncomingGate, PassesAuthenticationThenWholeMessagesAndRefusesTheRest) {
  const std::string auth = std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n";
  // A 24-byte message: 16-byte header, 8 bytes of fields, no body.
  const std::string small = std::string("l\x01\x00\x01", 4) + std::string("\0\0\0\0\x01\0\0\0", 8) +
                            std::string("\x08\0\0\0", 4) + std::string(8, 'f');
  const std::string huge = std::string("l\x01\x00\x01\x00\x00\x10\x00", 8) + std::string(8, '\0');
  struct Case {
    const char* name;
    std::string bytes;
    xpc::IncomingGate::Verdict verdict;
    std::size_t passed;
  };
  const Case cases[] = {
      {"auth and one message", auth + small, xpc::IncomingGate::Verdict::pass,
       auth.size() + small.size()},
      {"incomplete message is held", auth + small.substr(0, 20), xpc::IncomingGate::Verdict::pass,
       auth.size()},
      {"message over the limit", auth + huge, xpc::IncomingGate::Verdict::tooLarge, auth.size()},
      {"not a header", auth + std::string(16, 'x'), xpc::IncomingGate::Verdict::malformed,
       auth.size()},
      {"endless authentication", std::string(1, '\0') + std::string(4096, 'A'),
       xpc::IncomingGate::Verdict::tooLarge, xpc::IncomingGate::kMaxAuthBytes},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and one byte at a time: the split must not matter.
    for (std::size_t chunk : {c.bytes.size(), std::size_t{1}}) {
      xpc::IncomingGate gate(4096);
      std::string out;
      auto verdict = xpc::IncomingGate::Verdict::pass;
      for (std::size_t at = 0; at < c.bytes.size() && verdict == xpc::IncomingGate::Verdict::pass;
           at += chunk) {
        verdict = gate.take(std::string_view(c.bytes).substr(at, chunk), out);
      }
      EXPECT_EQ(verdict, c.verdict);
      EXPECT_EQ(out.size(), c.passed);
      EXPECT_EQ(out, c.bytes.substr(0, c.passed));
    }
  }
}

// A client announcing a large message is hung up on before sending it, the refusal is counted
// in one log line, and the others are served meanwhile.
TEST_F(HostilePeerTest, MessagesLargerThanTheProtocolNeedsEndTheConnection) {
  auto listener = listen();
  platform::log::Capture log;
  auto good = client();
  ASSERT_EQ(good->handshake("first").reply, "first");
  const std::string auth = std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n";
  std::vector<int> fds;
  for (int i = 0; i < 8; ++i) {
    const int fd = connectRaw(dir.socket(kName));
    ASSERT_GE(fd, 0);
    // A header announcing 120 MiB, then the first KiB of it.
    const std::string bytes = auth + std::string("l\x01\x00\x01\x00\x00\x80\x07", 8) +
                              std::string("\x01\0\0\0\x10\0\0\0", 8) + std::string(1024, 'x');
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    fds.push_back(fd);
  }
  for (int fd : fds) {
    EXPECT_TRUE(closedByPeer(fd, 5s));
    ::close(fd);
  }
  EXPECT_EQ(good->handshake("still").reply, "still");
  std::size_t refusalLines = 0;
  for (const auto& line : log.lines()) {
    if (line.find("with a message over the size limit") != std::string::npos) ++refusalLines;
  }
  EXPECT_EQ(refusalLines, 1u) << "eight refusals, one line within the interval";
}

TEST_F(HostilePeerTest, SocketsThatNeverAuthenticateAreHungUpOnAndFreeTheirSlots) {
  xpc::SdBusTransport::Options options;
  options.maxConnections = 2;
  options.authTimeout = 300ms;
  auto listener = listen(options);
  const int a = connectRaw(dir.socket(kName));
  const int b = connectRaw(dir.socket(kName));
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(closedByPeer(a, 5s));
  EXPECT_TRUE(closedByPeer(b, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ::close(a);
  ::close(b);
  EXPECT_EQ(client()->handshake("in").reply, "in") << "their slots are free again";
}

// Calls are answered off the loop thread, in order, at most a few waiting per connection.
TEST_F(HostilePeerTest, PipelinedCallsAreBoundedAnsweredInOrderAndNeverHoldUpReports) {
  xpc::SdBusTransport::Options options;
  options.maxOutstandingCalls = 4;
  auto listener = listen(options);
  auto reader = client();
  ASSERT_EQ(reader->handshake("reader").reply, "reader");
  auto readerConnection = service.connections().at(0);

  service.hold(true);  // the worker sits in the first call
  RawBus raw(dir.socket(kName));
  ASSERT_GE(raw.started, 0);
  constexpr int kCalls = 20;
  struct Result {
    std::vector<std::string> replies;
    int limited = 0;
  } result;
  for (int i = 0; i < kCalls; ++i) {
    const std::string text = std::to_string(i);
    ASSERT_GE(sd_bus_call_method_async(
                  raw.bus, nullptr, nullptr, "/", interfaceName().c_str(),
                  "establishConnection2WithMessage",
                  [](sd_bus_message* m, void* userdata, sd_bus_error*) {
                    auto* r = static_cast<Result*>(userdata);
                    const sd_bus_error* e = sd_bus_message_get_error(m);
                    if (e && sd_bus_error_has_name(e, SD_BUS_ERROR_LIMITS_EXCEEDED)) {
                      ++r->limited;
                    } else if (!e) {
                      const char* s = nullptr;
                      sd_bus_message_read(m, "s", &s);
                      r->replies.emplace_back(s ? s : "");
                    }
                    return 0;
                  },
                  &result, "s", text.c_str()),
              0);
  }
  ASSERT_TRUE(raw.runUntil([&] { return result.limited == kCalls - 4; }))
      << "excess calls are refused at once, while the first ones wait";

  // The loop is free: reports still flow while the worker is stuck.
  readerConnection->remoteObjectProxyWithErrorHandler([](const NSError&) {})
      ->reportEndpointMessageWithMsg("while held");
  EXPECT_TRUE(reader->waitForCount(1, 5s));

  service.hold(false);
  ASSERT_TRUE(raw.runUntil([&] { return result.replies.size() == 4; }));
  EXPECT_EQ(result.replies, (std::vector<std::string>{"0", "1", "2", "3"}));
}

// A client that sends table calls and never reads the answers stops being read from; the
// agent answers only what fits the backlog, and others are served meanwhile.
TEST_F(HostilePeerTest, ClientNeverReadingItsRepliesStopsBeingServed) {
  xpc::SdBusTransport::Options options;
  options.replyBacklog = 256 * 1024;
  auto listener = listen(options);
  RawBus raw(dir.socket(kName));
  ASSERT_GE(raw.started, 0);
  ASSERT_TRUE(raw.runUntil([&] { return sd_bus_is_ready(raw.bus) > 0; }));
  // Hand-written to the socket, never reading: the sd-bus client would read while writing.
  const int fd = sd_bus_get_fd(raw.bus);
  sd_bus_message* call = nullptr;
  ASSERT_GE(sd_bus_message_new_method_call(raw.bus, &call, nullptr, "/", interfaceName().c_str(),
                                           "establishConnectionAndGetProcTableWithMessage"),
            0);
  sd_bus_message_append(call, "s", "x");
  int queued = 0;
  for (int i = 0; i < 2000; ++i) {
    if (sd_bus_send(raw.bus, call, nullptr) < 0) break;
    ++queued;
  }
  sd_bus_message_unref(call);
  // Push what sd-bus queued without reading anything back.
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 20);
    sd_bus_flush(raw.bus);  // gives up once the socket stays full
    if (service.answered > 0 && (p.revents & POLLOUT) == 0) break;
  }
  std::this_thread::sleep_for(300ms);
  const int answered = service.answered;
  EXPECT_GT(answered, 0);
  // Bounded by the backlog, the socket buffers and the calls in flight, not by what was sent.
  EXPECT_LT(answered, 200) << "of " << queued;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(service.answered, answered) << "the agent stopped reading";
  EXPECT_EQ(client()->handshake("other").reply, "other") << "others are served meanwhile";
}

// Replies have a byte limit of their own, apart from the reports': a process table larger than
// the reports' room is answered whole; one beyond the replies' limit ends the connection instead
// of growing the agent's memory.
TEST_F(HostilePeerTest, RepliesHaveTheirOwnByteLimit) {
  xpc::SdBusTransport::Options options;
  options.maxQueuedBytes = 256 * 1024;
  options.maxQueuedReplyBytes = 1024 * 1024;
  auto listener = listen(options);
  struct Case {
    const char* name;
    std::size_t bytes;
    bool answered;
  } cases[] = {
      {"within both limits", 100 * 1024, true},
      {"beyond the reports' room", 900 * 1024, true},
      {"beyond the replies' limit", 1100 * 1024, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.table = std::string(c.bytes, 't');
    auto peer = client();
    ASSERT_EQ(peer->handshake("small").reply, "small");
    const auto answer = peer->procTable();
    if (c.answered) {
      ASSERT_TRUE(answer.reply.has_value());
      EXPECT_EQ(*answer.reply, service.table);
      EXPECT_EQ(peer->handshake("after").reply, "after") << "the connection goes on";
    } else {
      EXPECT_TRUE(answer.error.has_value());
      EXPECT_TRUE(peer->waitForEnd()) << "the connection ended";
    }
  }
}

TEST_F(HostilePeerTest, ServicesDirectoryOthersCouldWriteToIsRefused) {
  platform::log::Capture log;
  ASSERT_EQ(::mkdir(dir.dir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.dir().c_str(), 0777), 0);
  EXPECT_FALSE(listen()->isListening());
  ASSERT_EQ(::chmod(dir.dir().c_str(), 0755), 0);
  ASSERT_EQ(::chown(dir.dir().c_str(), 65534, 65534), 0);
  if (::geteuid() == 0) {
    EXPECT_FALSE(listen()->isListening()) << "owned by nobody";
  }
  ASSERT_EQ(::chown(dir.dir().c_str(), ::geteuid(), ::getegid()), 0);
  EXPECT_TRUE(listen()->isListening());
  EXPECT_TRUE(log.contains("xpc: " + dir.dir() + " is writable by group or others: refused"));
}

// A socket served by another user (an impostor in a directory it could write to) is not
// trusted: the client ends with kUntrustedServer before sending anything.
TEST_F(HostilePeerTest, ClientsTrustOnlyARootServer) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to serve as another user";
  ASSERT_EQ(::chmod(dir.root().c_str(), 0777), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const std::string path = dir.root() + "/impostor";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(1);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd, 4) < 0) {
      ::_exit(1);
    }
    [[maybe_unused]] auto n = ::write(ready[1], "r", 1);
    const int peer = ::accept(fd, nullptr, nullptr);
    char byte;
    const bool heard = ::read(peer, &byte, 1) == 1;
    ::_exit(heard ? 2 : 0);  // 2: the client talked to us
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  xpc::ServicesDirectory impostors{dir.root()};
  platform::ScopedOverride<xpc::ServicesDirectory> installed(impostors);
  platform::log::Capture log;
  {
    auto c = std::make_unique<RecordingClient>(std::make_shared<xpc::SdBusTransport>(), "impostor");
    c->resume();
    const auto answer = c->handshake("secret");
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code, xpc::kUntrustedServer);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the impostor heard nothing";
  EXPECT_TRUE(log.contains("xpc: " + path + " is served by uid 65534, not root: not trusted"));
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
