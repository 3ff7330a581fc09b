// The plain values every layer of the service connections shares, at the bottom of them: the
// error a proxy reports, a protocol as an interface, the object a connection exports and the
// peer's credentials. Nothing here knows a transport or a connection.
#pragma once

#include <sys/types.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "shared/ipc/Protocols.h"

// What a failed call or send reports to a proxy's error handler: an errno value and a sentence.
struct NSError {
  int code = 0;
  std::string localizedDescription;
};

// A protocol as a connection's exported or remote interface.
class NSXPCInterface {
 public:
  template <class Protocol>
  static NSXPCInterface interfaceWithProtocol() {
    return NSXPCInterface(Protocol::name, Protocol::methods);
  }

  std::string_view protocolName() const { return name_; }
  std::span<const ipc::ProtocolMethod* const> methods() const { return methods_; }
  // The method whose wire member name is `member`, or null.
  const ipc::ProtocolMethod* methodForMember(std::string_view member) const;
  // Whether `method` is one of this protocol's own entries.
  bool contains(const ipc::ProtocolMethod& method) const;
  // The D-Bus interface name: the application's bundle identifier, a dot, the protocol name.
  std::string wireName() const;

  friend bool operator==(const NSXPCInterface& a, const NSXPCInterface& b) {
    return a.name_ == b.name_;
  }

 private:
  NSXPCInterface(std::string_view name, std::span<const ipc::ProtocolMethod* const> methods)
      : name_(name), methods_(methods) {}

  std::string_view name_;
  std::span<const ipc::ProtocolMethod* const> methods_;
};

namespace xpc {

// The object a connection exports, seen through the protocols it implements.
struct ExportedObject {
  ipc::AppToSystemExtensions* appToSystemExtensions = nullptr;
  ipc::SystemExtensionsToApp* systemExtensionsToApp = nullptr;

  template <class T>
  static ExportedObject of(T* object) {
    ExportedObject exported;
    if constexpr (std::is_base_of_v<ipc::AppToSystemExtensions, T>) {
      exported.appToSystemExtensions = object;
    }
    if constexpr (std::is_base_of_v<ipc::SystemExtensionsToApp, T>) {
      exported.systemExtensionsToApp = object;
    }
    return exported;
  }
};

// A one-way call's bytes, immutable and shared: a broadcast encodes a document once and every
// connection it reaches queues the same buffer.
using Payload = std::shared_ptr<const std::string>;

// A peer's credentials as the kernel reported them when it connected; -1 when unknown.
struct PeerCredentials {
  pid_t pid = -1;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
};

}  // namespace xpc
