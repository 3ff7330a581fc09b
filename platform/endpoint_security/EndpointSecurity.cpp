#include "platform/endpoint_security/EndpointSecurity.h"

#include "platform/endpoint_security/Backend.h"

es_new_client_result_t es_new_client(es_client_t** client, es_handler_block_t handler) {
  if (client == nullptr || !handler) return ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT;
  platform::es::Backend* backend = platform::Installed<platform::es::Backend>::find();
  if (backend == nullptr) return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  return backend->newClient(client, std::move(handler));
}

es_clear_cache_result_t es_clear_cache(es_client_t* client) {
  if (client == nullptr) return ES_CLEAR_CACHE_RESULT_ERR_INTERNAL;
  return client->backend.clearCache(client);
}

es_return_t es_subscribe(es_client_t* client, const es_event_type_t* events, std::uint32_t count) {
  if (client == nullptr || (events == nullptr && count != 0)) return ES_RETURN_ERROR;
  return client->backend.subscribe(client, events, count);
}

es_return_t es_unsubscribe(es_client_t* client, const es_event_type_t* events,
                           std::uint32_t count) {
  if (client == nullptr || (events == nullptr && count != 0)) return ES_RETURN_ERROR;
  return client->backend.unsubscribe(client, events, count);
}

es_return_t es_delete_client(es_client_t* client) {
  if (client == nullptr) return ES_RETURN_ERROR;
  return client->backend.deleteClient(client);
}

es_respond_result_t es_respond_auth_result(es_client_t* client, const es_message_t* message,
                                           es_auth_result_t result, bool cache) {
  if (client == nullptr || message == nullptr) return ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT;
  return client->backend.respondAuthResult(client, message, result, cache);
}
