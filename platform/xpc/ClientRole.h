// Our end of a connection to a service over the sd-bus transport (see ClientRole.cpp).
#pragma once

#include <memory>
#include <string>

#include "platform/xpc/Loop.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// A connection to the service at `socketPath`, served by `loop` alone; it connects on resume.
std::shared_ptr<Channel> makeClientChannel(std::shared_ptr<Loop> loop, std::string socketPath,
                                           const SdBusTransport::Options& options);

}  // namespace xpc
