// The agent's endpoint against the in-memory transport: acceptance, the connection set and its
// four ways out, and the broadcast walk.

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <set>
#include <thread>

#include "agent/ipc/IPCForAgent.h"
#include "agent/ipc/LineLimiter.h"
#include "agent/model/JsonEncoding.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/sysctl/sysctl.h"
#include "platform/xpc/MemoryTransport.h"

namespace {

using Peer = xpc::MemoryTransport::Peer;

model::EsMessage event(model::Int pid) {
  model::EsMessage message;
  message.version = 7;
  message.eventType = 9;
  message.eventDesc = "exec";
  message.process.pid = pid;
  message.process.exectuable.path = "/usr/bin/true";
  return message;
}

std::string encoded(model::Int pid) {
  return *model::encode(event(pid));
}

class IPCForAgentTest : public ::testing::Test {
 protected:
  IPCForAgentTest() : agent(transport) {
    agent::LineLimiter::shared().forget();  // each test sees its lines from the first
    agent.startEndpointListener();
  }

  // A client that has sent its first message, so the agent holds its connection.
  std::shared_ptr<Peer> connected() {
    auto peer = transport->attach(ipc::kMachServiceName);
    EXPECT_EQ(peer->call("establishConnection2WithMessage", "hi"), "established");
    return peer;
  }

  std::set<pid_t> connectedPids() const {
    std::set<pid_t> pids;
    for (const auto& connection : agent.currentConnections.copy()) {
      pids.insert(connection->processIdentifier());
    }
    return pids;
  }

  std::shared_ptr<xpc::MemoryTransport> transport = std::make_shared<xpc::MemoryTransport>();
  agent::IPCForAgent agent;
};

TEST_F(IPCForAgentTest, AcceptsEveryClientOnItsFirstMessageAndAnswersEstablished) {
  for (const std::string& message :
       std::vector<std::string>{"", "hi", "{\"not\":\"read\"}", std::string(4096, 'x')}) {
    SCOPED_TRACE(message.substr(0, 20));
    platform::log::Capture log;
    auto peer = transport->attach(ipc::kMachServiceName);
    EXPECT_EQ(peer->call("establishConnection2WithMessage", message), "established");
    EXPECT_TRUE(peer->accepted());
    EXPECT_TRUE(connectedPids().contains(peer->processIdentifier()));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"NSXPCListenerDelegate.shouldAcceptNewConnection BEGIN",
                                        "NSXPCListenerDelegate.shouldAcceptNewConnection END",
                                        "IPCForAgent.establishConnection() BEGIN"}));
  }
  EXPECT_EQ(agent.currentConnections.size(), 4u);
}

TEST_F(IPCForAgentTest, LaterCallsOnAConnectionAreNotAcceptedAgain) {
  auto peer = connected();
  platform::log::Capture log;
  EXPECT_EQ(peer->call("establishConnection2WithMessage", ""), "established");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"IPCForAgent.establishConnection() BEGIN"});
  EXPECT_EQ(agent.currentConnections.size(), 1u);
}

// A client making calls in a loop costs a bounded number of log lines, each with its own text.
TEST_F(IPCForAgentTest, PerCallLinesAreLimitedButKeepTheirTexts) {
  auto peer = connected();
  platform::log::Capture log;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(peer->call("establishConnection2WithMessage", ""), "established");
  }
  const auto lines = log.lines();
  EXPECT_EQ(lines.size(), 20u - 1u) << "the handshake wrote the first of 20 allowed";
  for (const auto& line : lines) EXPECT_EQ(line, "IPCForAgent.establishConnection() BEGIN");
}

TEST_F(IPCForAgentTest, ProcessTableRequestIsAnsweredByTheSnapshot) {
  const platform::ScopedOverride<platform::sysctl_backend::Backend> proc(
      platform::sysctl_backend::system());
  auto peer = transport->attach(ipc::kMachServiceName);
  const auto reply = peer->call("establishConnectionAndGetProcTableWithMessage", "");
  ASSERT_TRUE(reply.has_value());
  EXPECT_TRUE(reply->starts_with("{\"table\":[") || *reply == "Hello") << reply->substr(0, 80);
  EXPECT_EQ(agent.currentConnections.size(), 1u);
}

TEST_F(IPCForAgentTest, NothingIsSentWithoutAConnection) {
  auto silent = transport->attach(ipc::kMachServiceName);  // connected, never sent a message
  agent.broadcastEndpointMessage(event(1));
  EXPECT_TRUE(silent->reports().empty());
  EXPECT_TRUE(agent.currentConnections.empty());

  // Its first message makes it a recipient of the events that follow, not of earlier ones.
  ASSERT_EQ(silent->call("establishConnection2WithMessage", ""), "established");
  agent.broadcastEndpointMessage(event(2));
  EXPECT_EQ(silent->endpointMessages(), std::vector<std::string>{encoded(2)});
}

TEST_F(IPCForAgentTest, EveryConnectionGetsTheSameBytesOncePerEvent) {
  auto a = connected();
  auto b = connected();
  for (model::Int pid : {1, 2, 3}) agent.broadcastEndpointMessage(event(pid));

  const std::vector<std::string> expected{encoded(1), encoded(2), encoded(3)};
  EXPECT_EQ(a->endpointMessages(), expected);
  EXPECT_EQ(b->endpointMessages(), expected);
  ASSERT_EQ(a->reports().size(), 3u);
  EXPECT_EQ(a->reports()[0].member, "reportEndpointMessageWithMsg");
}

TEST_F(IPCForAgentTest, EventThatCannotBeEncodedIsDroppedSilently) {
  auto peer = connected();
  model::EsMessage broken = event(1);
  broken.time = model::Date{std::numeric_limits<double>::infinity()};
  ASSERT_FALSE(model::encode(broken).has_value());

  platform::log::Capture log;
  agent.broadcastEndpointMessage(broken);
  EXPECT_TRUE(peer->reports().empty());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(agent.currentConnections.size(), 1u);
}

// Each way out takes exactly the one connection and lets the others keep receiving.
TEST_F(IPCForAgentTest, EachWayOutRemovesOnlyThatConnection) {
  struct Case {
    const char* name;
    void (*leave)(Peer&);
  };
  const Case cases[] = {
      {"invalidation", [](Peer& p) { p.disconnect(); }},
      {"interruption", [](Peer& p) { p.interrupt(); }},
      {"failed send", [](Peer& p) { p.failSends(); }},
      {"proxy without the protocol", [](Peer& p) { p.setImplementsReports(false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto localTransport = std::make_shared<xpc::MemoryTransport>();
    agent::IPCForAgent local(localTransport);
    local.startEndpointListener();
    auto attach = [&] {
      auto peer = localTransport->attach(ipc::kMachServiceName);
      EXPECT_EQ(peer->call("establishConnection2WithMessage", ""), "established");
      return peer;
    };
    auto leaving = attach();
    auto staying = attach();

    c.leave(*leaving);
    local.broadcastEndpointMessage(event(1));
    ASSERT_EQ(local.currentConnections.size(), 1u);
    EXPECT_EQ(local.currentConnections.copy()[0]->processIdentifier(),
              staying->processIdentifier());
    EXPECT_TRUE(leaving->released()) << "the removed connection is let go";

    // The next event skips the removed connection even if it could take it now.
    leaving->failSends(false);
    leaving->setImplementsReports(true);
    local.broadcastEndpointMessage(event(2));
    EXPECT_TRUE(leaving->endpointMessages().empty());
    EXPECT_EQ(staying->endpointMessages(), (std::vector<std::string>{encoded(1), encoded(2)}));
  }
}

TEST_F(IPCForAgentTest, SecondRemovalOfAConnectionHasNoEffect) {
  auto leaving = connected();
  auto staying = connected();
  leaving->failSends();
  agent.broadcastEndpointMessage(event(1));  // error handler removes it
  leaving->disconnect();                     // then its invalidation handler runs
  leaving->interrupt();
  EXPECT_EQ(connectedPids(), std::set<pid_t>{staying->processIdentifier()});
  agent.broadcastEndpointMessage(event(2));
  EXPECT_EQ(staying->endpointMessages().size(), 2u);
}

TEST_F(IPCForAgentTest, ConnectionInvalidatedDuringTheWalkGetsAFailedSendAndIsRemovedOnce) {
  auto a = connected();
  auto b = connected();
  // Whichever is sent to first takes the other down after the copy was made.
  a->onReport([&](const Peer::Report&) { b->disconnect(); });
  b->onReport([&](const Peer::Report&) { a->disconnect(); });
  agent.broadcastEndpointMessage(event(1));

  const bool aFirst = !a->endpointMessages().empty();
  const auto& first = aFirst ? a : b;
  const auto& second = aFirst ? b : a;
  EXPECT_EQ(first->endpointMessages().size(), 1u);
  EXPECT_TRUE(second->endpointMessages().empty());
  EXPECT_EQ(connectedPids(), std::set<pid_t>{first->processIdentifier()});
}

TEST_F(IPCForAgentTest, ProxyWithoutTheProtocolIsRemovedAfterTheWalk) {
  auto a = connected();
  auto b = connected();
  auto c = connected();
  b->setImplementsReports(false);
  c->setImplementsReports(false);
  agent.broadcastEndpointMessage(event(1));
  EXPECT_EQ(connectedPids(), std::set<pid_t>{a->processIdentifier()});
  EXPECT_TRUE(b->reports().empty());
  EXPECT_TRUE(c->reports().empty());
  EXPECT_EQ(a->endpointMessages().size(), 1u);
}

TEST_F(IPCForAgentTest, LateHandlersOfAReleasedConnectionDoNothing) {
  auto peer = connected();
  peer->failSends();
  agent.broadcastEndpointMessage(event(1));
  ASSERT_TRUE(peer->released());
  auto newcomer = connected();  // a new connection may reuse the old one's memory
  peer->disconnect();
  peer->interrupt();
  EXPECT_EQ(connectedPids(), std::set<pid_t>{newcomer->processIdentifier()});
}

TEST_F(IPCForAgentTest, WithdrawingTheListenerEndsItsConnections) {
  auto peer = connected();
  agent.startEndpointListener();  // releases the listener stored before
  EXPECT_TRUE(agent.currentConnections.empty());
  EXPECT_EQ(connected()->call("establishConnection2WithMessage", ""), "established");
  EXPECT_EQ(agent.currentConnections.size(), 1u);
}

// Broadcasts from several threads while clients come and go: the set stays consistent and a
// client that stays gets every event.
TEST_F(IPCForAgentTest, ConcurrentBroadcastsAndConnectionChanges) {
  auto steady = connected();
  constexpr int kThreads = 3;
  constexpr int kEvents = 300;
  std::atomic<bool> done{false};
  std::thread churn([&] {
    while (!done) {
      auto peer = connected();
      peer->disconnect();
      auto failing = connected();
      failing->failSends();
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEvents; ++i) agent.broadcastEndpointMessage(event(t * kEvents + i));
    });
  }
  for (auto& sender : senders) sender.join();
  done = true;
  churn.join();
  EXPECT_EQ(steady->endpointMessages().size(), static_cast<std::size_t>(kThreads * kEvents));
  agent.broadcastEndpointMessage(event(0));  // clears out the failing clients
  EXPECT_EQ(connectedPids(), std::set<pid_t>{steady->processIdentifier()});
}

}  // namespace

// What a connection asked for is all it gets from the reply on; a connection that never asked
// gets everything, and a kind nobody wants is not wanted at all (so never converted).
TEST_F(IPCForAgentTest, SubscriptionsChooseWhatEachConnectionIsSent) {
  const auto message = [](std::uint32_t type, std::string desc, std::string path,
                          std::string target = {}) {
    model::EsMessage m = event(1);
    m.eventType = type;
    m.eventDesc = std::move(desc);
    m.process.exectuable.path = std::move(path);
    if (!target.empty()) {
      m.exec.emplace();
      m.exec->target.exectuable.path = std::move(target);
    }
    return m;
  };
  const std::vector<model::EsMessage> events{
      message(9, "EXEC", "/usr/bin/bash", "/usr/bin/true"),    // 0: exec of true by bash
      message(11, "FORK", "/usr/bin/bash"),                    // 1
      message(15, "EXIT", "/usr/bin/true"),                    // 2
      message(122, "LOGIN", "/usr/bin/login"),                 // 3: not a process kind
      message(9, "EXEC", "/usr/sbin/cron", "/usr/sbin/cron"),  // 4
  };
  struct Case {
    std::string filter;
    std::vector<std::size_t> gets;
  };
  const std::vector<Case> cases{
      {"", {0, 1, 2, 3, 4}},  // never asked
      {R"({})", {0, 1, 2, 3, 4}},
      {R"({"kinds":[]})", {}},
      {R"({"kinds":["login"]})", {3}},
      {R"({"kinds":["EXEC",15]})", {0, 2, 4}},
      // The path narrows the process kinds only; an exec matches by either program.
      {R"({"executablePath":"/usr/bin/true"})", {0, 2, 3}},
      {R"({"executablePath":"/usr/bin/","match":"prefix"})", {0, 1, 2, 3}},
      {R"({"kinds":["exec","fork"],"executablePath":"/usr/sbin/cron"})", {4}},
  };
  std::vector<std::shared_ptr<Peer>> peers;
  for (const Case& c : cases) {
    peers.push_back(connected());
    if (!c.filter.empty()) {
      EXPECT_EQ(peers.back()->call("subscribeToEventsWithFilter", c.filter), "subscribed")
          << c.filter;
    }
  }
  for (const model::EsMessage& m : events) agent.broadcastEndpointMessage(m);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].filter);
    std::vector<std::string> expected;
    for (std::size_t e : cases[i].gets) expected.push_back(*model::encode(events[e]));
    EXPECT_EQ(peers[i]->endpointMessages(), expected);
  }
}

TEST_F(IPCForAgentTest, OnlyKindsSomeConnectionWantsAreWanted) {
  const auto wanted = [&](std::uint32_t type) {
    return agent.currentConnections.wantsEventType(type);
  };
  EXPECT_FALSE(wanted(9));  // nobody connected

  auto everything = connected();
  EXPECT_TRUE(wanted(9) && wanted(122) && wanted(999));
  ASSERT_EQ(everything->call("subscribeToEventsWithFilter", R"({"kinds":["LOGIN"]})"),
            "subscribed");
  EXPECT_TRUE(wanted(122));
  EXPECT_FALSE(wanted(9) || wanted(999));

  auto execs = connected();
  ASSERT_EQ(execs->call("subscribeToEventsWithFilter", R"({"kinds":["exec"]})"), "subscribed");
  EXPECT_TRUE(wanted(9) && wanted(122));
  everything->disconnect();
  EXPECT_TRUE(wanted(9));
  EXPECT_FALSE(wanted(122));
}

// A filter the agent cannot read is refused with the reason, and the earlier one stays.
TEST_F(IPCForAgentTest, UnreadableFilterIsRefusedAndTheEarlierOneStays) {
  auto peer = connected();
  ASSERT_EQ(peer->call("subscribeToEventsWithFilter", R"({"kinds":["FORK"]})"), "subscribed");
  for (const std::string filter : {"not json", R"({"kinds":["nope"]})", R"({"match":"glob"})",
                                   R"({"kinds":"EXEC"})", R"({"colour":"red"})"}) {
    const auto reply = peer->call("subscribeToEventsWithFilter", filter);
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(*reply, "subscribed") << filter;
    EXPECT_FALSE(reply->empty()) << filter;
  }
  model::EsMessage fork = event(3);
  fork.eventType = 11;
  agent.broadcastEndpointMessage(event(2));
  agent.broadcastEndpointMessage(fork);
  EXPECT_EQ(peer->endpointMessages(), std::vector<std::string>{*model::encode(fork)});
}
