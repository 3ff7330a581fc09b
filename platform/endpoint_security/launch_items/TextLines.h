// The lines of an item's text, as the readers of unit files, desktop entries and cron tables
// split them: at each newline, the last line with or without one.
#pragma once

#include <string_view>
#include <vector>

namespace platform::es {

inline std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace platform::es
