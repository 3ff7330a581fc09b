// The sd-bus transport over a real socket in a private services directory: the socket file,
// calls and reports in both directions, refusal, limits, and clients that misbehave.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "platform/WakeBatch.h"
#include "platform/log/Log.h"
#include "platform/xpc/Loop.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {

using namespace xpctest;
constexpr std::string_view kName = "test.service";

// A service that exports AppToSystemExtensions and keeps the connections it accepts.
class EchoService final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  bool accept = true;
  bool answerTable = true;
  bool answerFromAnotherThread = false;
  std::string table = std::string("bytes\0with\xff nul", 15);

  bool shouldAcceptNewConnection(NSXPCListener&,
                                 std::shared_ptr<NSXPCConnection> connection) override {
    connection->setExportedInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    connection->setExportedObject(this);
    connection->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    std::weak_ptr<NSXPCConnection> weak = connection;
    connection->setInvalidationHandler([this, weak] {
      std::lock_guard lock(mutex_);
      ++invalidations_;
      if (auto strong = weak.lock()) std::erase(connections_, strong);
    });
    if (!accept) return false;
    {
      std::lock_guard lock(mutex_);
      connections_.push_back(connection);
    }
    connection->resume();
    return true;
  }
  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override {
    std::string answer =
        message.starts_with("echo") ? message : std::string(ipc::kEstablishedReply);
    if (!answerFromAnotherThread) return reply(answer);
    std::lock_guard lock(mutex_);
    answering_.emplace_back([reply = std::move(reply), answer = std::move(answer)] {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      reply(answer);
    });
  }
  ~EchoService() override {
    for (auto& thread : answering_) thread.join();
  }
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) override {
    if (answerTable) reply(table);
  }
  void subscribeToEventsWithFilter(const ipc::NSString&,
                                   std::function<void(const ipc::NSString&)> reply) override {
    reply(std::string(ipc::kSubscribedReply));
  }

  std::vector<std::shared_ptr<NSXPCConnection>> connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  int invalidations() const {
    std::lock_guard lock(mutex_);
    return invalidations_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<NSXPCConnection>> connections_;
  int invalidations_ = 0;
  std::vector<std::thread> answering_;
};

using TransportTest = ServiceFixture<EchoService, kName>;

// Reports sent one by one, or in runs as the event source hands them over (inside a WakeBatch):
// the sender then writes them itself while the loop sleeps, and the loop takes over what the
// socket did not take.
class ReportRunsTest : public TransportTest, public ::testing::WithParamInterface<bool> {
 protected:
  // Opens a run every `length` reports when the parameter says so; closing it writes the run.
  class Runs {
   public:
    Runs(bool inRuns, std::size_t length) : inRuns_(inRuns), length_(length) {}
    void next() {
      if (!inRuns_) return;
      if (++count_ % length_ == 0) batch_.reset();
      if (!batch_) batch_.emplace();
    }
    void end() { batch_.reset(); }

   private:
    const bool inRuns_;
    const std::size_t length_;
    std::size_t count_ = 0;
    std::optional<platform::WakeBatch> batch_;
  };
};

INSTANTIATE_TEST_SUITE_P(Sent, ReportRunsTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "InRuns" : "OneByOne"; });

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

TEST_F(TransportTest, SocketIsRootOnlyAndGoesWithTheListener) {
  auto listener = listen();
  ASSERT_TRUE(listener->isListening());
  struct stat st {};
  ASSERT_EQ(::stat(dir.dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(::lstat(dir.socket(kName).c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);

  listener.reset();
  EXPECT_NE(::lstat(dir.socket(kName).c_str(), &st), 0);
}

TEST_F(TransportTest, StaleSocketIsReplacedButALiveListenerOrAnotherFileIsNot) {
  ASSERT_EQ(::mkdir(dir.dir().c_str(), 0755), 0);
  {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, dir.socket(kName).c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);  // the file stays behind with nobody listening
  }
  auto first = listen();
  ASSERT_TRUE(first->isListening());

  platform::log::Capture log;
  auto second = NSXPCListener::initWithMachServiceName(kName, transport);
  second->setDelegate(&service);
  second->resume();
  EXPECT_FALSE(second->isListening());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].starts_with("xpc: cannot publish test.service at ")) << log.lines()[0];
  second.reset();
  EXPECT_EQ(client()->handshake().reply, "established") << "the first listener still serves";

  first.reset();
  std::ofstream(dir.socket(kName)) << "not a socket";
  EXPECT_FALSE(listen()->isListening());
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.socket(kName)));
}

TEST_F(TransportTest, NamesThatAreNotFileNamesAreRefused) {
  for (std::string_view name : {"", ".", "..", "a/b", "../escape"}) {
    platform::log::Capture log;
    auto listener = NSXPCListener::initWithMachServiceName(name, transport);
    listener->resume();
    EXPECT_FALSE(listener->isListening()) << name;
  }
}

TEST_F(TransportTest, CallsRepliesAndReportsCarryTheirBytesUnchanged) {
  auto listener = listen();
  auto c = client();
  EXPECT_EQ(c->handshake("echo").reply, "echo");
  EXPECT_EQ(c->procTable().reply, service.table);

  service.table.clear();
  EXPECT_EQ(c->procTable().reply, "") << "an empty byte array is a reply too";

  ASSERT_EQ(service.connections().size(), 1u);
  auto connection = service.connections()[0];
  const std::vector<std::string> payloads{"", std::string("\0\x01\xfe\xff", 4),
                                          std::string(100000, 'j')};
  for (const auto& payload : payloads) {
    connection->remoteObjectProxyWithErrorHandler([](const NSError&) { FAIL(); })
        ->reportEndpointMessageWithMsg(payload);
  }
  ASSERT_TRUE(c->waitForCount(payloads.size()));
  EXPECT_EQ(c->documents(), payloads);
  EXPECT_EQ(connection->effectiveUserIdentifier(), 0u);
  EXPECT_EQ(connection->processIdentifier(), ::getpid());
}

// Reports stream while calls are answered, some from other threads: both kinds of message share
// the socket and every one arrives whole.
TEST_P(ReportRunsTest, RepliesAndReportsShareTheSocketIntact) {
  service.answerFromAnotherThread = true;
  auto listener = listen();
  auto c = client();
  ASSERT_EQ(c->handshake("echo 0").reply, "echo 0");
  auto connection = service.connections().at(0);
  c->slowDown(std::chrono::microseconds(300));  // so that reports are often half written

  const std::size_t sizes[] = {0, 1, 7, 100, 2000, 70000, 300};
  constexpr std::size_t kReports = 1400;
  std::vector<std::string> sent;
  for (std::size_t i = 0; i < kReports; ++i) {
    std::string payload(sizes[i % std::size(sizes)], static_cast<char>('a' + i % 26));
    if (!payload.empty()) payload[0] = static_cast<char>(i);
    sent.push_back(payload);
  }
  std::thread reporter([&] {
    Runs runs(GetParam(), 16);
    for (std::size_t i = 0; i < kReports; ++i) {
      runs.next();
      connection
          ->remoteObjectProxyWithErrorHandler(
              [](const NSError& e) { ADD_FAILURE() << e.localizedDescription; })
          ->reportEndpointMessageWithMsg(sent[i]);
      if (i % 64 == 63 && i > 300) {
        runs.end();                // nothing waits inside a run for what it handed over
        c->waitForCount(i - 300);  // past the socket buffer, inside the limit
      }
    }
  });
  for (int i = 1; i <= 200; ++i) {
    const std::string message = "echo " + std::to_string(i);
    const auto answer = c->handshake(message);
    if (answer.reply != message) {
      ADD_FAILURE() << "call " << i << " was not answered whole";
      break;
    }
  }
  reporter.join();
  ASSERT_TRUE(c->waitForCount(kReports));
  EXPECT_EQ(c->documents(), sent);
}

TEST_F(TransportTest, ReportTooLargeForDBusFailsAloneAndTheConnectionGoesOn) {
  xpc::SdBusTransport::Options options;
  options.maxQueuedBytes = std::size_t{256} << 20;
  auto listener = listen(options);
  auto c = client();
  ASSERT_EQ(c->handshake().reply, "established");
  auto connection = service.connections().at(0);
  std::promise<int> failed;
  connection->remoteObjectProxyWithErrorHandler([&](const NSError& e) { failed.set_value(e.code); })
      ->reportEndpointMessageWithMsg(std::string((std::size_t{1} << 26) + 1, 'x'));
  auto code = failed.get_future();
  ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(code.get(), EMSGSIZE);
  connection->remoteObjectProxyWithErrorHandler([](const NSError&) { FAIL(); })
      ->reportEndpointMessageWithMsg("after");
  ASSERT_TRUE(c->waitForCount(1));
  EXPECT_EQ(c->documents(), std::vector<std::string>{"after"});
}

TEST_F(TransportTest, CallsMadeBeforeResumeAreDeliveredAfterIt) {
  auto listener = listen();
  RecordingClient c(transport, kName);
  std::promise<std::string> answered;
  c.connection()
      .remoteObjectProxyWithErrorHandler([](const NSError&) {})
      ->establishConnection2WithMessage("echo",
                                        [&](const std::string& r) { answered.set_value(r); });
  c.resume();
  auto future = answered.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), "echo");
}

TEST_F(TransportTest, ReplyThatIsNeverGivenEndsTheCallWithAnError) {
  service.answerTable = false;
  auto listener = listen();
  auto c = client();
  const auto answer = c->procTable();
  EXPECT_FALSE(answer.reply.has_value());
  ASSERT_TRUE(answer.error.has_value());
  EXPECT_NE(answer.error->code, 0);
  EXPECT_EQ(c->handshake().reply, "established") << "the connection itself is fine";
}

TEST_F(TransportTest, ClientErrorsTellNotRunningFromRefused) {
  {
    auto c = client();  // nothing listens
    const auto answer = c->handshake();
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code, ENOENT);
    EXPECT_TRUE(c->waitForEnd());
  }
  service.accept = false;
  auto listener = listen();
  {
    auto c = client();
    const auto answer = c->handshake();
    ASSERT_TRUE(answer.error.has_value()) << "a refused connection is closed";
    EXPECT_TRUE(c->waitForEnd());
  }
  listener.reset();
  {
    // The socket of a listener that died without cleaning up.
    ASSERT_EQ(::mkdir(dir.dir().c_str(), 0755) == 0 || errno == EEXIST, true);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, dir.socket(kName).c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    auto c = client();
    const auto answer = c->handshake();
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code, ECONNREFUSED);
  }
}

TEST_F(TransportTest, ClientIsInterruptedWhenTheListenerGoes) {
  auto listener = listen();
  auto c = client();
  ASSERT_EQ(c->handshake().reply, "established");
  listener.reset();
  ASSERT_TRUE(c->waitForEnd());
  EXPECT_TRUE(c->interrupted());
  EXPECT_EQ(service.invalidations(), 1) << "the listener's side was invalidated too";
  const auto answer = c->handshake();
  ASSERT_TRUE(answer.error.has_value()) << "an ended connection stays ended";
}

TEST_F(TransportTest, ConnectionsBeyondTheLimitAreClosedOnArrival) {
  xpc::SdBusTransport::Options options;
  options.maxConnections = 2;
  auto listener = listen(options);
  auto a = client();
  auto b = client();
  ASSERT_EQ(a->handshake().reply, "established");
  ASSERT_EQ(b->handshake().reply, "established");
  {
    auto c = client();
    const auto answer = c->handshake();
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code, ECONNABORTED);
  }
  b.reset();
  ASSERT_TRUE(eventually([&] { return service.connections().size() == 1; }));
  EXPECT_EQ(client()->handshake().reply, "established") << "a freed slot is available again";
}

// Whatever one client sends, the listener and the other clients carry on.
TEST_F(TransportTest, MisbehavingClientsHurtOnlyThemselves) {
  auto listener = listen();
  auto good = client();
  ASSERT_EQ(good->handshake().reply, "established");
  auto connection = service.connections().at(0);

  const std::string auth = std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"hangs up at once", ""},
      {"not D-Bus", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"endless auth line", std::string(1, '\0') + std::string(64 * 1024, 'A')},
      {"garbage after auth", auth + std::string(4096, '\xee')},
      {"header announcing a huge body",
       auth + std::string("l\x01\x00\x01\xff\xff\xff\x7f", 8) + std::string(8, '\0')},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const int fd = connectRaw(dir.socket(kName));
    ASSERT_GE(fd, 0);
    if (!bytes.empty()) {
      [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);

    connection->remoteObjectProxyWithErrorHandler([](const NSError&) { FAIL(); })
        ->reportEndpointMessageWithMsg(name);
    EXPECT_EQ(client()->handshake().reply, "established");
  }
  ASSERT_TRUE(good->waitForCount(cases.size()));
  EXPECT_TRUE(eventually([&] { return service.connections().size() == 1; }))
      << "none of them was handed over";
  EXPECT_EQ(service.connections().at(0), connection);
}

TEST_P(ReportRunsTest, ClientThatStopsReadingIsDroppedAtTheByteLimit) {
  platform::log::Capture log;
  xpc::SdBusTransport::Options options;
  options.maxQueuedBytes = 256 * 1024;
  auto listener = listen(options);
  auto stalled = client();
  ASSERT_EQ(stalled->handshake().reply, "established");
  stalled->stall();
  auto connection = service.connections().at(0);

  std::atomic<int> failures{0};
  const std::string payload(2048, 's');
  int sent = 0;
  const std::thread::id sender = std::this_thread::get_id();
  Runs runs(GetParam(), 64);
  // Socket buffers take a few hundred KiB; the queue the rest up to the limit.
  while (failures == 0 && sent < 10000) {
    runs.next();
    connection
        ->remoteObjectProxyWithErrorHandler([&](const NSError& e) {
          EXPECT_EQ(e.code, ENOBUFS);
          EXPECT_NE(std::this_thread::get_id(), sender) << "a handler ran on the sender's thread";
          ++failures;
        })
        ->reportEndpointMessageWithMsg(payload);
    ++sent;
    if (sent % 64 == 0) {
      runs.end();
      std::this_thread::sleep_for(1ms);  // let the writes reach the socket
    }
  }
  runs.end();
  ASSERT_TRUE(eventually([&] { return failures > 0; }));
  EXPECT_LT(sent, 10000);
  ASSERT_TRUE(eventually([&] { return service.connections().empty(); })) << "the connection ended";
  stalled->release();
  EXPECT_TRUE(stalled->waitForEnd());
  EXPECT_LT(stalled->documents().size(), static_cast<std::size_t>(sent));
  // Not silently: the listener's log says a client was closed for falling behind.
  EXPECT_TRUE(eventually([&] {
    for (const std::string& line : log.lines()) {
      if (line.find("1 that fell behind reading") != std::string::npos) return true;
    }
    return false;
  })) << "no line";
}

}  // namespace
