// Service connections between the agent and its clients, with the platform's names.
//
// A listener publishes a named service; each client connection is one NSXPCConnection on either
// side. Each side exports one object under one protocol and calls the other side's object through
// a proxy. The transport behind these classes is chosen when a listener or a client connection is
// made: the system one (D-Bus peer-to-peer over a Unix socket, see platform/xpc/Transport.h) or
// an in-memory one for tests (platform/xpc/MemoryTransport.h). These classes are the top layer:
// they wrap a transport's Channel and Service, which know nothing of them.
//
// Connections are handed around as std::shared_ptr<NSXPCConnection>; their identity is the
// pointer. A connection is closed once the last reference to it is gone, so whoever accepts a
// connection keeps a reference for as long as it wants it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/xpc/Values.h"
#include "shared/ipc/Protocols.h"

class NSXPCConnection;
class NSXPCListener;

namespace xpc {
class Channel;
class Service;
class Transport;
}  // namespace xpc

// Stands for the other side's exported object. Calls return at once; a call that cannot be
// delivered (peer gone, not in the remote interface, outgoing queue full) runs the error handler
// instead, on the connection's thread. Replies also arrive on the connection's thread.
class NSXPCRemoteObjectProxy final : public ipc::AppToSystemExtensions,
                                     public ipc::SystemExtensionsToApp {
 public:
  NSXPCRemoteObjectProxy(std::shared_ptr<xpc::Channel> channel,
                         std::function<void(const NSError&)> errorHandler);

  template <class Protocol>
  bool conformsToProtocol() const {
    return conformsToProtocol(Protocol::name);
  }
  bool conformsToProtocol(std::string_view protocolName) const;

  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override;
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString& message, std::function<void(const ipc::NSData&)> reply) override;
  void subscribeToEventsWithFilter(const ipc::NSString& filter,
                                   std::function<void(const ipc::NSString&)> reply) override;

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override;
  void reportNetworkMessageWithMsg(const ipc::NSData& msg) override;
  void reportExecutableForPidWithMsg(const ipc::NSData& msg) override;
  // Sends one of the client protocol's reports with bytes already shared (not null), so that a
  // broadcast queues one buffer on every connection instead of a copy each.
  void report(const ipc::ProtocolMethod& method, xpc::Payload msg);

 private:
  // A reply-bearing call of the agent's protocol; the reply arrives on the connection's thread.
  void call(const ipc::ProtocolMethod& method, const std::string& argument,
            std::function<void(const std::string&)> reply);

  std::shared_ptr<xpc::Channel> channel_;
  std::shared_ptr<const std::function<void(const NSError&)>> errorHandler_;
};

class NSXPCConnection {
 public:
  // A client connection to the named service over the system transport. Nothing happens until
  // resume(); then a failure to reach the service invalidates the connection, and calls made
  // through a proxy run its error handler (code ENOENT or ECONNREFUSED: nobody serves the name;
  // EACCES: the socket is not ours to open; ECONNABORTED: the listener hung up during the
  // handshake, refusing our credentials or having too many connections; EKEYREJECTED: the
  // socket is served by a process that is not root, and is not trusted).
  static std::shared_ptr<NSXPCConnection> initWithMachServiceName(std::string_view name);
  static std::shared_ptr<NSXPCConnection> initWithMachServiceName(
      std::string_view name, const std::shared_ptr<xpc::Transport>& transport);

  // Wraps one end of a transport's connection; transports make these.
  explicit NSXPCConnection(std::shared_ptr<xpc::Channel> channel);
  ~NSXPCConnection();
  NSXPCConnection(const NSXPCConnection&) = delete;
  NSXPCConnection& operator=(const NSXPCConnection&) = delete;

  void setExportedInterface(const NSXPCInterface& interface);
  // The object must outlive the connection; calls to it arrive on the connection's thread.
  template <class T>
  void setExportedObject(T* object) {
    setExportedObject(xpc::ExportedObject::of(object));
  }
  void setExportedObject(std::nullptr_t) { setExportedObject(xpc::ExportedObject{}); }
  void setExportedObject(const xpc::ExportedObject& object);
  void setRemoteObjectInterface(const NSXPCInterface& interface);
  // Runs once when the connection ends for good (peer gone, invalidate()); afterwards neither
  // handler runs again.
  void setInvalidationHandler(std::function<void()> handler);
  // Runs when the peer of a client connection goes away after it was reached.
  void setInterruptionHandler(std::function<void()> handler);
  void resume();
  void invalidate();

  std::shared_ptr<NSXPCRemoteObjectProxy> remoteObjectProxyWithErrorHandler(
      std::function<void(const NSError&)> handler);

  // Whether the exported object's method running on this thread was called over this
  // connection.
  bool isCurrentConnection() const;

  // The peer's credentials as the kernel reported them when it connected; -1 when unknown.
  pid_t processIdentifier() const;
  uid_t effectiveUserIdentifier() const;
  gid_t effectiveGroupIdentifier() const;

 private:
  std::shared_ptr<xpc::Channel> channel_;
};

class NSXPCListenerDelegate {
 public:
  virtual ~NSXPCListenerDelegate() = default;
  // Called on the listener's thread when a client sends its first message; the connection is
  // configured and resumed here. Returning false closes it.
  virtual bool shouldAcceptNewConnection(NSXPCListener& listener,
                                         std::shared_ptr<NSXPCConnection> newConnection) = 0;
};

class NSXPCListener {
 public:
  // Publishes the named service over the system transport, once resumed.
  static std::unique_ptr<NSXPCListener> initWithMachServiceName(std::string_view name);
  static std::unique_ptr<NSXPCListener> initWithMachServiceName(
      std::string_view name, const std::shared_ptr<xpc::Transport>& transport);

  NSXPCListener(std::string name, std::shared_ptr<xpc::Transport> transport);
  // Stops serving; connections accepted through this listener are invalidated.
  ~NSXPCListener();
  NSXPCListener(const NSXPCListener&) = delete;
  NSXPCListener& operator=(const NSXPCListener&) = delete;

  // Not owned; must outlive the listener.
  void setDelegate(NSXPCListenerDelegate* delegate);
  // Starts serving. A failure to publish the name is written to the system log.
  void resume();
  void invalidate();

  const std::string& serviceName() const { return name_; }
  // Whether the service is published.
  bool isListening() const { return service_ != nullptr; }

 private:
  std::string name_;
  std::shared_ptr<xpc::Transport> transport_;
  NSXPCListenerDelegate* delegate_ = nullptr;
  std::unique_ptr<xpc::Service> service_;
};
