// Channel: the state every transport's connection end shares, and the dispatch of an incoming
// call to the exported object through its protocol row.
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

#include "ipc/Identifiers.h"
#include "platform/xpc/Transport.h"  // declares Channel

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

bool Channel::sendable(const ipc::ProtocolMethod& method, SharedErrorHandler& onError) {
  const auto remote = remoteObjectInterface();
  if (remote && remote->contains(method) && method.oneWay) return true;
  reportError(std::move(onError),
              makeError(ENOTSUP, std::string(method.member) + " is not in the remote interface"));
  return false;
}

void Channel::send(const ipc::ProtocolMethod& method, Payload argument,
                   SharedErrorHandler onError) {
  if (sendable(method, onError)) doSend(method, std::move(argument), std::move(onError));
}

void Channel::send(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
                   SharedErrorHandler onError) {
  if (!sendable(method, onError)) return;
  doSend(method, std::make_shared<const std::string>(argument), std::move(onError));
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
// Said outright: clang before 17 does not deduce an aggregate's template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;
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

}  // namespace xpc
