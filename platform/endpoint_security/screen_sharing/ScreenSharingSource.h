// Screen sharing on Linux: a viewer accepted by a screen-sharing server, reported as
// SCREENSHARING_ATTACH with the viewer's address. The servers are the packaged files of the known
// servers (ScreenSharingServers.h), whatever name they were started by; the kernel learns their
// listening ports at listen() (and from the running servers when the source starts), and follows
// the server's side of each connection's RFB handshake up to its answer (bpf/viewers.bpf.c):
// `success` is the server's security result. A connection whose handshake this source cannot
// read (another protocol, an encrypted security type) is not reported. Nothing runs per system
// call.
#pragma once

#include <memory>

#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

std::unique_ptr<Source> makeScreenSharingSource();

}  // namespace platform::es
