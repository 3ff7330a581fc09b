#include "platform/procfs/ProcFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "platform/ProcMaps.h"
#include "platform/UniqueFd.h"

namespace platform {
namespace {

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// Splits on single spaces.
std::vector<std::string_view> fields(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t space = text.find(' ', start);
    const std::size_t end = space == std::string_view::npos ? text.size() : space;
    out.push_back(text.substr(start, end - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return out;
}

// The numeric entries of a directory.
std::vector<pid_t> numericEntries(const char* path) {
  std::vector<pid_t> ids;
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return ids;
  while (const dirent* entry = ::readdir(dir)) {
    pid_t id = 0;
    if (parseNumber(std::string_view(entry->d_name), id) && id > 0) ids.push_back(id);
  }
  ::closedir(dir);
  return ids;
}

// The values after `key` on its line of a status file ("\t1000\t0\t0\t0" for "Uid:"); nullopt when
// no line starts with it.
std::optional<std::string_view> statusValues(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t eol = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, eol - at);
    if (line.substr(0, key.size()) == key) return line.substr(key.size());
    at = eol + 1;
  }
  return std::nullopt;
}

// The next number of a status line's values, which tabs or spaces separate.
bool nextStatusValue(std::string_view& values, std::uint32_t& value) {
  while (!values.empty() && (values.front() == '\t' || values.front() == ' ')) {
    values.remove_prefix(1);
  }
  const std::size_t end = std::min(values.find_first_of("\t "), values.size());
  if (!parseNumber(values.substr(0, end), value)) return false;
  values.remove_prefix(end);
  return true;
}

std::int64_t clockNs(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::optional<ProcStat> parseProcStat(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.remove_suffix(1);
  const std::size_t open = text.find(" (");
  const std::size_t close = text.rfind(") ");
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  ProcStat st;
  if (!parseNumber(text.substr(0, open), st.pid)) return std::nullopt;
  // After the name: state(3) ppid(4) pgrp(5) session(6) tty(7) tpgid(8) flags(9) ... start(22).
  const auto rest = fields(text.substr(close + 2));
  if (rest.size() < 20 || rest[0].size() != 1) return std::nullopt;
  st.state = rest[0].front();
  if (!parseNumber(rest[1], st.ppid) || !parseNumber(rest[2], st.pgrp) ||
      !parseNumber(rest[3], st.session) || !parseNumber(rest[6], st.flags) ||
      !parseNumber(rest[19], st.startTicks)) {
    return std::nullopt;
  }
  return st;
}

std::optional<ProcIds> parseProcStatusIds(std::string_view text) {
  // "Uid:\treal\teffective\tsaved\tfs"
  auto idsOf = [&](std::string_view key, std::uint32_t& real, std::uint32_t& effective) {
    std::optional<std::string_view> values = statusValues(text, key);
    return values && nextStatusValue(*values, real) && nextStatusValue(*values, effective);
  };
  ProcIds ids;
  if (!idsOf("Uid:", ids.ruid, ids.euid) || !idsOf("Gid:", ids.rgid, ids.egid)) {
    return std::nullopt;
  }
  return ids;
}

std::optional<ProcStatus> parseProcStatus(std::string_view text) {
  std::optional<std::string_view> values = statusValues(text, "PPid:");
  std::uint32_t ppid = 0;
  if (!values || !nextStatusValue(*values, ppid)) return std::nullopt;
  const std::optional<ProcIds> ids = parseProcStatusIds(text);
  if (!ids) return std::nullopt;
  return ProcStatus{static_cast<pid_t>(ppid), *ids};
}

int readProcFile(const char* path, std::string& out) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  out.clear();
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.clear();
      return -err;
    }
    if (n == 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return 0;
}

const char* ProcReader::pathOf(pid_t pid, const char* name) const {
  thread_local std::string path;
  path.assign(root_);
  char tail[48];
  const int n = std::snprintf(tail, sizeof tail, "/%d/%s", static_cast<int>(pid), name);
  path.append(tail, static_cast<std::size_t>(n));
  return path.c_str();
}

int ProcReader::stat(pid_t pid, ProcStat& out) const {
  thread_local std::string text;
  if (const int rc = readProcFile(pathOf(pid, "stat"), text); rc < 0) return rc;
  const auto parsed = parseProcStat(text);
  if (!parsed) return -EINVAL;
  out = *parsed;
  return 0;
}

int ProcReader::ids(pid_t pid, ProcIds& out) const {
  thread_local std::string text;
  if (const int rc = readProcFile(pathOf(pid, "status"), text); rc < 0) return rc;
  const auto parsed = parseProcStatusIds(text);
  if (!parsed) return -EINVAL;
  out = *parsed;
  return 0;
}

int ProcReader::status(pid_t pid, ProcStatus& out) const {
  thread_local std::string text;
  if (const int rc = readProcFile(pathOf(pid, "status"), text); rc < 0) return rc;
  const auto parsed = parseProcStatus(text);
  if (!parsed) return -EINVAL;
  out = *parsed;
  return 0;
}

int ProcReader::exePath(pid_t pid, std::string& path, bool& truncated) const {
  return readLinkPath(pathOf(pid, "exe"), path, truncated);
}

int ProcReader::mappedPath(pid_t pid, dev_t dev, ino_t ino, std::string& path) const {
  std::string text;
  if (const int rc = readProcFile(pathOf(pid, "maps"), text); rc < 0) return rc;
  const std::optional<std::string_view> found = platform::mappedPath(text, dev, ino);
  if (!found) return -ENOENT;
  path.assign(*found);
  return 0;
}

int ProcReader::cmdline(pid_t pid, std::string& out) const {
  return readProcFile(pathOf(pid, "cmdline"), out);
}

int ProcReader::environment(pid_t pid, std::string& out) const {
  return readProcFile(pathOf(pid, "environ"), out);
}

std::vector<pid_t> ProcReader::pids() const {
  return numericEntries(root_.c_str());
}

std::vector<pid_t> ProcReader::threads(pid_t pid) const {
  return numericEntries(pathOf(pid, "task"));
}

int readLinkPath(const char* link, std::string& path, bool& truncated) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link, buffer, sizeof buffer);
  if (n < 0) return -errno;
  truncated = static_cast<std::size_t>(n) == sizeof buffer;
  path.assign(buffer, static_cast<std::size_t>(n));
  return 0;
}

int readProcStat(pid_t pid, ProcStat& out) {
  return ProcReader().stat(pid, out);
}

int readProcIds(pid_t pid, ProcIds& out) {
  return ProcReader().ids(pid, out);
}

int readExePath(pid_t pid, std::string& path, bool& truncated) {
  return ProcReader().exePath(pid, path, truncated);
}

int readCmdline(pid_t pid, std::string& out) {
  return ProcReader().cmdline(pid, out);
}

int readEnviron(pid_t pid, std::string& out) {
  return ProcReader().environment(pid, out);
}

std::vector<pid_t> listPids() {
  return ProcReader().pids();
}

std::vector<std::string_view> splitNulList(std::string_view block) {
  std::vector<std::string_view> out;
  forEachNulEntry(block, [&](std::string_view entry) { out.push_back(entry); });
  return out;
}

std::int64_t bootWallClockNs() {
  return clockNs(CLOCK_REALTIME) - clockNs(CLOCK_BOOTTIME);
}
std::int64_t monotonicWallClockNs() {
  return clockNs(CLOCK_REALTIME) - clockNs(CLOCK_MONOTONIC);
}

}  // namespace platform
