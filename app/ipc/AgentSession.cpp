#include "app/ipc/AgentSession.h"

#include <atomic>
#include <cerrno>

#include "platform/log/Log.h"
#include "platform/system_extensions/SystemExtensions.h"
#include "platform/xpc/NSXPC.h"

namespace app {

// What the connection's thread and the main queue share. `alive` is only read and written on
// the main thread, so a block queued before the session went away sees that it did.
struct AgentSession::Shared final : ipc::SystemExtensionsToApp {
  explicit Shared(Handlers h) : handlers(std::move(h)) {}

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    if (handlers.document) handlers.document(msg);
  }
  // Declared by the protocol; the agent never sends these.
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

  // Runs `block` on the main queue unless the session is gone by then.
  void onMain(std::function<void(Shared&)> block) {
    dispatch_async(dispatch_get_main_queue(), [weak = weakSelf(), block = std::move(block)] {
      if (auto self = weak.lock(); self && self->alive) block(*self);
    });
  }
  void end(AgentUnreachable why) {
    if (ended.exchange(true)) return;
    onMain([why = std::move(why)](Shared& self) {
      if (self.handlers.ended) self.handlers.ended(why);
    });
  }
  std::weak_ptr<Shared> weakSelf() { return self; }

  Handlers handlers;
  std::weak_ptr<Shared> self;
  std::atomic<bool> ended{false};
  std::atomic<bool> established{false};
  bool alive = true;  // main thread only
};

AgentUnreachable classifyConnectionError(const NSError& error) {
  using Reason = AgentUnreachable::Reason;
  switch (error.code) {
    case ENOENT:
    case ECONNREFUSED:
      return {Reason::notRunning, "The agent is not running."};
    case EACCES:
    case EPERM:
    case ECONNABORTED:
      return {Reason::accessDenied, "The agent's service does not admit this user."};
    default:
      return {Reason::failed,
              "The agent's service could not be reached: " + error.localizedDescription};
  }
}

std::unique_ptr<AgentSession> AgentSession::open(std::string_view serviceName, Handlers handlers) {
  auto shared = std::make_shared<Shared>(std::move(handlers));
  shared->self = shared;
  auto connection = NSXPCConnection::initWithMachServiceName(serviceName);
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  connection->setExportedObject(static_cast<ipc::SystemExtensionsToApp*>(shared.get()));
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  const std::weak_ptr<Shared> weak = shared;
  // Before the handshake is answered, the handshake's own error says why the connection failed.
  const auto gone = [weak] {
    if (auto s = weak.lock(); s && s->established)
      s->end({AgentUnreachable::Reason::notRunning, "The agent stopped serving."});
  };
  connection->setInvalidationHandler(gone);
  connection->setInterruptionHandler(gone);
  connection->resume();

  auto proxy = connection->remoteObjectProxyWithErrorHandler([weak](const NSError& error) {
    if (auto s = weak.lock()) s->end(classifyConnectionError(error));
  });
  proxy->establishConnection2WithMessage("Corvane Endpoint", [weak](const ipc::NSString& reply) {
    auto s = weak.lock();
    if (!s) return;
    if (reply != ipc::kEstablishedReply) {
      s->end({AgentUnreachable::Reason::failed,
              "The agent's service gave an unexpected answer: \"" + reply + "\"."});
      return;
    }
    s->established = true;
    s->onMain([](Shared& self) {
      if (self.handlers.established) self.handlers.established();
    });
  });
  return std::unique_ptr<AgentSession>(new AgentSession(std::move(shared), std::move(connection)));
}

AgentSession::AgentSession(std::shared_ptr<Shared> shared,
                           std::shared_ptr<NSXPCConnection> connection)
    : shared_(std::move(shared)), connection_(std::move(connection)) {}

AgentSession::~AgentSession() {
  shared_->alive = false;
  // The last reference: closes the connection and waits for its thread.
  connection_.reset();
}

void AgentSession::requestProcessTable(
    std::function<void(std::optional<std::string>, const AgentUnreachable&)> reply) {
  auto answer = std::make_shared<decltype(reply)>(std::move(reply));
  auto once = std::make_shared<std::atomic<bool>>(false);
  const std::weak_ptr<Shared> weak = shared_;
  auto proxy =
      connection_->remoteObjectProxyWithErrorHandler([weak, answer, once](const NSError& error) {
        auto s = weak.lock();
        if (!s || once->exchange(true)) return;
        s->onMain([answer, why = classifyConnectionError(error)](Shared&) {
          (*answer)(std::nullopt, why);
        });
      });
  proxy->establishConnectionAndGetProcTableWithMessage(
      "Corvane Endpoint", [weak, answer, once](const ipc::NSData& table) {
        auto s = weak.lock();
        if (!s || once->exchange(true)) return;
        s->onMain([answer, table](Shared&) {
          if (table == ipc::kProcTableFailureReply)
            (*answer)(std::nullopt, {AgentUnreachable::Reason::failed,
                                     "The agent could not take the process table."});
          else
            (*answer)(table, {});
        });
      });
}

void AgentSession::subscribe(const ipc::Subscription& subscription) {
  // A failed connection is told through the session's own handlers; only a refusal is new here.
  auto proxy = connection_->remoteObjectProxyWithErrorHandler([](const NSError&) {});
  proxy->subscribeToEventsWithFilter(
      ipc::encodeSubscription(subscription), [](const ipc::NSString& reply) {
        if (reply != ipc::kSubscribedReply) {
          os_log(OS_LOG_DEFAULT, "Events: the agent refused the subscription: %{public}s",
                 reply.c_str());
        }
      });
}

}  // namespace app
