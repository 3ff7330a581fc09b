// Real programs for the live tests: throwaway users, a program on a pseudo-terminal, commands
// run to completion. Each owner removes what it made, also when an assertion fails.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace live {

using namespace std::chrono_literals;

// Runs `argv` to its end with `input` on standard input and output discarded; returns the
// wait status.
inline int run(const std::vector<std::string>& argv, const std::string& input = "") {
  // Everything the child needs is made before fork: other threads may hold the allocator.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  if (!input.empty()) [[maybe_unused]]
    ssize_t n = ::write(in[1], input.data(), input.size());
  ::close(in[1]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

// A user that exists for the life of this object, with a home and a password.
class ThrowawayUser {
 public:
  ThrowawayUser(const std::string& name, const std::string& password) : name_(name) {
    run({"userdel", "-r", name_});  // left over from an interrupted run
    created_ = run({"useradd", "-m", "-s", "/bin/sh", name_}) == 0 &&
               run({"chpasswd"}, name_ + ":" + password + "\n") == 0;
  }
  ~ThrowawayUser() { run({"userdel", "-r", "-f", name_}); }
  ThrowawayUser(const ThrowawayUser&) = delete;
  ThrowawayUser& operator=(const ThrowawayUser&) = delete;

  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  std::optional<uid_t> uid() const {
    const passwd* entry = ::getpwnam(name_.c_str());
    return entry ? std::optional<uid_t>(entry->pw_uid) : std::nullopt;
  }

 private:
  std::string name_;
  bool created_ = false;
};

// A program on a pseudo-terminal, optionally run as another user; killed and reaped at the end.
class PtyProgram {
 public:
  PtyProgram(const std::vector<std::string>& argv, std::optional<uid_t> asUser = std::nullopt) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::optional<gid_t> group;
    if (asUser) {
      const passwd* entry = ::getpwuid(*asUser);
      if (entry != nullptr) group = entry->pw_gid;
    }
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (asUser && (!group || ::setgid(*group) != 0 || ::setuid(*asUser) != 0)) ::_exit(126);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~PtyProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  PtyProgram(const PtyProgram&) = delete;
  PtyProgram& operator=(const PtyProgram&) = delete;

  pid_t pid() const { return pid_; }

  // Reads until the output so far holds `text`; false after `timeout`.
  bool expect(const std::string& text, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text, consumed_) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    consumed_ = output_.find(text, consumed_) + text.size();
    return true;
  }

  void send(const std::string& text) {
    [[maybe_unused]] ssize_t n = ::write(master_, text.data(), text.size());
  }

  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
  std::size_t consumed_ = 0;
};

}  // namespace live
