// The logind source on a private bus with a stand-in logind: graphical logins and unlocks
// become LW_SESSION_LOGIN and LW_SESSION_UNLOCK documents of the golden form; other sessions
// and repeated signals do not; with no bus or no logind the source is unavailable and process
// events go on; the source opens again when the bus or logind comes (back) later.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/endpoint_security/logind/LogindSource.h"
#include "tests/endpoint_security/audit/SourceHarness.h"
#include "tests/endpoint_security/logind/FakeLogind.h"

using namespace std::chrono_literals;
using harness::Delivered;
using platform::es::logind::LogindSource;

namespace {

const std::vector<es_event_type_t> kSessionKinds = {ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN,
                                                    ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK};

platform::es::SourceFactory logindOn(const std::string& address,
                                     std::chrono::milliseconds retry = 2s) {
  return [address, retry] {
    return std::make_unique<LogindSource>(
        platform::es::logind::LogindSourceOptions{address, retry});
  };
}

// The source's lines in the log, in order.
std::vector<std::string> statusLines(const platform::log::Capture& log) {
  std::vector<std::string> lines;
  for (const std::string& line : log.lines()) {
    if (line.rfind("EndpointSecurity: source logind: ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Waits until the source has logged `count` lines.
std::vector<std::string> awaitStatusLines(const platform::log::Capture& log, std::size_t count) {
  std::vector<std::string> lines = statusLines(log);
  for (int i = 0; i < 300 && lines.size() < count; ++i) {
    std::this_thread::sleep_for(10ms);
    lines = statusLines(log);
  }
  return lines;
}

std::function<bool(const Delivered&)> ofKind(es_event_type_t kind) {
  return [kind](const Delivered& d) { return d.type == kind; };
}

TEST(LogindSource, GraphicalLoginsAndUnlocks) {
  fake::PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  fake::FakeLogind logind(bus.address());
  ASSERT_TRUE(logind.ok());
  const fake::Session before{"1", "bob", "x11", "user", 1, true};  // locked already
  logind.addSession(before, false);

  platform::log::Capture log;
  harness::Client client(logindOn(bus.address()), kSessionKinds);
  EXPECT_TRUE(log.contains("EndpointSecurity: source logind: active"));

  const auto pid = static_cast<std::uint32_t>(::getpid());
  const fake::Session alice{"c7", "alice", "wayland", "user", pid, false};
  logind.addSession({"5", "carol", "tty", "user", pid, false}, true);
  logind.addSession({"c8", "gdm", "x11", "greeter", pid, false}, true);
  logind.addSession(alice, true);
  std::vector<Delivered> logins =
      client.await(ofKind(ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN), 1, 2000ms);
  ASSERT_EQ(logins.size(), 1u);
  const Delivered& login = logins[0];
  EXPECT_EQ(login.json["eventType"], 114);
  EXPECT_EQ(login.json["eventDesc"], "LW_SESSION_LOGIN");
  EXPECT_EQ(login.json["lwSessionLogin"]["username"], "alice");
  EXPECT_EQ(login.json["lwSessionLogin"]["graphicalSesionId"], 0x80000007u);
  EXPECT_EQ(login.pid, ::getpid());  // the session's leader
  harness::expectGoldenShape(login.json, "lwSessionLogin");

  // Alice locks and unlocks through logind (Unlock, then the locker's hint); Bob's session,
  // locked before the source started, is unlocked by its locker alone.
  logind.setLockedHint(alice, true);
  logind.unlock(alice);
  logind.setLockedHint(alice, false);
  logind.setLockedHint(before, false);
  std::vector<Delivered> unlocks =
      client.await(ofKind(ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK), 2, 2000ms);
  ASSERT_EQ(unlocks.size(), 2u);
  EXPECT_EQ(unlocks[0].json["lwSessionUnlock"]["username"], "alice");
  EXPECT_EQ(unlocks[0].json["lwSessionUnlock"]["graphicalSesionId"], 0x80000007u);
  EXPECT_EQ(unlocks[1].json["lwSessionUnlock"]["username"], "bob");
  EXPECT_EQ(unlocks[1].json["lwSessionUnlock"]["graphicalSesionId"], 1u);
  harness::expectGoldenShape(unlocks[0].json, "lwSessionUnlock");

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(client.all().size(), 3u) << "nothing for the text session, the greeter, or twice";
}

// The bus comes after the source, then logind; logind leaves and comes back; the bus goes away
// under a running logind and comes back with a new one. Each turn is one line, and a login
// after each return is reported.
TEST(LogindSource, OpensAgainWhenTheBusOrLogindComesBack) {
  fake::PrivateBus bus(/*running=*/false);
  platform::log::Capture log;
  harness::Client client(logindOn(bus.address(), 20ms), kSessionKinds);
  std::optional<fake::FakeLogind> logind;
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const std::vector<std::string> expected = {
      "EndpointSecurity: source logind: unavailable (bus unix:path=/tmp/",
      "EndpointSecurity: source logind: active",
      "EndpointSecurity: source logind: unavailable (logind left the bus)",
      "EndpointSecurity: source logind: active",
      "EndpointSecurity: source logind: unavailable (bus connection lost: ",
      "EndpointSecurity: source logind: active",
  };
  std::size_t logins = 0;
  // Once the source says it is active, a login on the new logind is reported.
  auto expectActiveAndReporting = [&](std::size_t line, const char* user) {
    const std::vector<std::string> lines = awaitStatusLines(log, line + 1);
    ASSERT_GT(lines.size(), line) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[line], expected[line]);
    logind->addSession({std::string("c") + std::to_string(line), user, "x11", "user", pid, false},
                       true);
    const std::vector<Delivered> seen =
        client.await(ofKind(ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN), ++logins, 2000ms);
    ASSERT_EQ(seen.size(), logins);
    EXPECT_EQ(seen.back().json["lwSessionLogin"]["username"], user);
  };
  auto expectUnavailable = [&](std::size_t line) {
    const std::vector<std::string> lines = awaitStatusLines(log, line + 1);
    ASSERT_GT(lines.size(), line) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[line].rfind(expected[line], 0), 0u) << lines[line];
  };

  expectUnavailable(0);
  bus.start();  // without logind: still unavailable, and nothing more to say
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(statusLines(log).size(), 1u);
  logind.emplace(bus.address());
  expectActiveAndReporting(1, "alice");

  logind.reset();
  expectUnavailable(2);
  logind.emplace(bus.address());
  expectActiveAndReporting(3, "bob");

  bus.stop();
  expectUnavailable(4);
  logind.reset();
  bus.start();
  logind.emplace(bus.address());
  expectActiveAndReporting(5, "carol");
  EXPECT_EQ(statusLines(log).size(), expected.size());
}

struct Unavailable {
  const char* name;
  bool daemon;  // a bus runs, without logind
  const char* reason;
};

TEST(LogindSource, UnavailableWithoutBusOrLogindWhileProcessEventsGoOn) {
  const Unavailable cases[] = {
      {"no bus", false, "EndpointSecurity: source logind: unavailable (bus unix:path=/tmp/"},
      {"no logind", true,
       "EndpointSecurity: source logind: unavailable (logind is not on the bus)"},
  };
  for (const Unavailable& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<fake::PrivateBus> bus;
    std::string address = "unix:path=/tmp/watch-no-such-bus-" + std::to_string(::getpid());
    if (c.daemon) address = bus.emplace().address();
    platform::log::Capture log;
    std::vector<es_event_type_t> kinds = kSessionKinds;
    kinds.push_back(ES_EVENT_TYPE_NOTIFY_FORK);
    {
      // The machine's factory, pointed at the bus as the agent points it (WATCH_LOGIND_BUS).
      harness::Client client(
          [address] { return platform::es::makeLogindSource({.busAddress = address}); }, kinds,
          10ms);
      bool logged = false;
      for (const std::string& line : log.lines()) {
        logged = logged || line.rfind(c.reason, 0) == 0;
      }
      EXPECT_TRUE(logged) << ::testing::PrintToString(log.lines());
      EXPECT_EQ(client.await(ofKind(ES_EVENT_TYPE_NOTIFY_FORK), 5, 2000ms).size(), 5u);
    }
  }
}

}  // namespace
