// What `watchctl ps --format table` prints of the agent's process table: a header, then one row
// per process with its parent, user, executable and arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace watchctl {

// The rows, header first, each ending in a newline; nothing when `document` is not a process
// table. Entries from an agent that does not give parent, user or arguments show "-" there.
std::optional<std::string> processTableRows(std::string_view document);

}  // namespace watchctl
