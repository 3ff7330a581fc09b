// Unix stream sockets named by a path, as both ends use them: connecting to one, asking who is at
// the other end, and the rule for a socket file that a server left behind when it went.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/UniqueFd.h"

namespace platform {

struct UnixConnection {
  UniqueFd fd;
  int error = 0;  // negative errno when there is no fd
};

// Connects a new stream socket (closed on exec, plus `flags` such as SOCK_NONBLOCK) to the
// socket at `path`. `timeout`, when given, bounds connecting, sending and receiving alike. A path
// that cannot be a socket address fails with -EINVAL (empty) or -ENAMETOOLONG.
inline UnixConnection connectUnix(const std::string& path, int flags = 0,
                                  std::optional<timeval> timeout = std::nullopt) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return {UniqueFd(), -EINVAL};
  if (path.size() >= sizeof address.sun_path) return {UniqueFd(), -ENAMETOOLONG};
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
  if (!fd) return {UniqueFd(), -errno};
  if (timeout) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &*timeout, sizeof *timeout);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &*timeout, sizeof *timeout);
  }
  int r;
  do {
    r = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return {UniqueFd(), -errno};
  return {std::move(fd), 0};
}

// Who is at the other end of the connected Unix socket `fd` (as of when the connection was
// made): 0, or a negative errno.
inline int peerCredentials(int fd, ucred& out) {
  socklen_t length = sizeof out;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &out, &length) < 0 ? -errno : 0;
}

// A socket file at `path` whose server is gone (connecting is refused) is removed; a live
// server's is left. 0 when the path is free now; -EADDRINUSE when a server answers, -EEXIST when
// the file is not a socket, another negative errno when it cannot be told.
inline int removeStaleSocket(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0) return errno == ENOENT ? 0 : -errno;
  if (!S_ISSOCK(st.st_mode)) return -EEXIST;
  const UnixConnection probe = connectUnix(path);
  if (probe.fd) return -EADDRINUSE;
  if (probe.error != -ECONNREFUSED) return probe.error;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -errno;
}

}  // namespace platform
