#include "platform/endpoint_security/client/Capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::es {

bool hasEffectiveCapability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

}  // namespace platform::es
