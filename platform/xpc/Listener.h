// The listening side of the sd-bus transport: the socket that accepts connections, the checks
// every served socket passes, and the service that owns both.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/xpc/ListenerState.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/Transport.h"

namespace xpc {

// Serves the sockets a listener hands over: each becomes a connection on the loop.
// The defensive part of accepting lives here, so that it holds however a socket arrived: peers
// other than root or the allowed group are told so and hung up on, and so is any socket beyond
// the connection limit. Loop thread.
void serveConnection(const std::shared_ptr<Loop>& loop, const std::shared_ptr<ListenerState>& state,
                     UniqueFd connection);

using HandOver = std::function<void(UniqueFd)>;

// The listening socket `fd`, bound at `path` (whose file is `dev`/`ino`): accepts connections
// and hands each accepted socket over, and removes the socket file when it ends. Loop thread.
std::shared_ptr<Pollable> makeSocketListener(std::shared_ptr<ListenerState> state, UniqueFd fd,
                                             std::string path, dev_t dev, ino_t ino,
                                             HandOver handOver);

// The published service: owns the listener's loop and stops it, and the worker, when destroyed.
std::unique_ptr<Service> makeSocketService(std::shared_ptr<Loop> loop,
                                           std::shared_ptr<ListenerState> state);

}  // namespace xpc
