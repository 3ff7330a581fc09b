#include "platform/xpc/Values.h"

#include "ipc/Identifiers.h"

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
