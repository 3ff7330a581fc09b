// The entry code's setup paths and message handler against a fake event source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/capture/Entry.h"
#include "agent/capture/EventTable.h"
#include "platform/log/Log.h"
#include "tests/agent/FakeEndpointSecurity.h"
#include "tests/support/EsMessageBuilder.h"

using testing_es::FakeEndpointSecurity;
using Lines = std::vector<std::string>;

namespace {

const std::vector<es_event_type_t> kList(agent::kSubscribedEvents.begin(),
                                         agent::kSubscribedEvents.end());

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { g_client = nullptr; }
  void TearDown() override { g_client = nullptr; }

  FakeEndpointSecurity fake_;
  platform::ScopedOverride<platform::es::Backend> installed_{fake_};
  platform::log::Capture log_;
};

TEST_F(EntryTest, SetupOutcomes) {
  const auto kNotRoot = "ERROR: \"Application needs to run as root (and SIP disabled).\"";
  const auto kNotEntitled =
      "ERROR: \"Application requires 'com.apple.developer.endpoint-security.client' "
      "entitlement\"";
  const Lines kCleanUp = {"unsubscribe", "clear_cache", "delete_client"};
  const struct {
    const char* name;
    std::vector<es_new_client_result_t> newClient;  // probe, then the real client
    std::vector<es_clear_cache_result_t> clearCache;
    es_return_t subscribe;
    int result;
    Lines log;
    Lines calls;
  } cases[] = {
      {"success",
       {},
       {},
       ES_RETURN_SUCCESS,
       0,
       {"==== watchagent success"},
       {"new_client", "delete_client", "new_client", "clear_cache", "subscribe"}},
      {"probe not permitted",
       {ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED},
       {},
       ES_RETURN_SUCCESS,
       1,
       {"==== watchagent No Full Disk Access"},
       {"new_client"}},
      {"not entitled",
       {ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED, ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED},
       {},
       ES_RETURN_SUCCESS,
       1,
       {kNotEntitled},
       {"new_client", "new_client"}},
      {"not root",
       {ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED, ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED},
       {},
       ES_RETURN_SUCCESS,
       1,
       {kNotRoot},
       {"new_client", "new_client"}},
      {"other refusal",
       {ES_NEW_CLIENT_RESULT_SUCCESS, ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS},
       {},
       ES_RETURN_SUCCESS,
       1,
       {"ERROR: \"es_new_client: 6\""},
       {"new_client", "delete_client", "new_client"}},
      {"probe permitted, real client not permitted",
       {ES_NEW_CLIENT_RESULT_ERR_INTERNAL, ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED},
       {},
       ES_RETURN_SUCCESS,
       1,
       {"ERROR: \"es_new_client: 4\""},
       {"new_client", "new_client"}},
      {"cache not cleared",
       {},
       {ES_CLEAR_CACHE_RESULT_ERR_THROTTLE},
       ES_RETURN_SUCCESS,
       1,
       {"ERROR: \"es_clear_cache: 2\""},
       {"new_client", "delete_client", "new_client", "clear_cache", "unsubscribe", "clear_cache",
        "delete_client"}},
      {"subscription refused",
       {},
       {},
       ES_RETURN_ERROR,
       1,
       {"ERROR: \"es_subscribe: ES_RETURN_ERROR\""},
       {"new_client", "delete_client", "new_client", "clear_cache", "subscribe", "unsubscribe",
        "clear_cache", "delete_client"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEndpointSecurity fake;
    platform::ScopedOverride<platform::es::Backend> installed(fake);
    fake.newClientResults.assign(c.newClient.begin(), c.newClient.end());
    fake.clearCacheResults.assign(c.clearCache.begin(), c.clearCache.end());
    fake.subscribeResult = c.subscribe;
    log_.clear();
    g_client = nullptr;

    EXPECT_EQ(setupMonitoring(), c.result);
    EXPECT_EQ(log_.lines(), c.log);
    EXPECT_EQ(fake.callNames(), c.calls);

    // Subscription and clean-up name the same twelve types, in the same order, on the client
    // that was created for real (not the probe).
    es_client_t* real = fake.created.empty() ? nullptr : fake.created.back();
    for (const auto& call : fake.calls) {
      if (call.name == "subscribe" || call.name == "unsubscribe") {
        EXPECT_EQ(call.events, kList) << call.name;
        EXPECT_EQ(call.client, real) << call.name;
      }
    }
    if (c.result == 0) {
      EXPECT_EQ(g_client, real);
      EXPECT_TRUE(fake.isLive(real));
      ASSERT_EQ(fake.created.size(), 2u);
      EXPECT_FALSE(fake.isLive(fake.created.front()));  // the probe was not leaked
    } else {
      EXPECT_EQ(g_client, nullptr);
      for (es_client_t* client : fake.created) EXPECT_FALSE(fake.isLive(client));
    }
  }
}

TEST_F(EntryTest, SecondSetupCreatesNothing) {
  ASSERT_EQ(setupMonitoring(), 0);
  es_client_t* first = g_client;
  fake_.calls.clear();
  log_.clear();
  EXPECT_EQ(setupMonitoring(), 0);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(g_client, first);
}

TEST_F(EntryTest, AuthorizationMessageIsForwardedThenAllowedWithoutCaching) {
  ASSERT_EQ(setupMonitoring(), 0);
  ASSERT_EQ(fake_.handlers.size(), 2u);
  const auto& handler = fake_.handlers.back();
  fake_.calls.clear();
  log_.clear();

  // The converter writes this kind's line; it must be there when the answer is given.
  Lines atAnswer;
  fake_.onRespond = [&] { atAnswer = log_.lines(); };
  fixture::EsMessageBuilder auth(ES_EVENT_TYPE_NOTIFY_AUTHENTICATION, ES_ACTION_TYPE_AUTH);
  handler(g_client, &auth.message());

  EXPECT_EQ(atAnswer, Lines{"Warden5Agent: AUTHENTICATION"});
  ASSERT_EQ(fake_.callNames(), Lines{"respond_auth_result"});
  EXPECT_EQ(fake_.calls[0].client, g_client);
  EXPECT_EQ(fake_.calls[0].result, ES_AUTH_RESULT_ALLOW);
  EXPECT_FALSE(fake_.calls[0].cache);
  EXPECT_EQ(log_.lines(), Lines{"Warden5Agent: AUTHENTICATION"});
}

TEST_F(EntryTest, NotificationsAreNotAnswered) {
  ASSERT_EQ(setupMonitoring(), 0);
  fake_.calls.clear();
  log_.clear();
  for (const es_event_type_t type : agent::kSubscribedEvents) {
    fixture::EsMessageBuilder notify(type);
    fake_.handlers.back()(g_client, &notify.message());
  }
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_EQ(log_.lines().size(), 9u);  // the converter's lines of the nine newer kinds
}

TEST_F(EntryTest, FailedAuthorizationAnswerIsLogged) {
  ASSERT_EQ(setupMonitoring(), 0);
  fake_.respondResult = ES_RESPOND_RESULT_ERR_INTERNAL;
  log_.clear();
  fixture::EsMessageBuilder auth(ES_EVENT_TYPE_NOTIFY_EXEC, ES_ACTION_TYPE_AUTH);
  fake_.handlers.back()(g_client, &auth.message());
  EXPECT_EQ(log_.lines(), Lines{"ERROR: \"es_respond_auth_result: 2\""});
}

}  // namespace
