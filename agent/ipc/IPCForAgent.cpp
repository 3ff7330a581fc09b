#include "agent/ipc/IPCForAgent.h"

#include <optional>
#include <string>
#include <vector>

#include "agent/ipc/LineLimiter.h"
#include "agent/ipc/ProcTable.h"
#include "agent/model/JsonEncoding.h"
#include "ipc/Identifiers.h"
#include "platform/log/Log.h"
#include "platform/xpc/Transport.h"

namespace agent {
namespace {

// A document buffer that grew past this (one exec with 128 KiB of arguments) is not kept.
constexpr std::size_t kKeptDocumentBytes = 256 * 1024;

// A handler that forgets `connection`; it holds the connection weakly, so a handler that runs
// after the connection was removed and released finds nothing to do.
std::function<void()> remover(IPCForAgent* self, const IPCForAgent::Connection& connection) {
  return [self, weak = std::weak_ptr<NSXPCConnection>(connection)] {
    if (auto strong = weak.lock()) self->currentConnections.erase(strong);
  };
}

}  // namespace

void IPCForAgent::ConnectionSet::insert(const Connection& connection) {
  std::lock_guard lock(mutex_);
  connections_.emplace(connection, nullptr);
}

void IPCForAgent::ConnectionSet::erase(const Connection& connection) {
  // Released after the lock, so their teardown never runs under it.
  Connection removed;
  Proxy reporter;
  std::lock_guard lock(mutex_);
  if (auto it = connections_.find(connection); it != connections_.end()) {
    removed = it->first;
    reporter = std::move(it->second);
    connections_.erase(it);
  }
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
  for (const auto& [connection, reporter] : connections_) out.push_back(connection);
  return out;
}

std::vector<IPCForAgent::ConnectionSet::Member> IPCForAgent::ConnectionSet::members() const {
  std::lock_guard lock(mutex_);
  std::vector<Member> out;
  out.reserve(connections_.size());
  for (const auto& [connection, reporter] : connections_) out.push_back({connection, reporter});
  return out;
}

IPCForAgent::ConnectionSet::Proxy IPCForAgent::ConnectionSet::keepReporter(
    const Connection& connection, Proxy reporter) {
  std::lock_guard lock(mutex_);
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return reporter;
  if (!it->second) it->second = std::move(reporter);
  return it->second;
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
  if (currentConnections.empty()) return;
  // Encoded into one buffer per thread, which keeps its capacity from one event to the next
  // (the transport copies the bytes it queues).
  thread_local std::string encoded;
  encoded.clear();
  if (encoded.capacity() > kKeptDocumentBytes) std::string().swap(encoded);
  if (!model::appendJson(encoded, message)) return;
  const ipc::NSData& data = encoded;

  std::vector<Connection> toDrop;
  for (const auto& [connection, reporter] : currentConnections.members()) {
    // Made at the connection's first report and kept with it: the error handler is the same for
    // every report.
    const auto proxy =
        reporter ? reporter
                 : currentConnections.keepReporter(
                       connection,
                       connection->remoteObjectProxyWithErrorHandler(
                           [forget = remover(this, connection)](const NSError&) { forget(); }));
    if (proxy->conformsToProtocol<ipc::SystemExtensionsToApp>()) {
      proxy->reportEndpointMessageWithMsg(data);
    } else {
      toDrop.push_back(connection);
    }
  }
  for (const Connection& connection : toDrop) currentConnections.erase(connection);
}

void IPCForAgent::establishConnection2WithMessage(const ipc::NSString&,
                                                  std::function<void(const ipc::NSString&)> reply) {
  logLimited("IPCForAgent.establishConnection() BEGIN");
  reply(ipc::NSString(ipc::kEstablishedReply));
}

void IPCForAgent::establishConnectionAndGetProcTableWithMessage(
    const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) {
  answerProcTable(reply);
}

}  // namespace agent
