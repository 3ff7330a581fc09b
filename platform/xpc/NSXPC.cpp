#include "platform/xpc/NSXPC.h"

#include <utility>

#include "platform/xpc/Transport.h"

// ---- NSXPCRemoteObjectProxy

NSXPCRemoteObjectProxy::NSXPCRemoteObjectProxy(std::shared_ptr<xpc::Channel> channel,
                                               std::function<void(const NSError&)> errorHandler)
    : channel_(std::move(channel)),
      errorHandler_(
          std::make_shared<const std::function<void(const NSError&)>>(std::move(errorHandler))) {}

bool NSXPCRemoteObjectProxy::conformsToProtocol(std::string_view protocolName) const {
  return channel_->remoteConformsTo(protocolName);
}

void NSXPCRemoteObjectProxy::establishConnection2WithMessage(
    const ipc::NSString& message, std::function<void(const ipc::NSString&)> reply) {
  call(ipc::AppToSystemExtensions::kEstablishConnection2WithMessage, message, std::move(reply));
}

void NSXPCRemoteObjectProxy::establishConnectionAndGetProcTableWithMessage(
    const ipc::NSString& message, std::function<void(const ipc::NSData&)> reply) {
  call(ipc::AppToSystemExtensions::kEstablishConnectionAndGetProcTableWithMessage, message,
       std::move(reply));
}

void NSXPCRemoteObjectProxy::subscribeToEventsWithFilter(
    const ipc::NSString& filter, std::function<void(const ipc::NSString&)> reply) {
  call(ipc::AppToSystemExtensions::kSubscribeToEventsWithFilter, filter, std::move(reply));
}

void NSXPCRemoteObjectProxy::call(const ipc::ProtocolMethod& method, const std::string& argument,
                                  std::function<void(const std::string&)> reply) {
  channel_->call(
      method, argument,
      [reply = std::move(reply)](std::string value) {
        if (reply) reply(value);
      },
      errorHandler_);
}

void NSXPCRemoteObjectProxy::reportEndpointMessageWithMsg(const ipc::NSData& msg) {
  channel_->send(ipc::SystemExtensionsToApp::kReportEndpointMessageWithMsg, msg, errorHandler_);
}

void NSXPCRemoteObjectProxy::reportNetworkMessageWithMsg(const ipc::NSData& msg) {
  channel_->send(ipc::SystemExtensionsToApp::kReportNetworkMessageWithMsg, msg, errorHandler_);
}

void NSXPCRemoteObjectProxy::reportExecutableForPidWithMsg(const ipc::NSData& msg) {
  channel_->send(ipc::SystemExtensionsToApp::kReportExecutableForPidWithMsg, msg, errorHandler_);
}

void NSXPCRemoteObjectProxy::report(const ipc::ProtocolMethod& method, xpc::Payload msg) {
  channel_->send(method, std::move(msg), errorHandler_);
}

// ---- NSXPCConnection

std::shared_ptr<NSXPCConnection> NSXPCConnection::initWithMachServiceName(std::string_view name) {
  return initWithMachServiceName(name, xpc::Transport::system());
}

std::shared_ptr<NSXPCConnection> NSXPCConnection::initWithMachServiceName(
    std::string_view name, const std::shared_ptr<xpc::Transport>& transport) {
  return std::make_shared<NSXPCConnection>(transport->connect(name));
}

NSXPCConnection::NSXPCConnection(std::shared_ptr<xpc::Channel> channel)
    : channel_(std::move(channel)) {}

NSXPCConnection::~NSXPCConnection() {
  channel_->release();
}

void NSXPCConnection::setExportedInterface(const NSXPCInterface& interface) {
  channel_->setExportedInterface(interface);
}

void NSXPCConnection::setExportedObject(const xpc::ExportedObject& object) {
  channel_->setExportedObject(object);
}

void NSXPCConnection::setRemoteObjectInterface(const NSXPCInterface& interface) {
  channel_->setRemoteObjectInterface(interface);
}

void NSXPCConnection::setInvalidationHandler(std::function<void()> handler) {
  channel_->setInvalidationHandler(std::move(handler));
}

void NSXPCConnection::setInterruptionHandler(std::function<void()> handler) {
  channel_->setInterruptionHandler(std::move(handler));
}

void NSXPCConnection::resume() {
  channel_->resume();
}

void NSXPCConnection::invalidate() {
  channel_->invalidate();
}

std::shared_ptr<NSXPCRemoteObjectProxy> NSXPCConnection::remoteObjectProxyWithErrorHandler(
    std::function<void(const NSError&)> handler) {
  return std::make_shared<NSXPCRemoteObjectProxy>(channel_, std::move(handler));
}

bool NSXPCConnection::isCurrentConnection() const {
  return channel_ && channel_.get() == xpc::Channel::current();
}

pid_t NSXPCConnection::processIdentifier() const {
  return channel_->peerCredentials().pid;
}

uid_t NSXPCConnection::effectiveUserIdentifier() const {
  return channel_->peerCredentials().uid;
}

gid_t NSXPCConnection::effectiveGroupIdentifier() const {
  return channel_->peerCredentials().gid;
}

// ---- NSXPCListener

std::unique_ptr<NSXPCListener> NSXPCListener::initWithMachServiceName(std::string_view name) {
  return initWithMachServiceName(name, xpc::Transport::system());
}

std::unique_ptr<NSXPCListener> NSXPCListener::initWithMachServiceName(
    std::string_view name, const std::shared_ptr<xpc::Transport>& transport) {
  return std::make_unique<NSXPCListener>(std::string(name), transport);
}

NSXPCListener::NSXPCListener(std::string name, std::shared_ptr<xpc::Transport> transport)
    : name_(std::move(name)), transport_(std::move(transport)) {}

NSXPCListener::~NSXPCListener() {
  invalidate();
}

void NSXPCListener::setDelegate(NSXPCListenerDelegate* delegate) {
  delegate_ = delegate;
}

void NSXPCListener::resume() {
  if (service_) return;
  service_ = transport_->listen(name_, [this](const std::shared_ptr<xpc::Channel>& channel) {
    NSXPCListenerDelegate* delegate = delegate_;
    return delegate &&
           delegate->shouldAcceptNewConnection(*this, std::make_shared<NSXPCConnection>(channel));
  });
}

void NSXPCListener::invalidate() {
  service_.reset();
}
