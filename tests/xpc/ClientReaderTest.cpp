// A client reads its service's socket itself and hands reports to the exported object past
// sd-bus: played against a service that writes replies, reports and other messages packed
// together, exactly as scripted, so that the order the client sees them in can be checked.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/xpc/IncomingGate.h"
#include "platform/xpc/ReportWriter.h"
#include "tests/xpc/WireMessages.h"
#include "tests/xpc/XpcTestSupport.h"

namespace {

using namespace xpctest;
constexpr std::string_view kName = "scripted.service";

// Serves one client at `path`: answers its authentication, then writes, after each call it
// reads, what the script gives for that call in one write; hangs up after the last.
class ScriptedService {
 public:
  using Script = std::function<std::string(int call, std::uint32_t serial)>;

  ScriptedService(const std::string& path, int calls, Script script)
      : listening_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listening_, 1), 0);
    thread_ = std::thread([this, calls, script = std::move(script)] { serve(calls, script); });
  }
  ~ScriptedService() {
    ::shutdown(listening_, SHUT_RDWR);
    thread_.join();
    ::close(listening_);
  }

 private:
  void serve(int calls, const Script& script) {
    const int peer = ::accept(listening_, nullptr, nullptr);
    if (peer < 0) return;
    std::string in;
    auto readMore = [&] {
      char buffer[4096];
      const ssize_t n = ::read(peer, buffer, sizeof buffer);
      if (n > 0) in.append(buffer, static_cast<std::size_t>(n));
      return n > 0;
    };
    std::size_t begin;
    while ((begin = in.find("BEGIN\r\n")) == std::string::npos) {
      if (!readMore()) return (void)::close(peer);
    }
    in.erase(0, begin + 7);
    writeAll(peer, "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\n");
    for (int call = 0; call < calls; ++call) {
      std::size_t size = 0;
      while ((size = xpc::IncomingGate::messageSize(in)) == 0 || in.size() < size) {
        if (!readMore()) return (void)::close(peer);
      }
      const bool isCall = in[1] == 1;  // not the answer to a call of ours
      std::uint32_t serial = 0;
      std::memcpy(&serial, in.data() + 8, 4);  // little-endian, as sd-bus writes here
      in.erase(0, size);
      if (!isCall) {
        --call;
        continue;
      }
      writeAll(peer, script(call, serial));
    }
    ::close(peer);
  }

  static void writeAll(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }

  const int listening_;
  std::thread thread_;
};

// What reached the client, in order: its reports and the replies to its calls.
class OrderLog final : public ipc::SystemExtensionsToApp {
 public:
  void note(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override { note("report " + msg); }
  void reportNetworkMessageWithMsg(const ipc::NSData& msg) override { note("network " + msg); }
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

std::string wireName() {
  return NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>().wireName();
}

std::string report(std::string_view member, std::string_view payload) {
  static std::uint32_t serial = 0x80000000u;
  std::string out;
  xpc::appendReport(out, serial++, wireName(), member, payload);
  return out;
}

std::string reply(std::uint32_t serial, const std::string& signature, const std::string& body) {
  return wire::message(2, 1, {{5, 'u', wire::u32(serial)}, {8, 'g', signature}}, body, 9);
}

class ClientReaderTest : public ::testing::Test {
 protected:
  std::shared_ptr<NSXPCConnection> connect() {
    auto connection =
        NSXPCConnection::initWithMachServiceName(kName, std::make_shared<xpc::SdBusTransport>());
    connection->setExportedInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    connection->setExportedObject(&log);
    connection->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    connection->setInterruptionHandler([this] { log.note("interrupted"); });
    connection->resume();
    return connection;
  }

  TempServicesDir dir;
  OrderLog log;
};

// Reports packed around a reply reach the exported object on either side of the reply's handler,
// as they were written; messages that are not reports (a report nobody exports, a call wanting
// an answer) go on to sd-bus in their place; a reply far larger than a read comes whole, and
// what follows it still comes after it.
TEST_F(ClientReaderTest, RepliesAndReportsReachTheirHandlersInTheOrderWritten) {
  const std::string table(3 << 20, 't');
  const std::string wanting = wire::message(1, 0,
                                            {{1, 'o', "/"},
                                             {2, 's', wireName()},
                                             {3, 's', "reportNetworkMessageWithMsg"},
                                             {8, 'g', "ay"}},
                                            wire::arrayBody("wants an answer"), 5);
  ScriptedService service(dir.socket(kName), 2, [&](int call, std::uint32_t serial) {
    if (call == 0) {
      return report("reportEndpointMessageWithMsg", "before") +
             reply(serial, "s", wire::stringBody("subscribed")) +
             report("reportEndpointMessageWithMsg", "after 1") +
             report("reportNobodyExports", "lost") +
             report("reportEndpointMessageWithMsg", "after 2") + wanting +
             report("reportNetworkMessageWithMsg", "after 3");
    }
    return report("reportEndpointMessageWithMsg", "before table") +
           reply(serial, "ay", wire::arrayBody(table)) +
           report("reportEndpointMessageWithMsg", "after table");
  });
  auto connection = connect();
  auto proxy = connection->remoteObjectProxyWithErrorHandler(
      [this](const NSError& e) { log.note("error " + e.localizedDescription); });
  proxy->subscribeToEventsWithFilter("{}",
                                     [this](const std::string& r) { log.note("reply " + r); });
  proxy->establishConnectionAndGetProcTableWithMessage("ps", [this, &table](const std::string& r) {
    log.note(r == table ? "table" : "table of " + std::to_string(r.size()) + " bytes");
  });
  const std::vector<std::string> expected{
      "report before",           "reply subscribed", "report after 1",      "report after 2",
      "network wants an answer", "network after 3",  "report before table", "table",
      "report after table",      "interrupted"};
  EXPECT_TRUE(eventually([&] { return log.entries().size() >= expected.size(); }));
  EXPECT_EQ(log.entries(), expected);
  connection->invalidate();
}

// A service that goes away in the middle of a report: what came whole is delivered, and the
// connection ends as it does when sd-bus reads the socket (the interruption handler runs), rather
// than waiting forever for the rest of the report.
TEST_F(ClientReaderTest, AServiceGoneMidReportEndsTheConnection) {
  ScriptedService service(dir.socket(kName), 1, [&](int, std::uint32_t serial) {
    const std::string cut = report("reportEndpointMessageWithMsg", std::string(4096, 'c'));
    return reply(serial, "s", wire::stringBody("subscribed")) +
           report("reportEndpointMessageWithMsg", "whole") + cut.substr(0, cut.size() / 2);
  });
  auto connection = connect();
  connection
      ->remoteObjectProxyWithErrorHandler(
          [this](const NSError& e) { log.note("error " + e.localizedDescription); })
      ->subscribeToEventsWithFilter("{}", [this](const std::string& r) { log.note("reply " + r); });
  const std::vector<std::string> expected{"reply subscribed", "report whole", "interrupted"};
  EXPECT_TRUE(eventually([&] { return log.entries().size() >= expected.size(); }));
  EXPECT_EQ(log.entries(), expected);
  connection->invalidate();
}

}  // namespace
