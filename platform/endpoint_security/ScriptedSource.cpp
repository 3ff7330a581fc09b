#include "platform/endpoint_security/ScriptedSource.h"

namespace platform::es {

class ScriptedSource::Client final : public es_client_t {
 public:
  Client(ScriptedSource& owner, es_handler_block_t handler)
      : es_client_t(owner), handler(std::move(handler)) {}

  const es_handler_block_t handler;
  std::set<es_event_type_t> subscribed;  // guarded by the source's mutex
  std::deque<Posted> queue;              // guarded by the source's mutex
  bool busy = false;                     // a handler call is running
  bool stopping = false;
  std::thread thread;
};

ScriptedSource::ScriptedSource() = default;

ScriptedSource::~ScriptedSource() {
  std::set<Client*> remaining;
  {
    std::lock_guard lock(mutex_);
    remaining = clients_;
  }
  for (Client* client : remaining) deleteClient(client);
}

void ScriptedSource::post(std::shared_ptr<const void> storage, const es_message_t* message) {
  {
    std::lock_guard lock(mutex_);
    for (Client* client : clients_) {
      if (client->subscribed.count(message->event_type) != 0) {
        client->queue.push_back(Posted{storage, message});
      }
    }
  }
  changed_.notify_all();
}

void ScriptedSource::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    for (const Client* client : clients_) {
      if (!client->queue.empty() || client->busy) return false;
    }
    return true;
  });
}

void ScriptedSource::setRespondResult(es_respond_result_t result) {
  std::lock_guard lock(mutex_);
  respondResult_ = result;
}

std::vector<ScriptedSource::Response> ScriptedSource::responses() const {
  std::lock_guard lock(mutex_);
  return responses_;
}

std::uint64_t ScriptedSource::delivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

void ScriptedSource::run(Client& client) {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return client.stopping || !client.queue.empty(); });
    if (client.stopping) return;
    Posted next = std::move(client.queue.front());
    client.queue.pop_front();
    client.busy = true;
    const bool auth = next.message->action_type == ES_ACTION_TYPE_AUTH;
    if (auth) awaitingAnswer_.insert(next.message);
    lock.unlock();
    client.handler(&client, next.message);
    lock.lock();
    if (auth) {
      awaitingAnswer_.erase(next.message);
      answered_.erase(next.message);
    }
    ++delivered_;
    next.storage.reset();  // the message's storage lives only for the call
    client.busy = false;
    changed_.notify_all();
  }
}

es_new_client_result_t ScriptedSource::newClient(es_client_t** client, es_handler_block_t handler) {
  auto* created = new Client(*this, std::move(handler));
  {
    std::lock_guard lock(mutex_);
    clients_.insert(created);
  }
  created->thread = std::thread([this, created] { run(*created); });
  *client = created;
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_clear_cache_result_t ScriptedSource::clearCache(es_client_t*) {
  return ES_CLEAR_CACHE_RESULT_SUCCESS;
}

es_return_t ScriptedSource::subscribe(es_client_t* client, const es_event_type_t* events,
                                      std::uint32_t count) {
  auto* scripted = dynamic_cast<Client*>(client);
  if (scripted == nullptr) return ES_RETURN_ERROR;
  std::lock_guard lock(mutex_);
  scripted->subscribed.insert(events, events + count);
  return ES_RETURN_SUCCESS;
}

es_return_t ScriptedSource::unsubscribe(es_client_t* client, const es_event_type_t* events,
                                        std::uint32_t count) {
  auto* scripted = dynamic_cast<Client*>(client);
  if (scripted == nullptr) return ES_RETURN_ERROR;
  std::lock_guard lock(mutex_);
  for (std::uint32_t i = 0; i < count; ++i) scripted->subscribed.erase(events[i]);
  return ES_RETURN_SUCCESS;
}

es_return_t ScriptedSource::deleteClient(es_client_t* client) {
  auto* scripted = dynamic_cast<Client*>(client);
  if (scripted == nullptr || std::this_thread::get_id() == scripted->thread.get_id()) {
    return ES_RETURN_ERROR;
  }
  {
    std::lock_guard lock(mutex_);
    if (clients_.erase(scripted) == 0) return ES_RETURN_ERROR;
    scripted->stopping = true;
  }
  changed_.notify_all();
  scripted->thread.join();
  delete scripted;
  changed_.notify_all();
  return ES_RETURN_SUCCESS;
}

es_respond_result_t ScriptedSource::respondAuthResult(es_client_t* client,
                                                      const es_message_t* message,
                                                      es_auth_result_t result, bool cache) {
  if (dynamic_cast<Client*>(client) == nullptr) return ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT;
  std::lock_guard lock(mutex_);
  if (message->action_type != ES_ACTION_TYPE_AUTH) return ES_RESPOND_RESULT_ERR_EVENT_TYPE;
  if (awaitingAnswer_.count(message) == 0) return ES_RESPOND_RESULT_NOT_FOUND;
  if (!answered_.insert(message).second) return ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE;
  responses_.push_back(Response{message->event_type, result, cache});
  return respondResult_;
}

}  // namespace platform::es
