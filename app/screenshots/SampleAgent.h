// A stand-in for the agent's service, for the screenshots, the application's tests and its
// benchmark: publishes the service name over the system transport (in the installed services
// directory), answers the handshake and the process-table request, and sends event documents to
// every client that said hello. The documents are made up but have the agent's form, several kinds.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/xpc/NSXPC.h"
#include "shared/ipc/Subscription.h"

namespace app::sample {

// Document number `n`: kinds take turns (exec, fork, exit, ssh, login, launch item, ...).
std::string eventDocument(std::size_t n);
std::string processTableDocument();

class SampleAgent final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  explicit SampleAgent(std::string serviceName);
  ~SampleAgent() override;

  bool listening() const { return listener_ && listener_->isListening(); }
  // Sends one document to every client that said hello and wants its kind; returns how many it
  // went to.
  std::size_t broadcast(const std::string& document);
  std::size_t clients() const;
  // The subscriptions asked for so far, as they came.
  std::vector<std::string> subscriptions() const;
  // The process-table answer; "Hello" makes it the failure answer.
  void setProcessTable(std::string document);

  bool shouldAcceptNewConnection(NSXPCListener& listener,
                                 std::shared_ptr<NSXPCConnection> connection) override;
  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override;
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString& message, std::function<void(const ipc::NSData&)> reply) override;
  // Honours the kinds asked for; the executable path is not looked at.
  void subscribeToEventsWithFilter(const ipc::NSString& filter,
                                   std::function<void(const ipc::NSString&)> reply) override;

 private:
  struct Client {
    std::shared_ptr<NSXPCConnection> connection;
    std::shared_ptr<NSXPCRemoteObjectProxy> proxy;
    std::shared_ptr<const ipc::Subscription> filter;  // guarded by mutex_; null: everything
  };

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Client>> clients_;  // guarded by mutex_
  std::string processTable_;                      // guarded by mutex_
  std::vector<std::string> subscriptions_;        // guarded by mutex_
  std::unique_ptr<NSXPCListener> listener_;
};

}  // namespace app::sample
