#include "platform/endpoint_security/screen_sharing/ListeningSockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/UniqueFd.h"

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace platform::es {
namespace {

template <class T>
bool option(int fd, int level, int name, T& value) {
  socklen_t length = sizeof value;
  return ::getsockopt(fd, level, name, &value, &length) == 0 && length == sizeof value;
}

// The socket's port when it is a listening TCP socket of the internet families.
std::optional<ListeningSocket> listening(int fd) {
  int accepting = 0;
  int protocol = 0;
  ListeningSocket socket;
  if (!option(fd, SOL_SOCKET, SO_ACCEPTCONN, accepting) || accepting == 0 ||
      !option(fd, SOL_SOCKET, SO_PROTOCOL, protocol) || protocol != IPPROTO_TCP ||
      !option(fd, SOL_SOCKET, SO_NETNS_COOKIE, socket.netnsCookie)) {
    return std::nullopt;
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
  if (address.ss_family == AF_INET) {
    socket.port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  } else if (address.ss_family == AF_INET6) {
    socket.port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  } else {
    return std::nullopt;
  }
  return socket;
}

// Through syscall(): Debian 12's <sys/pidfd.h> declares these without C linkage.
int pidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int pidfdGetfd(int pidfd, int fd) {
  return static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, fd, 0));
}

bool isSocketLink(const std::string& fdPath) {
  char target[64];
  const ssize_t n = ::readlink(fdPath.c_str(), target, sizeof target - 1);
  return n > 7 && std::string_view(target, static_cast<std::size_t>(n)).starts_with("socket:");
}

}  // namespace

std::vector<ListeningSocket> listeningTcpSockets(pid_t pid) {
  std::vector<ListeningSocket> found;
  const UniqueFd process(pidfdOpen(pid));
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (!process || dir == nullptr) {
    if (dir != nullptr) ::closedir(dir);
    return found;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (!isSocketLink(folder + "/" + entry->d_name)) continue;
    const UniqueFd borrowed(pidfdGetfd(process.get(), std::atoi(entry->d_name)));
    if (!borrowed) continue;
    if (const auto socket = listening(borrowed.get())) found.push_back(*socket);
  }
  ::closedir(dir);
  return found;
}

}  // namespace platform::es
