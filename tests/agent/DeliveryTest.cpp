// Events from the scripted source travel through the agent's real entry handler, converter and
// service socket to a connected client, arriving as the golden documents of their kinds.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "agent/capture/Entry.h"
#include "agent/capture/EventTable.h"
#include "agent/ipc/IPCForAgent.h"
#include "platform/endpoint_security/ScriptedSource.h"
#include "platform/log/Log.h"
#include "platform/xpc/Transport.h"
#include "tests/agent/ServiceClient.h"
#include "tests/support/EsMessageBuilder.h"
#include "tests/support/GoldenDocuments.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// The golden document of a kind, compacted; empty when its file is missing.
std::string golden(std::string_view member) {
  return fixture::readGoldenDocument(fs::path(WATCH_GOLDEN_DIR) / (std::string(member) + ".json"))
      .value_or(std::string());
}

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override { services_.path = dir_.path().string(); }

  const test_support::TempDir dir_{"agent-delivery"};
  xpc::ServicesDirectory services_;
  platform::ScopedOverride<xpc::ServicesDirectory> installed_{services_};
};

TEST_F(DeliveryTest, AllTwelveKindsReachAClientAsTheirGoldenDocuments) {
  platform::es::ScriptedSource source;
  platform::ScopedOverride<platform::es::Backend> installed(source);
  platform::log::Capture log;  // keeps the converter's lines out of the output
  g_client = nullptr;
  ASSERT_EQ(setupMonitoring(), 0);
  agent::IPCForAgent::shared().startEndpointListener();

  testing_agent::ServiceClient client;
  ASSERT_TRUE(client.connect());

  for (const es_event_type_t type : agent::kSubscribedEvents) {
    auto message = std::make_shared<fixture::EsMessageBuilder>(type);
    source.post(message, &message->message());
  }
  // An authorization message is delivered like the others and then allowed, not cached.
  auto auth =
      std::make_shared<fixture::EsMessageBuilder>(ES_EVENT_TYPE_NOTIFY_EXIT, ES_ACTION_TYPE_AUTH);
  source.post(auth, &auth->message());
  source.drain();

  ASSERT_TRUE(client.waitForCount(13));
  const auto documents = client.documents();
  ASSERT_EQ(documents.size(), 13u);
  for (std::size_t i = 0; i < agent::kSubscribedEvents.size(); ++i) {
    const agent::EventKind* kind = agent::findEventKind(agent::kSubscribedEvents[i]);
    ASSERT_NE(kind, nullptr);
    SCOPED_TRACE(kind->member);
    const std::string expected = golden(kind->member);
    ASSERT_FALSE(expected.empty()) << "no golden document";
    EXPECT_EQ(documents[i], expected);
  }
  EXPECT_EQ(documents[12], golden("exit"));  // the action type is not part of the document

  const auto responses = source.responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].eventType, ES_EVENT_TYPE_NOTIFY_EXIT);
  EXPECT_EQ(responses[0].result, ES_AUTH_RESULT_ALLOW);
  EXPECT_FALSE(responses[0].cache);
  EXPECT_FALSE(log.contains("ERROR: \"es_respond_auth_result: 0\""));
}

}  // namespace
