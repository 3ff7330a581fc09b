// Lines of /proc/<pid>/maps. The maps name a mapped file by its whole path, also one longer than
// PATH_MAX, which the exe link cannot show (the kernel gives up on it with ENAMETOOLONG).
#pragma once

#include <sys/sysmacros.h>
#include <sys/types.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace platform {

// The path of the maps line when it maps the file `dev`/`ino`
// ("start-end perms offset major:minor inode   path", device numbers in hex); nullopt otherwise.
inline std::optional<std::string_view> mapsLinePath(std::string_view line, dev_t dev, ino_t ino) {
  std::string_view rest = line;
  std::string_view field[5];
  for (std::string_view& f : field) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    f = rest.substr(0, end);
    rest.remove_prefix(end);
  }
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  const std::size_t colon = field[3].find(':');
  if (colon == std::string_view::npos || rest.empty() || rest.front() != '/') return std::nullopt;
  const auto number = [](std::string_view text, auto& out, int base) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size();
  };
  unsigned major = 0;
  unsigned minor = 0;
  ino_t inode = 0;
  if (!number(field[3].substr(0, colon), major, 16) ||
      !number(field[3].substr(colon + 1), minor, 16) || !number(field[4], inode, 10) ||
      inode != ino || makedev(major, minor) != dev) {
    return std::nullopt;
  }
  return rest;
}

// The path of the file `dev`/`ino` in a whole maps text; nullopt when it maps no such file.
inline std::optional<std::string_view> mappedPath(std::string_view maps, dev_t dev, ino_t ino) {
  std::size_t at = 0;
  while (at < maps.size()) {
    const std::size_t eol = std::min(maps.find('\n', at), maps.size());
    if (const auto found = mapsLinePath(maps.substr(at, eol - at), dev, ino)) return found;
    at = eol + 1;
  }
  return std::nullopt;
}

}  // namespace platform
