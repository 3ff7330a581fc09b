// The application's receiving end of the agent's reports, and the slot for its connection to
// the agent's service. Each report writes one fixed line and leaves the payload unread, so the
// methods share no state and may run on any thread.
#pragma once

#include <memory>

#include "shared/ipc/Protocols.h"

class NSXPCConnection;

namespace app {

class IPCManager final : public ipc::SystemExtensionsToApp {
 public:
  // The only reference the application keeps to its connection; empty until one is opened.
  std::shared_ptr<NSXPCConnection> connectionToLowerTier;

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override;
  void reportNetworkMessageWithMsg(const ipc::NSData& msg) override;
  void reportExecutableForPidWithMsg(const ipc::NSData& msg) override;
};

}  // namespace app
