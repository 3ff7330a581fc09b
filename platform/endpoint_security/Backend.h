// The seam behind the es_* calls: every call is forwarded to the backend installed with
// platform::ScopedOverride<platform::es::Backend> (the agent's main installs the machine's
// sources; tests install a scripted source or a fake). With none installed, client creation
// fails with ES_NEW_CLIENT_RESULT_ERR_INTERNAL.
#pragma once

#include <cstdint>

#include "platform/Override.h"
#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es {

class Backend;

}  // namespace platform::es

// A client belongs to the backend that created it; calls on it go to that backend even when
// another backend has been installed since.
struct es_client_t {
  explicit es_client_t(platform::es::Backend& owner) : backend(owner) {}
  virtual ~es_client_t() = default;
  es_client_t(const es_client_t&) = delete;
  es_client_t& operator=(const es_client_t&) = delete;

  platform::es::Backend& backend;
};

namespace platform::es {

class Backend {
 public:
  static constexpr const char* kFacility = "event source";
  virtual ~Backend() = default;
  virtual es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) = 0;
  virtual es_clear_cache_result_t clearCache(es_client_t* client) = 0;
  virtual es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                                std::uint32_t count) = 0;
  virtual es_return_t unsubscribe(es_client_t* client, const es_event_type_t* events,
                                  std::uint32_t count) = 0;
  // Destroys the client; no handler call for it runs once this returns.
  virtual es_return_t deleteClient(es_client_t* client) = 0;
  virtual es_respond_result_t respondAuthResult(es_client_t* client, const es_message_t* message,
                                                es_auth_result_t result, bool cache) = 0;
};

}  // namespace platform::es
