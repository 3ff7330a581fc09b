// One connection of the application to the agent's service: the handshake, the agent's event
// documents as they come, and the process-table request. The documents are handed over on the
// connection's own thread, as they arrive; everything else is told on the main queue. Open,
// use and destroy a session on the main thread; destroying it closes the connection and waits
// for its thread, and nothing is told after that.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "shared/ipc/Protocols.h"
#include "shared/ipc/Subscription.h"

class NSXPCConnection;
struct NSError;

namespace app {

// Why the agent's service could not be used, as the window words it.
struct AgentUnreachable {
  enum class Reason { notRunning, accessDenied, failed };
  Reason reason = Reason::failed;
  std::string description;  // a sentence for the window
};

// How a connection error reads: nobody serving the name means the agent does not run; a socket
// we may not open, or a listener that hangs up on our credentials, means access is denied.
AgentUnreachable classifyConnectionError(const NSError& error);

class AgentSession {
 public:
  struct Handlers {
    std::function<void(const ipc::NSData&)> document;    // on the connection's thread
    std::function<void()> established;                   // on the main queue
    std::function<void(const AgentUnreachable&)> ended;  // on the main queue, at most once
  };

  // Connects to the named service and says hello; the agent sends events from then on.
  static std::unique_ptr<AgentSession> open(std::string_view serviceName, Handlers handlers);
  ~AgentSession();
  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;

  // The agent's process-table document, or nullopt with the reason, on the main queue.
  void requestProcessTable(
      std::function<void(std::optional<std::string>, const AgentUnreachable&)> reply);

  // Asks the agent to send only what `subscription` names from its answer on. A refusal is
  // written to the log; the agent then keeps sending what it sent before.
  void subscribe(const ipc::Subscription& subscription);

  struct Shared;

 private:
  AgentSession(std::shared_ptr<Shared> shared, std::shared_ptr<NSXPCConnection> connection);

  std::shared_ptr<Shared> shared_;
  std::shared_ptr<NSXPCConnection> connection_;
};

}  // namespace app
