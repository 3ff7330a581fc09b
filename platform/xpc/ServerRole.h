// The agent's end of a client's connection over the sd-bus transport (see ServerRole.cpp).
#pragma once

#include <memory>

#include "platform/xpc/ListenerState.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// Makes an accepted socket a connection with its bus started, ready to be added to `loop`; null
// when the bus cannot be set up (the socket is closed then). Loop thread.
std::shared_ptr<Pollable> startServerChannel(std::shared_ptr<Loop> loop,
                                             std::shared_ptr<ListenerState> listener, UniqueFd fd,
                                             PeerCredentials peer);

}  // namespace xpc
