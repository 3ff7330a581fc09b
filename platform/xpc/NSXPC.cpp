#include "platform/xpc/NSXPC.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>

#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/Transport.h"

// ---- NSXPCInterface

const ipc::ProtocolMethod* NSXPCInterface::methodForMember(std::string_view member) const {
  for (const ipc::ProtocolMethod* method : methods_) {
    if (method->member == member) return method;
  }
  return nullptr;
}

bool NSXPCInterface::contains(const ipc::ProtocolMethod& method) const {
  for (const ipc::ProtocolMethod* own : methods_) {
    if (own == &method) return true;
  }
  return false;
}

std::string NSXPCInterface::wireName() const {
  std::string name(ipc::kAppBundleIdentifier);
  name += '.';
  name += name_;
  return name;
}

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

// ---- Channel

namespace xpc {

NSError makeError(int code, std::string_view what) {
  std::string text(what);
  text += ": ";
  text += std::strerror(code);
  return NSError{code, std::move(text)};
}

void Channel::setExportedInterface(const NSXPCInterface& interface) {
  std::lock_guard lock(mutex_);
  exportedInterface_ = interface;
}

void Channel::setExportedObject(const ExportedObject& object) {
  std::lock_guard lock(mutex_);
  exportedObject_ = object;
}

void Channel::setRemoteObjectInterface(const NSXPCInterface& interface) {
  std::lock_guard lock(mutex_);
  remoteInterface_ = interface;
}

void Channel::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  if (!invalidated_) invalidationHandler_ = std::move(handler);
}

void Channel::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  if (!invalidated_) interruptionHandler_ = std::move(handler);
}

std::optional<NSXPCInterface> Channel::remoteObjectInterface() const {
  std::lock_guard lock(mutex_);
  return remoteInterface_;
}

bool Channel::isResumed() const {
  std::lock_guard lock(mutex_);
  return resumed_;
}

bool Channel::isInvalidated() const {
  std::lock_guard lock(mutex_);
  return invalidated_;
}

bool Channel::remoteConformsTo(std::string_view protocolName) const {
  std::lock_guard lock(mutex_);
  return remoteInterface_ && remoteInterface_->protocolName() == protocolName;
}

void Channel::send(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
                   SharedErrorHandler onError) {
  const auto remote = remoteObjectInterface();
  if (!remote || !remote->contains(method) || !method.oneWay) {
    reportError(std::move(onError),
                makeError(ENOTSUP, std::string(method.member) + " is not in the remote interface"));
    return;
  }
  doSend(method, argument, std::move(onError));
}

void Channel::call(const ipc::ProtocolMethod& method, const std::string& argument,
                   ReplyHandler reply, SharedErrorHandler onError) {
  const auto remote = remoteObjectInterface();
  if (!remote || !remote->contains(method) || method.oneWay) {
    reportError(std::move(onError),
                makeError(ENOTSUP, std::string(method.member) + " is not in the remote interface"));
    return;
  }
  doCall(method, argument, std::move(reply), std::move(onError));
}

bool Channel::markResumed() {
  std::lock_guard lock(mutex_);
  return !std::exchange(resumed_, true);
}

void Channel::fireInterruption() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    handler = interruptionHandler_;
  }
  if (handler) handler();
}

void Channel::fireInvalidation() {
  std::function<void()> handler;
  std::function<void()> interruption;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    invalidated_ = true;
    handler = std::move(invalidationHandler_);
    interruption = std::move(interruptionHandler_);
  }
  if (handler) handler();
}

void Channel::dropHandlers() {
  std::function<void()> invalidation;
  std::function<void()> interruption;
  std::lock_guard lock(mutex_);
  invalidated_ = true;
  invalidation = std::move(invalidationHandler_);
  interruption = std::move(interruptionHandler_);
  invalidationHandler_ = nullptr;
  interruptionHandler_ = nullptr;
}

namespace {
bool sameWireName(std::string_view wire, std::string_view protocol) {
  const std::string_view prefix = ipc::kAppBundleIdentifier;
  return wire.size() == prefix.size() + 1 + protocol.size() && wire.starts_with(prefix) &&
         wire[prefix.size()] == '.' && wire.ends_with(protocol);
}
}  // namespace

Channel::Incoming Channel::lookupExported(std::string_view wireInterface,
                                          std::string_view member) const {
  std::lock_guard lock(mutex_);
  if (!exportedInterface_ ||
      (!exportedObject_.appToSystemExtensions && !exportedObject_.systemExtensionsToApp)) {
    return {nullptr, "org.freedesktop.DBus.Error.UnknownObject", "Nothing is exported"};
  }
  const std::string_view protocol = exportedInterface_->protocolName();
  if (!sameWireName(wireInterface, protocol)) {
    return {nullptr, "org.freedesktop.DBus.Error.UnknownInterface",
            "Unknown interface " + std::string(wireInterface)};
  }
  const ipc::ProtocolMethod* method = exportedInterface_->methodForMember(member);
  if (!method) {
    return {nullptr, "org.freedesktop.DBus.Error.UnknownMethod",
            "Unknown method " + std::string(member)};
  }
  const bool implemented =
      (protocol == ipc::AppToSystemExtensions::name && exportedObject_.appToSystemExtensions) ||
      (protocol == ipc::SystemExtensionsToApp::name && exportedObject_.systemExtensionsToApp);
  if (!implemented) {
    return {nullptr, "org.freedesktop.DBus.Error.UnknownObject",
            "The exported object does not implement " + std::string(protocol)};
  }
  return {method, {}, {}};
}

namespace {
thread_local const Channel* tCurrentChannel = nullptr;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
}  // namespace

const Channel* Channel::current() {
  return tCurrentChannel;
}

void Channel::invoke(const ipc::ProtocolMethod& method, std::string argument, ReplyHandler reply) {
  struct CurrentMark {
    const Channel* outer;
    explicit CurrentMark(const Channel* channel) : outer(std::exchange(tCurrentChannel, channel)) {}
    ~CurrentMark() { tCurrentChannel = outer; }
    CurrentMark(const CurrentMark&) = delete;
    CurrentMark& operator=(const CurrentMark&) = delete;
  } mark(this);
  ExportedObject object;
  {
    std::lock_guard lock(mutex_);
    object = exportedObject_;
  }
  std::visit(Overloaded{[&](ipc::CallMethod call) {
                          if (!object.appToSystemExtensions) return;
                          (object.appToSystemExtensions->*call)(
                              argument, [reply = std::move(reply)](const std::string& value) {
                                if (reply) reply(value);
                              });
                        },
                        [&](ipc::ReportMethod report) {
                          if (object.systemExtensionsToApp) {
                            (object.systemExtensionsToApp->*report)(argument);
                          }
                        }},
             method.invoker);
}

std::shared_ptr<Transport> Transport::system() {
  static const std::shared_ptr<Transport> transport = std::make_shared<SdBusTransport>();
  return transport;
}

ServicesDirectory ServicesDirectory::fromSetting(const char* setting) {
  return {setting && *setting ? std::string(setting) : std::string(kDefault)};
}

std::string servicesDirectory() {
  const ServicesDirectory* installed = platform::Installed<ServicesDirectory>::find();
  return installed ? installed->path : std::string(ServicesDirectory::kDefault);
}

std::string socketPathForService(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return {};
  }
  std::string path = servicesDirectory();
  path += '/';
  path += name;
  return path;
}

}  // namespace xpc
