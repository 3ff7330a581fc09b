// The system log: one line per call, to the systemd journal when its socket exists, otherwise
// to standard error. Tests capture the lines instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Override.h"

namespace platform::log {

// Writes one line at the default level.
void write(std::string_view line);

// Where lines go instead of the system log while one is installed (a Capture installs itself).
class Sink {
 public:
  static constexpr const char* kFacility = "log sink";
  virtual ~Sink() = default;
  // One line at a time, under the log's lock, from any thread.
  virtual void write(std::string_view line) = 0;
};

// While alive, every line written by any thread is kept here instead of being emitted. Scopes
// nest: an inner capture takes the lines until it ends.
class Capture final : public Sink {
 public:
  Capture();
  ~Capture() override;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view line) const;
  void clear();

 private:
  void write(std::string_view line) override;

  std::vector<std::string> lines_;                 // guarded by the log's lock
  std::optional<ScopedOverride<Sink>> installed_;  // changed under the log's lock
};

}  // namespace platform::log

// The log calls the agent and the application make, with the platform's names. Both take a
// printf format; os_log also accepts the "%{public}" and "%{private}" privacy markers.
struct os_log_s;
using os_log_t = os_log_s*;
#define OS_LOG_DEFAULT (static_cast<os_log_t>(nullptr))

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void os_log(os_log_t log, const char* format, ...);
