// Keeps the exporter connected to the local agent's service as an ordinary client: connects,
// says hello, passes on every event document, and when the agent goes away (restart, crash)
// connects again until it answers. It may ask for some kinds only. What the agent reports while no
// connection is up never reaches the exporter; the listener hears when a connection is made and
// lost so it can record the gap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "shared/ipc/Protocols.h"
#include "shared/ipc/Subscription.h"

class NSXPCConnection;

namespace watchexport {

class AgentFollower final : public ipc::SystemExtensionsToApp {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // On the connection's thread, before the first document of the connection.
    virtual void agentConnected() = 0;
    // On the connection's thread, one at a time, in the agent's order.
    virtual void documentArrived(const ipc::NSData& document) = 0;
    // On the follower's thread, once per connection that had been made.
    virtual void agentLost() = 0;
  };

  // Each connection asks the agent for what `subscription` names (everything by default).
  explicit AgentFollower(Listener& listener, ipc::Subscription subscription = {})
      : listener_(listener), subscription_(std::move(subscription)) {}
  ~AgentFollower() override;
  AgentFollower(const AgentFollower&) = delete;
  AgentFollower& operator=(const AgentFollower&) = delete;

  void start();
  void stop();

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override;
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  void run(std::stop_token stop);
  // One connection from hello to its end; true when the agent answered.
  bool follow(std::stop_token stop);

  Listener& listener_;
  const ipc::Subscription subscription_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::uint64_t generation_ = 0;
  bool answered_ = false;
  bool ended_ = false;
  std::jthread thread_;
};

}  // namespace watchexport
