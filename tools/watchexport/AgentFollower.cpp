// The follower's thread: one connection at a time, with a growing pause between attempts.
#include "tools/watchexport/AgentFollower.h"

#include "ipc/Identifiers.h"
#include "platform/log/Log.h"
#include "platform/xpc/NSXPC.h"

namespace watchexport {

using namespace std::chrono_literals;

AgentFollower::~AgentFollower() {
  stop();
}

void AgentFollower::start() {
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void AgentFollower::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  changed_.notify_all();
  thread_.join();
}

void AgentFollower::reportEndpointMessageWithMsg(const ipc::NSData& msg) {
  listener_.documentArrived(msg);
}

void AgentFollower::run(std::stop_token stop) {
  auto pause = 100ms;
  while (!stop.stop_requested()) {
    if (follow(stop)) pause = 100ms;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, stop, pause, [] { return false; });
    pause = std::min(pause * 2, std::chrono::milliseconds(2000));
  }
}

bool AgentFollower::follow(std::stop_token stop) {
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = ++generation_;
    answered_ = false;
    ended_ = false;
  }
  // Handlers of an earlier connection that run late must not end this one.
  auto end = [this, generation] {
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) return;
      ended_ = true;
    }
    changed_.notify_all();
  };
  auto connection = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  connection->setExportedObject(this);
  connection->setInterruptionHandler(end);
  connection->setInvalidationHandler(end);
  connection->resume();
  auto agent = connection->remoteObjectProxyWithErrorHandler([end](const NSError&) { end(); });
  if (subscription_ != ipc::Subscription{}) {
    // Answered before the handshake, so no document of another kind follows the hello.
    agent->subscribeToEventsWithFilter(
        ipc::encodeSubscription(subscription_), [end](const ipc::NSString& reply) {
          if (reply == ipc::kSubscribedReply) return;
          platform::log::write("watchexport: the agent refused the kinds asked for: " + reply);
          end();
        });
  }
  agent->establishConnection2WithMessage("watchexport",
                                         [this, generation, end](const ipc::NSString& reply) {
                                           if (reply != ipc::kEstablishedReply) return end();
                                           {
                                             std::lock_guard lock(mutex_);
                                             if (generation != generation_) return;
                                             answered_ = true;
                                           }
                                           // Replies and reports share the connection's thread, so
                                           // this runs before any document.
                                           listener_.agentConnected();
                                           changed_.notify_all();
                                         });

  bool answered;
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, stop, 10s, [&] { return answered_ || ended_; });
    if (answered_) changed_.wait(lock, stop, [&] { return ended_; });
    answered = answered_;
  }
  connection->invalidate();
  {
    std::lock_guard lock(mutex_);
    ++generation_;
  }
  if (answered && !stop.stop_requested()) listener_.agentLost();
  return answered;
}

}  // namespace watchexport
