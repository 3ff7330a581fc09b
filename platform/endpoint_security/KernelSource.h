// The event source fed by this machine's kernel: the netlink process connector reports exec,
// fork and exit of every process; each message is completed from /proc (ids, start time,
// executable with its identity, arguments and environment) and from a process cache filled at
// client creation.
//
// Each client has a reader thread, which receives and completes messages as soon as the kernel
// sends them (a process may be gone a moment later), and a delivery thread, which calls the
// handler one message at a time. Between the two sits a bounded queue; when the handler falls
// behind, the reader stops reading and the kernel drops messages, which the per-CPU sequence
// numbers reveal. Every such loss is counted and logged as one line with the number of messages
// lost, the process cache is read again from /proc, and delivery goes on.
//
// Result codes of es_new_client: not running as root -> ERR_NOT_PRIVILEGED; root without the
// CAP_NET_ADMIN capability (the permission this source needs, as an entitlement would be) ->
// ERR_NOT_ENTITLED; the kernel refusing the connector subscription (for example from a user
// namespace) -> ERR_NOT_PERMITTED; a kernel without the connector or other failures ->
// ERR_INTERNAL.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/endpoint_security/Backend.h"

namespace platform::es {

class PackageIndexWatcher;

struct KernelOptions {
  int receiveBufferBytes = 8 << 20;
  // Completed messages waiting for the handler: at most this many, holding at most this many
  // argument and environment bytes.
  std::size_t queueCapacity = 4096;
  std::size_t queueBytes = 2 << 20;
  std::string dpkgDir = "/var/lib/dpkg";
  std::chrono::milliseconds dpkgQuiet = std::chrono::seconds(1);
};

class KernelBackend final : public Backend {
 public:
  static KernelBackend& shared();

  explicit KernelBackend(KernelOptions options = {});
  ~KernelBackend() override;

  es_new_client_result_t newClient(es_client_t** client, es_handler_block_t handler) override;
  es_clear_cache_result_t clearCache(es_client_t* client) override;
  es_return_t subscribe(es_client_t* client, const es_event_type_t* events,
                        std::uint32_t count) override;
  es_return_t unsubscribe(es_client_t* client, const es_event_type_t* events,
                          std::uint32_t count) override;
  es_return_t deleteClient(es_client_t* client) override;
  es_respond_result_t respondAuthResult(es_client_t* client, const es_message_t* message,
                                        es_auth_result_t result, bool cache) override;

  // Connector messages lost so far by `client` (a client of this backend).
  static std::uint64_t lostMessages(es_client_t* client);

 private:
  const PackageIndexWatcher& packages();

  const KernelOptions options_;
  std::mutex mutex_;
  std::unique_ptr<PackageIndexWatcher> packages_;  // created with the first client
};

}  // namespace platform::es
