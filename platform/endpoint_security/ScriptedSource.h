// An event source for tests: it delivers the messages a test posts, with the same contract as
// the kernel source. Each client has its own delivery thread that calls the handler one message
// at a time; only messages of the client's subscribed types reach it; what a message points to
// is released right after the handler call. Authorization messages are remembered while their
// handler call runs, so es_respond_auth_result can be checked and recorded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/endpoint_security/Backend.h"

namespace platform::es {

class ScriptedSource final : public Backend {
 public:
  struct Response {
    es_event_type_t eventType;
    es_auth_result_t result;
    bool cache;
  };

  ScriptedSource();
  ~ScriptedSource() override;

  // Hands `message` to every live client subscribed to its type. `storage` owns what the
  // message points to (the message included) and is released once every handler call is over.
  void post(std::shared_ptr<const void> storage, const es_message_t* message);
  // Returns once every message posted so far has been handled or dropped.
  void drain();

  // What es_respond_auth_result answers to an authorization message being handled.
  void setRespondResult(es_respond_result_t result);
  std::vector<Response> responses() const;
  // Handler calls made so far, over all clients.
  std::uint64_t delivered() const;

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override;
  es_clear_cache_result_t clearCache(es_client_t* client) override;
  es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                        std::uint32_t count) override;
  es_return_t unsubscribe(es_client_t* client, const es_event_type_t* events,
                          std::uint32_t count) override;
  es_return_t deleteClient(es_client_t* client) override;
  es_respond_result_t respondAuthResult(es_client_t* client, const es_message_t* message,
                                        es_auth_result_t result, bool cache) override;

 private:
  class Client;
  struct Posted {
    std::shared_ptr<const void> storage;
    const es_message_t* message;
  };

  void run(Client& client);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::set<Client*> clients_;
  std::set<const es_message_t*> awaitingAnswer_;
  std::set<const es_message_t*> answered_;
  std::vector<Response> responses_;
  es_respond_result_t respondResult_ = ES_RESPOND_RESULT_SUCCESS;
  std::uint64_t delivered_ = 0;
};

}  // namespace platform::es
