// watchagent-virusevent: the program clamd's VirusEvent setting runs on each detection. clamd
// runs it through /bin/sh -c as its own user (User in clamd.conf) with the signature in
// CLAM_VIRUSEVENT_VIRUSNAME and the file's name in CLAM_VIRUSEVENT_FILENAME (clamd 1.x no longer
// puts the name on the command line). It hands both, byte for byte, to the agent's malware
// source over its socket (the first argument, else the agent's default) and exits: 0 when handed
// over, 1 when the agent cannot be reached, 2 when clamd set no detection.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/endpoint_security/malware/VirusEventWire.h"

namespace {

int handOver(const char* path, const std::string& packet) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return ENAMETOOLONG;
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  // clamd waits for this program: never hang on an agent that does not accept.
  const timeval timeout{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(packet.size())) {
    error = errno;
  }
  ::close(fd);
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  const char* signature = std::getenv("CLAM_VIRUSEVENT_VIRUSNAME");
  const char* file = std::getenv("CLAM_VIRUSEVENT_FILENAME");
  const std::string packet =
      signature && file ? platform::es::encodeVirusEvent(signature, file) : std::string();
  if (packet.empty()) {
    std::fprintf(stderr,
                 "watchagent-virusevent: no detection in CLAM_VIRUSEVENT_VIRUSNAME and "
                 "CLAM_VIRUSEVENT_FILENAME\n");
    return 2;
  }
  const char* socketPath = argc > 1 ? argv[1] : platform::es::kVirusEventSocket;
  if (int error = handOver(socketPath, packet); error != 0) {
    std::fprintf(stderr, "watchagent-virusevent: %s: %s\n", socketPath, std::strerror(error));
    return 1;
  }
  return 0;
}
