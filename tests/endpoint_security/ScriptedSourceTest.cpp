#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/endpoint_security/ScriptedSource.h"
#include "tests/support/EsMessageBuilder.h"

using platform::es::ScriptedSource;

namespace {

std::shared_ptr<fixture::EsMessageBuilder> build(es_event_type_t type,
                                                 es_action_type_t action = ES_ACTION_TYPE_NOTIFY) {
  return std::make_shared<fixture::EsMessageBuilder>(type, action);
}

void post(ScriptedSource& source, const std::shared_ptr<fixture::EsMessageBuilder>& b) {
  source.post(b, &b->message());
}

TEST(ScriptedSource, DeliversSubscribedTypesOneAtATimeOnOneThread) {
  ScriptedSource source;
  platform::ScopedOverride<platform::es::Backend> installed(source);
  std::atomic<int> inside{0};
  std::atomic<int> overlap{0};
  std::vector<es_event_type_t> seen;
  std::vector<std::thread::id> threads;
  es_client_t* client = nullptr;
  ASSERT_EQ(es_new_client(&client,
                          [&](es_client_t*, const es_message_t* m) {
                            if (inside.fetch_add(1) != 0) ++overlap;
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                            seen.push_back(m->event_type);
                            threads.push_back(std::this_thread::get_id());
                            inside.fetch_sub(1);
                          }),
            ES_NEW_CLIENT_RESULT_SUCCESS);
  const es_event_type_t types[] = {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN};
  ASSERT_EQ(es_subscribe(client, types, 2), ES_RETURN_SUCCESS);

  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&] {
      post(source, build(ES_EVENT_TYPE_NOTIFY_EXEC));
      post(source, build(ES_EVENT_TYPE_NOTIFY_FORK));  // not subscribed
      post(source, build(ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN));
    });
  }
  for (auto& t : posters) t.join();
  source.drain();

  EXPECT_EQ(overlap.load(), 0);
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), ES_EVENT_TYPE_NOTIFY_FORK), 0);
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
  ASSERT_EQ(es_unsubscribe(client, types, 2), ES_RETURN_SUCCESS);
  post(source, build(ES_EVENT_TYPE_NOTIFY_EXEC));
  source.drain();
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_EQ(es_delete_client(client), ES_RETURN_SUCCESS);
}

TEST(ScriptedSource, MessageStorageLivesOnlyForTheCall) {
  ScriptedSource source;
  platform::ScopedOverride<platform::es::Backend> installed(source);
  auto message = build(ES_EVENT_TYPE_NOTIFY_EXIT);
  std::weak_ptr<fixture::EsMessageBuilder> watch = message;
  bool aliveDuringCall = false;
  es_client_t* client = nullptr;
  ASSERT_EQ(
      es_new_client(&client,
                    [&](es_client_t*, const es_message_t*) { aliveDuringCall = !watch.expired(); }),
      ES_NEW_CLIENT_RESULT_SUCCESS);
  const es_event_type_t exit[] = {ES_EVENT_TYPE_NOTIFY_EXIT};
  ASSERT_EQ(es_subscribe(client, exit, 1), ES_RETURN_SUCCESS);
  post(source, message);
  message.reset();
  source.drain();
  EXPECT_TRUE(aliveDuringCall);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(es_delete_client(client), ES_RETURN_SUCCESS);
}

TEST(ScriptedSource, AuthorizationAnswersAreCheckedAndRecorded) {
  ScriptedSource source;
  platform::ScopedOverride<platform::es::Backend> installed(source);
  std::vector<es_respond_result_t> results;
  const es_message_t* kept = nullptr;
  es_client_t* client = nullptr;
  ASSERT_EQ(
      es_new_client(&client,
                    [&](es_client_t* c, const es_message_t* m) {
                      results.push_back(es_respond_auth_result(c, m, ES_AUTH_RESULT_ALLOW, false));
                      if (m->action_type == ES_ACTION_TYPE_AUTH) {
                        results.push_back(es_respond_auth_result(c, m, ES_AUTH_RESULT_DENY, true));
                        kept = m;
                      }
                    }),
      ES_NEW_CLIENT_RESULT_SUCCESS);
  const es_event_type_t types[] = {ES_EVENT_TYPE_NOTIFY_EXEC};
  ASSERT_EQ(es_subscribe(client, types, 1), ES_RETURN_SUCCESS);

  post(source, build(ES_EVENT_TYPE_NOTIFY_EXEC, ES_ACTION_TYPE_AUTH));
  post(source, build(ES_EVENT_TYPE_NOTIFY_EXEC));
  source.drain();
  source.setRespondResult(ES_RESPOND_RESULT_ERR_INTERNAL);
  post(source, build(ES_EVENT_TYPE_NOTIFY_EXEC, ES_ACTION_TYPE_AUTH));
  source.drain();

  EXPECT_EQ(results, (std::vector<es_respond_result_t>{
                         ES_RESPOND_RESULT_SUCCESS, ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE,
                         ES_RESPOND_RESULT_ERR_EVENT_TYPE, ES_RESPOND_RESULT_ERR_INTERNAL,
                         ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE}));
  const auto responses = source.responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].result, ES_AUTH_RESULT_ALLOW);
  EXPECT_FALSE(responses[0].cache);
  // After its call the message no longer awaits an answer.
  fixture::EsMessageBuilder late(ES_EVENT_TYPE_NOTIFY_EXEC, ES_ACTION_TYPE_AUTH);
  EXPECT_EQ(es_respond_auth_result(client, &late.message(), ES_AUTH_RESULT_ALLOW, false),
            ES_RESPOND_RESULT_NOT_FOUND);
  EXPECT_NE(kept, nullptr);
  EXPECT_EQ(es_delete_client(client), ES_RETURN_SUCCESS);
}

TEST(EsCalls, RejectMissingArguments) {
  EXPECT_EQ(es_new_client(nullptr, [](es_client_t*, const es_message_t*) {}),
            ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT);
  es_client_t* client = nullptr;
  EXPECT_EQ(es_new_client(&client, nullptr), ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(es_subscribe(nullptr, nullptr, 0), ES_RETURN_ERROR);
  EXPECT_EQ(es_delete_client(nullptr), ES_RETURN_ERROR);
  EXPECT_EQ(es_clear_cache(nullptr), ES_CLEAR_CACHE_RESULT_ERR_INTERNAL);
  EXPECT_EQ(es_respond_auth_result(nullptr, nullptr, ES_AUTH_RESULT_ALLOW, false),
            ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT);
}

}  // namespace
