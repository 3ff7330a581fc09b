// One event document as people read it in a table: the columns `watchctl stream --format table`
// prints and the application's Events view shows, taken out of the JSON in one place so the two
// always agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shared/ipc/EventKinds.h"

namespace ipc {

struct EventColumns {
  std::string timeStr;                  // the document's `timeStr`, as sent
  double time = 0;                      // the document's `time`: seconds since 2001-01-01
  const EventKindName* kind = nullptr;  // by `eventType`; null for a kind not known here
  std::int64_t pid = -1, ppid = -1;     // the acting process's; -1 when absent
  std::optional<std::uint32_t> uid;     // its effective user
  std::string executable;               // its executable; for EXEC the image before the exec
  std::string target;                   // EXEC: the program executed
  // The kind's main detail: for EXEC the program executed with its arguments, the user for
  // logins, the path for launch items and detections, the address for ssh and screen sharing.
  std::string detail;

  std::string_view kindName() const { return kind ? kind->eventDesc : "unknown"; }
};

// Null when the bytes are not a JSON object.
std::optional<EventColumns> eventColumns(std::string_view document);

// An argument as a shell would need it to stay one word: quoted when empty or holding blanks or
// quotes.
std::string shellWord(const std::string& argument);

// The name of user `uid`, or the number when the machine knows no such user.
const std::string& userName(std::uint32_t uid);

// The document's time as local ISO 8601 with milliseconds and the zone's offset
// ("2026-12-10T18:25:03.120+01:00").
std::string localIsoTime(double secondsSince2001);

}  // namespace ipc
