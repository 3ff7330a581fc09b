// Screen sharing on Linux: a TCP connection accepted by a screen-sharing server, seen in the
// kernel as accept() returns in the server (the eBPF program on the system-call exit), reported
// as SCREENSHARING_ATTACH with the viewer's address. The servers are known by their executables'
// names (kScreenSharingServers); a process that only took such a name is checked against its
// executable before anything is reported.
#pragma once

#include <array>
#include <memory>
#include <string_view>

#include "platform/endpoint_security/Source.h"

namespace platform::es {

inline constexpr std::array<std::string_view, 8> kScreenSharingServers = {
    "x11vnc", "Xvnc", "x0vncserver", "gnome-remote-desktop-daemon",
    "krfb",   "xrdp", "wayvnc",      "Xtigervnc"};

std::unique_ptr<Source> makeScreenSharingSource();

}  // namespace platform::es
