// An in-memory transport for tests of code written against NSXPCListener/NSXPCConnection: a
// test plays the clients. Everything runs on the calling thread; error handlers run inside the
// failing send.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/Transport.h"

namespace xpc {

class MemoryChannel;

class MemoryTransport final : public Transport {
 public:
  class Peer;

  std::unique_ptr<Service> listen(std::string_view name, AcceptHandler accept) override;
  // Clients are made with attach(); a connection by name finds nobody.
  std::shared_ptr<Channel> connect(std::string_view name) override;

  // A client opens a connection to `name`. The listener hears of it on the client's first call.
  std::shared_ptr<Peer> attach(std::string_view name);

 private:
  friend class MemoryService;
  std::shared_ptr<const AcceptHandler> listenerFor(const std::string& name) const;

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const AcceptHandler>> listeners_;
  pid_t nextPid_ = 1000;
};

// One client, driven by a test.
class MemoryTransport::Peer {
 public:
  struct Report {
    std::string member;
    std::string payload;
    friend bool operator==(const Report&, const Report&) = default;
  };

  Peer(std::shared_ptr<const AcceptHandler> accept, std::shared_ptr<MemoryChannel> channel);
  ~Peer();

  // Calls a method of AppToSystemExtensions on the listener's exported object; the first call
  // hands the connection to the listener. The reply, or nothing when the call was not delivered
  // (no listener, refused, not resumed, gone) or not answered at once.
  std::optional<std::string> call(std::string_view member, const std::string& argument);

  std::vector<Report> reports() const;
  // Payloads of reportEndpointMessageWithMsg, in arrival order.
  std::vector<std::string> endpointMessages() const;

  // Sends to this client fail from now on, as to a client that died unnoticed.
  void failSends(bool fail = true);
  // Whether this client exports SystemExtensionsToApp (it does unless told otherwise).
  void setImplementsReports(bool implements);
  // Runs on each report this client receives, after it is recorded, on the sending thread.
  void onReport(std::function<void(const Report&)> hook);
  // The client goes away: the connection's invalidation handler runs.
  void disconnect();
  // The connection's interruption handler runs.
  void interrupt();

  // The pid the listener sees for this client (distinct per client).
  pid_t processIdentifier() const;
  // Whether the listener was handed this connection and accepted it.
  bool accepted() const;
  // Whether the listener side let go of the connection object.
  bool released() const;

 private:
  std::shared_ptr<const AcceptHandler> accept_;
  std::shared_ptr<MemoryChannel> channel_;
};

}  // namespace xpc
