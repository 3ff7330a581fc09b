// The event source of this machine as clients see it: every client composes one process source
// (exec, fork, exit; it decides whether a client can be created at all) with the other sources,
// each started when a kind it produces is first subscribed. A source that cannot run here logs
// why once and leaves its kinds silent; the client goes on.
//
// Each client has one delivery thread that calls the handler one message at a time, fed by a
// bounded queue shared by all its sources. When the handler falls behind the sources wait, their
// own buffers fill, and each counts and logs what it loses. A source may also call the handler on
// its own thread when nothing waits ahead of its event (EventSink::deliverNow); the calls stay
// one at a time and in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/endpoint_security/Backend.h"
#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

class PackageIndexWatcher;
class ProcessTable;

struct SourceBackendOptions {
  // Events waiting for the handler: at most this many, holding at most this many bytes.
  std::size_t queueCapacity = 4096;
  std::size_t queueBytes = 8 << 20;
  std::string dpkgDir = "/var/lib/dpkg";
  std::chrono::milliseconds dpkgQuiet = std::chrono::seconds(1);
  // The table the clients' process sources keep; null gives each client a table of its own.
  // The agent shares its table with the process-table answers.
  ProcessTable* processes = nullptr;
};

class SourceBackend final : public Backend {
 public:
  SourceBackend(SourceFactory processSource, std::vector<SourceFactory> otherSources,
                SourceBackendOptions options = {});
  ~SourceBackend() override;

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
  const PackageIndexWatcher& packages();

  const SourceFactory processSource_;
  const std::vector<SourceFactory> otherSources_;
  const SourceBackendOptions options_;
  std::mutex mutex_;
  std::unique_ptr<PackageIndexWatcher> packages_;  // created with the first client
};

}  // namespace platform::es
