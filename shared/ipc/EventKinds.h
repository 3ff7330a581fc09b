// The kinds of event the agent reports, as its clients name them: the document's `eventType`
// number, its `eventDesc` (the name people read and type: tables, filters, fleet subjects) and
// the member that holds the kind's own fields. The agent's dispatch table checks itself against
// this one at compile time; the application and the tools read names from it alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ipc {

struct EventKindName {
  std::uint32_t eventType;
  std::string_view eventDesc;  // "EXEC", "OPENSSH_LOGIN", ...
  std::string_view member;     // "exec", "openSshLogin", ...
};

// In ascending type order.
inline constexpr std::array<EventKindName, 12> kEventKindNames{{
    {9, "EXEC", "exec"},
    {11, "FORK", "fork"},
    {15, "EXIT", "exit"},
    {111, "AUTHENTICATION", "auth"},
    {112, "XP_MALWARE_DETECTED", "xpMalwareDetected"},
    {114, "LW_SESSION_LOGIN", "lwSessionLogin"},
    {117, "LW_SESSION_UNLOCK", "lwSessionUnlock"},
    {118, "SCREENSHARING_ATTACH", "screensharingAttach"},
    {120, "OPENSSH_LOGIN", "openSshLogin"},
    {122, "LOGIN", "loginLogin"},
    {124, "BTM_LAUNCH_ITEM_ADD", "btmLaunchItemAdd"},
    {125, "BTM_LAUNCH_ITEM_REMOVE", "btmLaunchItemRemove"},
}};

// The index of `eventType`'s entry, or the table's size when it has none. Compile-time users
// take this rather than a pointer: GCC's sanitizer builds do not fold an element's address
// compared with null.
constexpr std::size_t eventKindIndex(std::uint32_t eventType) {
  std::size_t i = 0;
  while (i < kEventKindNames.size() && kEventKindNames[i].eventType != eventType) ++i;
  return i;
}

constexpr const EventKindName* findEventKindName(std::uint32_t eventType) {
  const std::size_t i = eventKindIndex(eventType);
  return i < kEventKindNames.size() ? &kEventKindNames[i] : nullptr;
}

// Whether `typed` names `name` when case and underscores are ignored ("openssh_login" and
// "openSshLogin" both name OPENSSH_LOGIN).
constexpr bool sameKindName(std::string_view typed, std::string_view name) {
  const auto folded = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::size_t i = 0, j = 0;
  for (;;) {
    while (i < typed.size() && typed[i] == '_') ++i;
    while (j < name.size() && name[j] == '_') ++j;
    if (i == typed.size() || j == name.size()) return i == typed.size() && j == name.size();
    if (folded(typed[i++]) != folded(name[j++])) return false;
  }
}

// A kind as a person may type it: its eventDesc or its member in any case ("exec", "EXEC",
// "openSshLogin", "openssh_login") or its type number ("9"). Null when none matches.
constexpr const EventKindName* parseEventKind(std::string_view text) {
  std::uint32_t number = 0;
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    if (digits) number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  for (const EventKindName& kind : kEventKindNames) {
    if (digits ? kind.eventType == number
               : sameKindName(text, kind.eventDesc) || sameKindName(text, kind.member))
      return &kind;
  }
  return nullptr;
}

static_assert(parseEventKind("exec")->eventType == 9 &&
              parseEventKind("openssh_login")->eventType == 120 &&
              parseEventKind("LOGIN")->eventType == 122 && parseEventKind("9")->eventType == 9 &&
              !parseEventKind("") && !parseEventKind("ex") && !parseEventKind("10"));

}  // namespace ipc
