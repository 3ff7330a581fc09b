// The TCP sockets a running process listens on, found by borrowing each of its socket
// descriptors (pidfd_getfd) and asking the socket itself: listening, TCP, its port and its
// network namespace. Used for servers that were listening before the agent started watching
// listen() calls. Needs PTRACE_MODE_ATTACH over the process (root has it).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace platform::es {

struct ListeningSocket {
  std::uint64_t netnsCookie = 0;  // SO_NETNS_COOKIE
  std::uint16_t port = 0;
  bool operator==(const ListeningSocket&) const = default;
};

// Empty when the process is gone or has no listening TCP socket.
std::vector<ListeningSocket> listeningTcpSockets(pid_t pid);

}  // namespace platform::es
