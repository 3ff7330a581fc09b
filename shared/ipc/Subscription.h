// What a client asks the agent to send it: the kinds it wants and, for the process kinds (EXEC,
// FORK, EXIT), the executable it is interested in. The agent encodes and sends a connection
// nothing else once it has answered the call; a connection that never asks gets everything.
//
// Wire form, the call's one string argument (JSON):
//   {"kinds": ["EXEC", "LOGIN"], "executablePath": "/usr/bin/", "match": "prefix"}
// "kinds" absent: every kind; [] : none (a client that only asks for the process table).
// Kinds as `ipc::parseEventKind` reads them (names in any case, or type numbers).
// "executablePath" absent or "": any executable; "match" is "exact" (the default) or "prefix".
// The reply is "subscribed", or a sentence saying what was wrong (the earlier subscription then
// stays in force).
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shared/ipc/EventKinds.h"
#include "shared/ipc/Protocols.h"

namespace ipc {

struct Subscription {
  // By index in kEventKindNames.
  std::bitset<kEventKindNames.size()> kinds = std::bitset<kEventKindNames.size()>().set();
  std::string executablePath;  // empty: any
  bool executablePathIsPrefix = false;

  bool wantsKind(std::uint32_t eventType) const {
    const std::size_t i = eventKindIndex(eventType);
    return i < kinds.size() && kinds.test(i);
  }
  // Whether a process kind's event about `path` is wanted.
  bool wantsExecutable(std::string_view path) const {
    if (executablePath.empty()) return true;
    return executablePathIsPrefix ? path.starts_with(executablePath) : path == executablePath;
  }
  friend bool operator==(const Subscription&, const Subscription&) = default;
};

// Whether events of this type are filtered by executable path.
constexpr bool isProcessKind(std::uint32_t eventType) {
  return eventType == 9 || eventType == 11 || eventType == 15;
}

std::string encodeSubscription(const Subscription& subscription);
// Null, with `error` set to a sentence, when `text` is not a subscription.
std::optional<Subscription> decodeSubscription(std::string_view text, std::string& error);

}  // namespace ipc
