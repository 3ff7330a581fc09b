#include "platform/log/Log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform::log {
namespace {

// Held while a line is handed to the installed sink and while a capture comes or goes, so that
// no line reaches a capture that has ended.
std::mutex gMutex;

bool journalPresent() {
  static const bool present = [] {
    struct stat st {};
    return ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
  }();
  return present;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return format;  // a broken format is still worth one line
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

// Turns os_log's "%{public}s" into "%s"; other text is kept as it is.
std::string stripPrivacyMarkers(const char* format) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    out += *p;
    if (*p == '%' && p[1] == '{') {
      const char* close = std::strchr(p, '}');
      if (close) p = close;
    }
  }
  return out;
}

}  // namespace

void write(std::string_view line) {
  {
    std::lock_guard lock(gMutex);
    if (Sink* sink = Installed<Sink>::find()) {
      sink->write(line);
      return;
    }
  }
  if (journalPresent()) {
    sd_journal_print(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
    return;
  }
  std::string out;
  out.reserve(line.size() + 1);
  out.append(line).push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stderr);
}

Capture::Capture() {
  std::lock_guard lock(gMutex);
  installed_.emplace(*this);
}

Capture::~Capture() {
  std::lock_guard lock(gMutex);
  installed_.reset();
}

void Capture::write(std::string_view line) {
  lines_.emplace_back(line);
}

std::vector<std::string> Capture::lines() const {
  std::lock_guard lock(gMutex);
  return lines_;
}

bool Capture::contains(std::string_view line) const {
  std::lock_guard lock(gMutex);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void Capture::clear() {
  std::lock_guard lock(gMutex);
  lines_.clear();
}

}  // namespace platform::log

void NSLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = platform::log::vformat(format, args);
  va_end(args);
  platform::log::write(line);
}

void os_log(os_log_t, const char* format, ...) {
  const std::string plain = platform::log::stripPrivacyMarkers(format);
  va_list args;
  va_start(args, format);
  const std::string line = platform::log::vformat(plain.c_str(), args);
  va_end(args);
  platform::log::write(line);
}
