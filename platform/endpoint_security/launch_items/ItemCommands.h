// What a launch item's text says it runs, read by the rules of the program that starts it: a
// desktop entry as GLib's key-file reader and GDesktopAppInfo read it (the last of duplicate keys
// wins, groups of one name merge, a line that is no group, key or comment makes the file
// unreadable; the command is split as g_shell_parse_argv splits it), a systemd unit as systemd
// reads it (only the [Service] section, continuation lines, an empty ExecStart= clearing the
// list, drop-ins applied after the unit file in their order), a cron table as cron reads it.
// Pure: texts in, a program name out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::es {

// The program of the [Desktop Entry] group's Exec= key; nullopt when GLib would not load the file
// or the command names none.
std::optional<std::string> desktopExecutable(std::string_view text);

// The program the first command of a service's ExecStart= list runs, after the unit file's text
// and its drop-ins' texts (in the order systemd applies them) are read one after the other
// ("-", "@", "+", "!", ":" prefixes dropped). nullopt when the list ends up empty or a text
// cannot be parsed.
std::optional<std::string> unitExecutable(const std::vector<std::string_view>& texts);
inline std::optional<std::string> unitExecutable(std::string_view text) {
  return unitExecutable(std::vector<std::string_view>{text});
}

// The program of a cron table's first job; `userColumn` for system tables.
std::optional<std::string> cronExecutable(std::string_view text, bool userColumn);

}  // namespace platform::es
