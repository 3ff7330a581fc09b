// A client of the agent's service for tests: connects by the service name (in the installed
// services directory), says hello so the agent takes the connection in, and collects every event
// document it is sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/xpc/NSXPC.h"
#include "shared/ipc/Protocols.h"

namespace testing_agent {

class ServiceClient final : public ipc::SystemExtensionsToApp {
 public:
  ~ServiceClient() override {
    if (connection_) connection_->invalidate();
  }

  // Returns true once the agent answered the handshake.
  bool connect(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    connection_ = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
    connection_->setExportedInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    connection_->setExportedObject(this);
    connection_->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    connection_->setInvalidationHandler([this] {
      std::lock_guard lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
    connection_->resume();
    auto answered = std::make_shared<std::promise<std::string>>();
    auto proxy = connection_->remoteObjectProxyWithErrorHandler([answered](const NSError& error) {
      try {
        answered->set_value("error: " + error.localizedDescription);
      } catch (const std::future_error&) {
      }
    });
    proxy->establishConnection2WithMessage("test", [answered](const ipc::NSString& reply) {
      try {
        answered->set_value(reply);
      } catch (const std::future_error&) {
      }
    });
    auto future = answered->get_future();
    return future.wait_for(timeout) == std::future_status::ready &&
           future.get() == ipc::kEstablishedReply;
  }

  // The first document for which `match` holds, waiting up to `timeout` for it.
  template <class Match>
  std::optional<std::string> waitFor(Match match,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
      for (const auto& d : documents_) {
        if (match(d)) {
          found = d;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  bool waitForCount(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return documents_.size() >= count; });
  }

  // The process-table answer, or nothing when the call failed or took too long.
  std::optional<std::string> procTable(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto answered = std::make_shared<std::promise<std::optional<std::string>>>();
    auto proxy = connection_->remoteObjectProxyWithErrorHandler([answered](const NSError&) {
      try {
        answered->set_value(std::nullopt);
      } catch (const std::future_error&) {
      }
    });
    proxy->establishConnectionAndGetProcTableWithMessage("test",
                                                         [answered](const ipc::NSData& table) {
                                                           try {
                                                             answered->set_value(table);
                                                           } catch (const std::future_error&) {
                                                           }
                                                         });
    auto future = answered->get_future();
    if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  // The agent's answer to a subscription, or nothing when the call failed or took too long.
  std::optional<std::string> subscribe(
      const std::string& filter, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return ask(timeout, [&](auto& proxy, auto answer) {
      proxy.subscribeToEventsWithFilter(filter, answer);
    });
  }

  // The handshake once more: its answer follows every document queued before it.
  std::optional<std::string> ping(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return ask(timeout, [&](auto& proxy, auto answer) {
      proxy.establishConnection2WithMessage("test", answer);
    });
  }

  // Waits until the agent has closed the connection.
  bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_; });
  }

  std::vector<std::string> documents() const {
    std::lock_guard lock(mutex_);
    return documents_;
  }

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    std::lock_guard lock(mutex_);
    documents_.push_back(msg);
    changed_.notify_all();
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  template <class Call>
  std::optional<std::string> ask(std::chrono::milliseconds timeout, Call call) {
    auto answered = std::make_shared<std::promise<std::optional<std::string>>>();
    const auto settle = [answered](std::optional<std::string> value) {
      try {
        answered->set_value(std::move(value));
      } catch (const std::future_error&) {
      }
    };
    auto proxy = connection_->remoteObjectProxyWithErrorHandler(
        [settle](const NSError&) { settle(std::nullopt); });
    call(*proxy, [settle](const std::string& reply) { settle(reply); });
    auto future = answered->get_future();
    if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> documents_;
  bool ended_ = false;
  std::shared_ptr<NSXPCConnection> connection_;
};

}  // namespace testing_agent
