#include "agent/ipc/IPCForAgent.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/ipc/LineLimiter.h"
#include "agent/ipc/ProcTable.h"
#include "agent/model/JsonEncoding.h"
#include "ipc/Identifiers.h"
#include "platform/log/Log.h"
#include "platform/xpc/PayloadPool.h"
#include "platform/xpc/Transport.h"

namespace agent {
namespace {

// A handler that forgets `connection`; it holds the connection weakly, so a handler that runs
// after the connection was removed and released finds nothing to do.
std::function<void()> remover(IPCForAgent* self, const IPCForAgent::Connection& connection) {
  return [self, weak = std::weak_ptr<NSXPCConnection>(connection)] {
    if (auto strong = weak.lock()) self->currentConnections.erase(strong);
  };
}

// Whether a connection with `filter` wants `message`: its kind, and for the process kinds the
// executable (the process's own, or for an exec the program executed).
bool wants(const ipc::Subscription& filter, const model::EsMessage& message) {
  if (!filter.wantsKind(message.eventType)) return false;
  if (filter.executablePath.empty() || !ipc::isProcessKind(message.eventType)) return true;
  return filter.wantsExecutable(message.process.exectuable.path) ||
         (message.exec && filter.wantsExecutable(message.exec->target.exectuable.path));
}

}  // namespace

void IPCForAgent::ConnectionSet::insert(const Connection& connection) {
  bool changed = false;
  Members old;
  {
    std::lock_guard lock(mutex_);
    connections_.emplace(connection, State{});
    changed = recomputeWanted();
    refreshMembers(old);
  }
  if (changed) tellWantedChanged();
}

void IPCForAgent::ConnectionSet::erase(const Connection& connection) {
  // Released after the lock, so their teardown never runs under it.
  Connection removed;
  State state;
  Members old;
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    if (auto it = connections_.find(connection); it != connections_.end()) {
      removed = it->first;
      state = std::move(it->second);
      connections_.erase(it);
      changed = recomputeWanted();
      refreshMembers(old);
    }
  }
  if (changed) tellWantedChanged();
}

bool IPCForAgent::ConnectionSet::empty() const {
  std::lock_guard lock(mutex_);
  return connections_.empty();
}

bool IPCForAgent::ConnectionSet::contains(const Connection& connection) const {
  std::lock_guard lock(mutex_);
  return connections_.contains(connection);
}

std::size_t IPCForAgent::ConnectionSet::size() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

std::vector<IPCForAgent::Connection> IPCForAgent::ConnectionSet::copy() const {
  std::lock_guard lock(mutex_);
  std::vector<Connection> out;
  out.reserve(connections_.size());
  for (const auto& [connection, state] : connections_) out.push_back(connection);
  return out;
}

IPCForAgent::ConnectionSet::Members IPCForAgent::ConnectionSet::members() const {
  std::lock_guard lock(mutex_);
  return members_;
}

void IPCForAgent::ConnectionSet::refreshMembers(Members& old) {
  auto now = std::make_shared<std::vector<Member>>();
  now->reserve(connections_.size());
  for (const auto& [connection, state] : connections_) {
    now->push_back({connection, state.reporter, state.filter});
  }
  old = std::exchange(members_, std::move(now));
}

IPCForAgent::ConnectionSet::Proxy IPCForAgent::ConnectionSet::keepReporter(
    const Connection& connection, Proxy reporter) {
  Members old;
  std::lock_guard lock(mutex_);
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return reporter;
  if (!it->second.reporter) {
    it->second.reporter = std::move(reporter);
    refreshMembers(old);
  }
  return it->second.reporter;
}

bool IPCForAgent::ConnectionSet::subscribeCurrent(ipc::Subscription subscription) {
  auto filter = std::make_shared<const ipc::Subscription>(std::move(subscription));
  bool found = false;
  bool changed = false;
  Members old;
  {
    const std::unique_lock turn(sending_);
    std::lock_guard lock(mutex_);
    for (auto& [connection, state] : connections_) {
      if (!connection->isCurrentConnection()) continue;
      state.filter.swap(filter);  // the old one is released after the lock
      changed = recomputeWanted();
      refreshMembers(old);
      found = true;
      break;
    }
  }
  if (changed) tellWantedChanged();
  return found;
}

bool IPCForAgent::ConnectionSet::wantsEventType(std::uint32_t eventType) const {
  return (wanted_.load(std::memory_order_relaxed) >> ipc::eventKindIndex(eventType)) & 1U;
}

bool IPCForAgent::ConnectionSet::recomputeWanted() {
  static_assert(ipc::kEventKindNames.size() < 32);
  std::uint32_t wanted = 0;
  for (const auto& [connection, state] : connections_) {
    if (!state.filter) {
      wanted = ~0U;
      break;
    }
    wanted |= static_cast<std::uint32_t>(state.filter->kinds.to_ulong());
  }
  return wanted_.exchange(wanted, std::memory_order_relaxed) != wanted;
}

IPCForAgent& IPCForAgent::shared() {
  // Never destroyed: the listener's thread may still call in while the process exits.
  static IPCForAgent& instance = *new IPCForAgent(xpc::Transport::system());
  return instance;
}

IPCForAgent::IPCForAgent(std::shared_ptr<xpc::Transport> transport)
    : transport_(std::move(transport)) {}

IPCForAgent::~IPCForAgent() {
  // Stop serving first: the connections' handlers refer to this object.
  listener.reset();
}

void IPCForAgent::startEndpointListener() {
  auto created = NSXPCListener::initWithMachServiceName(ipc::kMachServiceName, transport_);
  created->setDelegate(this);
  listener = std::move(created);
  listener->resume();
}

bool IPCForAgent::isListening() const {
  return listener && listener->isListening();
}

void IPCForAgent::stopEndpointListener() {
  if (listener) listener->invalidate();
}

bool IPCForAgent::shouldAcceptNewConnection(NSXPCListener&,
                                            std::shared_ptr<NSXPCConnection> connection) {
  logLimited("NSXPCListenerDelegate.shouldAcceptNewConnection BEGIN");
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  connection->setExportedObject(this);
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  connection->setInvalidationHandler(remover(this, connection));
  connection->setInterruptionHandler(remover(this, connection));
  currentConnections.insert(connection);
  connection->resume();
  logLimited("NSXPCListenerDelegate.shouldAcceptNewConnection END");
  return true;
}

void IPCForAgent::broadcastEndpointMessage(const model::EsMessage& message) {
  if (!currentConnections.wantsEventType(message.eventType)) return;
  // Encoded once, when the first connection that wants it is found, and copied from the
  // encoder's buffer into the one immutable payload every connection queues.
  xpc::Payload encoded;

  std::vector<Connection> toDrop;
  auto turn = currentConnections.sendingTurn();
  const ConnectionSet::Members members = currentConnections.members();
  for (const auto& [connection, reporter, filter] : *members) {
    if (filter && !wants(*filter, message)) continue;
    if (!encoded && !model::withJson(message, [&](std::string_view document) {
          encoded = xpc::PayloadPool::shared().copy(document);
        })) {
      return;
    }
    // Made at the connection's first report and kept with it: the error handler is the same for
    // every report.
    ConnectionSet::Proxy made;
    const ConnectionSet::Proxy& proxy =
        reporter ? reporter
                 : (made = currentConnections.keepReporter(
                        connection,
                        connection->remoteObjectProxyWithErrorHandler(
                            [forget = remover(this, connection)](const NSError&) { forget(); })));
    if (proxy->conformsToProtocol<ipc::SystemExtensionsToApp>()) {
      proxy->report(ipc::SystemExtensionsToApp::kReportEndpointMessageWithMsg, encoded);
    } else {
      toDrop.push_back(connection);
    }
  }
  turn.unlock();
  for (const Connection& connection : toDrop) currentConnections.erase(connection);
}

void IPCForAgent::establishConnection2WithMessage(const ipc::NSString&,
                                                  std::function<void(const ipc::NSString&)> reply) {
  logLimited("IPCForAgent.establishConnection() BEGIN");
  reply(ipc::NSString(ipc::kEstablishedReply));
}

void IPCForAgent::subscribeToEventsWithFilter(const ipc::NSString& filter,
                                              std::function<void(const ipc::NSString&)> reply) {
  logLimited("IPCForAgent.subscribeToEvents() BEGIN");
  std::string error;
  auto subscription = ipc::decodeSubscription(filter, error);
  if (!subscription) {
    // The reason goes back to the client only: it holds the client's own text.
    logLimited("IPCForAgent.subscribeToEvents() refused a filter it could not read");
    reply(error);
    return;
  }
  if (!currentConnections.subscribeCurrent(std::move(*subscription))) {
    reply("the connection has closed");
    return;
  }
  reply(ipc::NSString(ipc::kSubscribedReply));
}

void IPCForAgent::establishConnectionAndGetProcTableWithMessage(
    const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) {
  answerProcTable(reply);
}

}  // namespace agent
