// Reading one process's state from /proc, for every part of the platform layer that needs it
// (the event sources, the process-table queries, the agent service's process helpers): the
// parsers are pure so they can be tested on fixed text; the readers return negative errno when
// the process is gone or unreadable. A ProcReader reads a /proc tree under a root of its choice
// (tests give it a fixture directory); the free readers read the machine's own /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The members of /proc/<pid>/stat the platform layer uses.
struct ProcStat {
  pid_t pid = 0;
  char state = 0;  // 'R', 'S', ..., 'Z' for a zombie, 'X' for a process being torn down
  pid_t ppid = 0;
  pid_t pgrp = 0;
  pid_t session = 0;
  std::uint32_t flags = 0;
  std::uint64_t startTicks = 0;                                     // clock ticks after boot
  bool kernelThread() const { return (flags & 0x00200000u) != 0; }  // PF_KTHREAD
};

// Real and effective ids from the "Uid:" and "Gid:" lines of /proc/<pid>/status.
struct ProcIds {
  uid_t ruid = 0;
  uid_t euid = 0;
  gid_t rgid = 0;
  gid_t egid = 0;
};

// The parent's id and the ids of /proc/<pid>/status, from its "PPid:", "Uid:" and "Gid:" lines.
struct ProcStatus {
  pid_t ppid = 0;
  ProcIds ids;
};

// Parses a stat line; the command name may hold spaces and parentheses.
std::optional<ProcStat> parseProcStat(std::string_view text);
std::optional<ProcIds> parseProcStatusIds(std::string_view text);
std::optional<ProcStatus> parseProcStatus(std::string_view text);

// Reads a whole small /proc file into `out` (reusing its capacity). Returns 0 or -errno.
int readProcFile(const char* path, std::string& out);

// A /proc tree, "/proc" unless told otherwise. Small and copyable; no state besides the root.
class ProcReader {
 public:
  explicit ProcReader(std::string root = "/proc") : root_(std::move(root)) {}

  const std::string& root() const { return root_; }
  int stat(pid_t pid, ProcStat& out) const;
  int ids(pid_t pid, ProcIds& out) const;
  int status(pid_t pid, ProcStatus& out) const;
  int exePath(pid_t pid, std::string& path, bool& truncated) const;
  // The path of the file (device `dev`, inode `ino`) the process has mapped, from its maps:
  // also a path longer than PATH_MAX, which the exe link cannot show.
  int mappedPath(pid_t pid, dev_t dev, ino_t ino, std::string& path) const;
  int cmdline(pid_t pid, std::string& out) const;
  int environment(pid_t pid, std::string& out) const;
  // Every numeric entry of the tree.
  std::vector<pid_t> pids() const;
  // The process's threads (the entries of its task directory, itself among them); none when it
  // is gone.
  std::vector<pid_t> threads(pid_t pid) const;
  // `<root>/<pid>/<name>`, for calls the reader does not make itself; in a buffer of the calling
  // thread, good until its next call.
  const char* pathOf(pid_t pid, const char* name) const;

 private:
  std::string root_;
};

// The target of a symbolic link; `truncated` when it did not fit PATH_MAX.
int readLinkPath(const char* link, std::string& path, bool& truncated);

int readProcStat(pid_t pid, ProcStat& out);
int readProcIds(pid_t pid, ProcIds& out);
// The executable's path as the kernel names it; `truncated` when it did not fit PATH_MAX.
int readExePath(pid_t pid, std::string& path, bool& truncated);
// The NUL-separated argument or environment block, as raw bytes.
int readCmdline(pid_t pid, std::string& out);
int readEnviron(pid_t pid, std::string& out);

// Every numeric entry of /proc.
std::vector<pid_t> listPids();

// Splits a NUL-separated block into its entries; a trailing NUL ends the last entry, a missing
// one does not lose it.
std::vector<std::string_view> splitNulList(std::string_view block);

// Calls `visit` with each entry of splitNulList(block), in order, without building the list.
template <class Visit>
void forEachNulEntry(std::string_view block, Visit&& visit) {
  std::size_t start = 0;
  while (start < block.size()) {
    const std::size_t nul = block.find('\0', start);
    const std::size_t end = nul == std::string_view::npos ? block.size() : nul;
    visit(block.substr(start, end - start));
    start = end + 1;
  }
}

// Wall-clock time, in nanoseconds since the Unix epoch, of the boot-time clock's zero and of the
// monotonic clock's zero.
std::int64_t bootWallClockNs();
std::int64_t monotonicWallClockNs();

}  // namespace platform
