#include "platform/xpc/BusMessage.h"

#include <cstddef>

namespace xpc {

bool isTransportInterface(const char* interface) {
  if (!interface) return false;
  const std::string_view name(interface);
  return name == kBusInterface ||
         (name.size() > kBusInterface.size() && name.starts_with(kBusInterface) &&
          name[kBusInterface.size()] == '.');
}

int appendArgument(sd_bus_message* m, std::string_view signature, const std::string& value) {
  return signature == "s" ? sd_bus_message_append_basic(m, 's', value.c_str())
                          : sd_bus_message_append_array(m, 'y', value.data(), value.size());
}

int readArgument(sd_bus_message* m, std::string_view signature, std::string& value) {
  int r;
  if (signature == "s") {
    const char* text = nullptr;
    r = sd_bus_message_read_basic(m, 's', &text);
    if (r >= 0 && text) value = text;
  } else {
    const void* data = nullptr;
    std::size_t size = 0;
    r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r >= 0 && size) value.assign(static_cast<const char*>(data), size);
  }
  return r;
}

void replyError(sd_bus_message* m, const char* name, const std::string& text) {
  if (sd_bus_message_get_expect_reply(m) > 0) {
    sd_bus_reply_method_errorf(m, name, "%s", text.c_str());
  }
}

}  // namespace xpc
