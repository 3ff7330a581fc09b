#include "platform/xpc/Transport.h"

#include <memory>
#include <string>

#include "platform/Override.h"

namespace xpc {

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
