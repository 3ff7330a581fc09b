// The system log: one line per call, to the systemd journal when its socket exists, otherwise
// to standard error. Tests capture the lines instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::log {

// Writes one line at the default level.
void write(std::string_view line);

// While alive, every line written by any thread is kept here instead of being emitted.
// Scopes do not nest.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view line) const;
  void clear();
};

}  // namespace platform::log

// The log calls the agent and the application make, with the platform's names. Both take a
// printf format; os_log also accepts the "%{public}" and "%{private}" privacy markers.
struct os_log_s;
using os_log_t = os_log_s*;
#define OS_LOG_DEFAULT (static_cast<os_log_t>(nullptr))

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void os_log(os_log_t log, const char* format, ...);
