// Lines to standard output, each written whole (a stream of documents piped to `jq` or `head`
// must not interleave or stop mid-line).
#pragma once

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace watchctl {

// `text` followed by a newline (`text` may hold several lines already ended); false, with errno
// set (EPIPE: the reader is gone), when it cannot be written.
inline bool writeLine(std::string_view text) {
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>("\n"), 1}};
  int first = 0;
  while (first < 2) {
    const ssize_t n = ::writev(STDOUT_FILENO, parts + first, 2 - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    auto left = static_cast<std::size_t>(n);
    while (first < 2 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

}  // namespace watchctl
