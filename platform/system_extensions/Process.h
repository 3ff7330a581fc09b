// Processes and files the agent service needs: running commands, starting the agent detached,
// finding and stopping it. Errors are negative errno values.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"

namespace platform::system_extensions {

struct CommandResult {
  int exitStatus = 127;  // 128 + signal when killed; 127 when it could not be run
  std::string output;    // standard output
};

// Runs argv[0] (searched in PATH) with argv, waits for it and collects its standard output.
CommandResult runCommand(const std::vector<std::string>& argv);

// A child with its standard input and output connected to us, for a line protocol.
class Subprocess {
 public:
  // Returns the error (negative errno) when the program cannot be started.
  static std::pair<std::optional<Subprocess>, int> start(const std::vector<std::string>& argv);

  Subprocess(Subprocess&& other) noexcept;
  Subprocess& operator=(Subprocess&&) = delete;
  ~Subprocess();  // waits for the child if wait() was not called

  // One line without its newline; nullopt at end of output.
  std::optional<std::string> readLine();
  bool writeLine(const std::string& line);
  void closeInput();
  // Exit status as CommandResult::exitStatus.
  int wait();

 private:
  Subprocess(pid_t pid, UniqueFd in, UniqueFd out)
      : pid_(pid), in_(std::move(in)), out_(std::move(out)) {}
  pid_t pid_ = -1;
  UniqueFd in_;
  UniqueFd out_;
  std::string buffer_;
  bool eof_ = false;
};

// Starts a program in its own session, re-parented away from us so it outlives the caller, with
// standard input from /dev/null and standard output and error written to logPath (truncated).
// environment holds "NAME=value" entries. Returns the pid, or a negative errno (also for a
// program that cannot be executed).
pid_t startDetached(const std::string& program, const std::vector<std::string>& environment,
                    const std::string& logPath);

// True until the process has finished exiting: a zombie counts as gone once its last thread is.
bool processAlive(pid_t pid);

// The path of the process's executable, without the " (deleted)" mark of a replaced file.
std::optional<std::string> executableOf(pid_t pid);

// True when the running process's image is the file at path (same device and inode).
bool runsFile(pid_t pid, const std::string& path);

// SIGTERM, then SIGKILL once the grace period is over; true when the process is gone.
bool stopProcess(pid_t pid, std::chrono::milliseconds grace);

// The pid of the process listening on a Unix stream socket, or nullopt if nobody serves it.
std::optional<pid_t> servingPid(const std::string& socketPath);

// Removes a socket file that nobody listens on any more; leaves anything else alone.
void removeStaleSocket(const std::string& socketPath);

bool isExecutableFile(const std::string& path);

// Writes the whole file through a temporary and a rename. Returns 0 or a negative errno.
int writeFileAtomically(const std::string& path, const std::string& content, mode_t mode);
std::optional<std::string> readFile(const std::string& path);

// Creates a directory and its parents (mode for the ones it creates). 0 or a negative errno.
int makeDirectories(const std::string& path, mode_t mode);

}  // namespace platform::system_extensions
