// A hand fake of the event source: records every es_* call in order and answers with scripted
// results, so the entry code's setup paths can be driven one by one.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/endpoint_security/Backend.h"

namespace testing_es {

class FakeEndpointSecurity final : public platform::es::Backend {
 public:
  struct Call {
    std::string name;  // "new_client", "clear_cache", "subscribe", ...
    es_client_t* client = nullptr;
    std::vector<es_event_type_t> events = {};
    es_auth_result_t result = ES_AUTH_RESULT_ALLOW;
    bool cache = false;
  };

  // Results handed out in order; once used up, every call succeeds.
  std::deque<es_new_client_result_t> newClientResults;
  std::deque<es_clear_cache_result_t> clearCacheResults;
  es_return_t subscribeResult = ES_RETURN_SUCCESS;
  es_respond_result_t respondResult = ES_RESPOND_RESULT_SUCCESS;
  // Runs inside es_respond_auth_result, before it returns.
  std::function<void()> onRespond;

  std::vector<Call> calls;
  // The handler of every client created, in creation order.
  std::vector<es_handler_block_t> handlers;
  std::vector<es_client_t*> created;

  std::vector<std::string> callNames() const {
    std::vector<std::string> names;
    for (const auto& c : calls) names.push_back(c.name);
    return names;
  }
  bool isLive(const es_client_t* client) const {
    for (const auto& c : live_) {
      if (c.get() == client) return true;
    }
    return false;
  }

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override {
    calls.push_back(Call{"new_client", nullptr});
    es_new_client_result_t result = ES_NEW_CLIENT_RESULT_SUCCESS;
    if (!newClientResults.empty()) {
      result = newClientResults.front();
      newClientResults.pop_front();
    }
    if (result != ES_NEW_CLIENT_RESULT_SUCCESS) return result;
    live_.push_back(std::make_unique<es_client_t>(*this));
    *client = live_.back().get();
    calls.back().client = *client;
    created.push_back(*client);
    handlers.push_back(std::move(handler));
    return result;
  }
  es_clear_cache_result_t clearCache(es_client_t* client) override {
    calls.push_back(Call{"clear_cache", client});
    if (clearCacheResults.empty()) return ES_CLEAR_CACHE_RESULT_SUCCESS;
    const auto result = clearCacheResults.front();
    clearCacheResults.pop_front();
    return result;
  }
  es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                        std::uint32_t count) override {
    calls.push_back({"subscribe", client, {events, events + count}});
    return subscribeResult;
  }
  es_return_t unsubscribe(es_client_t* client, const es_event_type_t* events,
                          std::uint32_t count) override {
    calls.push_back({"unsubscribe", client, {events, events + count}});
    return ES_RETURN_SUCCESS;
  }
  es_return_t deleteClient(es_client_t* client) override {
    calls.push_back(Call{"delete_client", client});
    for (auto& c : live_) {
      if (c.get() == client) {
        // Kept until the fake goes, so a later client never reuses the address.
        deleted_.push_back(std::move(c));
        return ES_RETURN_SUCCESS;
      }
    }
    return ES_RETURN_ERROR;
  }
  es_respond_result_t respondAuthResult(es_client_t* client, const es_message_t*,
                                        es_auth_result_t result, bool cache) override {
    calls.push_back({"respond_auth_result", client, {}, result, cache});
    if (onRespond) onRespond();
    return respondResult;
  }

 private:
  std::vector<std::unique_ptr<es_client_t>> live_;
  std::vector<std::unique_ptr<es_client_t>> deleted_;
};

}  // namespace testing_es
