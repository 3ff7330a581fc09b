#include "platform/system_extensions/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/UnixSocket.h"
#include "platform/procfs/ProcFs.h"

extern char** environ;

namespace platform::system_extensions {
namespace {

int retryEintr(auto call) {
  int r;
  do r = call();
  while (r < 0 && errno == EINTR);
  return r;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

int exitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 127;
}

int waitFor(pid_t pid) {
  int status = 0;
  if (retryEintr([&] { return ::waitpid(pid, &status, 0); }) < 0) return 127;
  return exitStatusOf(status);
}

// Spawn attributes that give the child default signal handling whatever ours is.
class CleanSpawn {
 public:
  CleanSpawn() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~CleanSpawn() {
    posix_spawnattr_destroy(&attr_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  CleanSpawn(const CleanSpawn&) = delete;
  CleanSpawn& operator=(const CleanSpawn&) = delete;

  void dupTo(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
  void openTo(int target, const char* path, int flags) {
    posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0);
  }
  // Returns the pid or a negative errno.
  pid_t spawn(const std::vector<std::string>& argv) {
    if (argv.empty()) return -EINVAL;
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    std::vector<char*> args = cStrings(argv);
    pid_t pid = -1;
    const int err = ::posix_spawnp(&pid, args[0], &actions_, &attr_, args.data(), environ);
    return err == 0 ? pid : -err;
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return {};
  UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
  CleanSpawn spawn;
  spawn.openTo(STDIN_FILENO, "/dev/null", O_RDONLY);
  spawn.dupTo(writeEnd.get(), STDOUT_FILENO);
  const pid_t pid = spawn.spawn(argv);
  writeEnd.reset();
  if (pid < 0) return {};
  CommandResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  result.exitStatus = waitFor(pid);
  return result;
}

std::pair<std::optional<Subprocess>, int> Subprocess::start(const std::vector<std::string>& argv) {
  // One socket is the child's input and output: unlike a pipe, writing to it after the child is
  // gone fails with EPIPE instead of raising SIGPIPE in the application.
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) return {std::nullopt, -errno};
  UniqueFd ours(fds[0]), theirs(fds[1]);
  CleanSpawn spawn;
  spawn.dupTo(theirs.get(), STDIN_FILENO);
  spawn.dupTo(theirs.get(), STDOUT_FILENO);
  const pid_t pid = spawn.spawn(argv);
  if (pid < 0) return {std::nullopt, pid};
  UniqueFd output(::fcntl(ours.get(), F_DUPFD_CLOEXEC, 0));
  return {Subprocess(pid, std::move(ours), std::move(output)), 0};
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_(std::move(other.in_)),
      out_(std::move(other.out_)),
      buffer_(std::move(other.buffer_)),
      eof_(other.eof_) {}

Subprocess::~Subprocess() {
  if (pid_ > 0) {
    closeInput();
    out_.reset();
    wait();
  }
}

std::optional<std::string> Subprocess::readLine() {
  for (;;) {
    const auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (eof_ || !out_) {
      if (buffer_.empty()) return std::nullopt;
      return std::exchange(buffer_, {});
    }
    char chunk[1024];
    const ssize_t n = ::read(out_.get(), chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      eof_ = true;
    }
  }
}

bool Subprocess::writeLine(const std::string& line) {
  if (!in_) return false;
  const std::string data = line + '\n';
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(in_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Subprocess::closeInput() {
  if (in_) ::shutdown(in_.get(), SHUT_WR);
}

int Subprocess::wait() {
  if (pid_ <= 0) return 127;
  return waitFor(std::exchange(pid_, -1));
}

pid_t startDetached(const std::string& program, const std::vector<std::string>& environment,
                    const std::string& logPath) {
  // Everything the children need is prepared here: between fork and exec only
  // async-signal-safe calls are made.
  std::vector<std::string> argvStrings{program};
  std::vector<char*> argv = cStrings(argvStrings);
  std::vector<char*> envp = cStrings(environment);
  const char* log = logPath.c_str();

  int pidPipe[2], execPipe[2];
  if (::pipe2(pidPipe, O_CLOEXEC) < 0) return -errno;
  UniqueFd pidRead(pidPipe[0]), pidWrite(pidPipe[1]);
  if (::pipe2(execPipe, O_CLOEXEC) < 0) return -errno;
  UniqueFd execRead(execPipe[0]), execWrite(execPipe[1]);

  const pid_t middle = ::fork();
  if (middle < 0) return -errno;
  if (middle == 0) {
    ::setsid();
    const pid_t agent = ::fork();
    if (agent != 0) {
      const pid_t report = agent < 0 ? -errno : agent;
      (void)!::write(pidPipe[1], &report, sizeof report);
      ::_exit(0);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    (void)!::chdir("/");
    ::umask(022);
    int err = 0;
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0640);
    if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
      err = errno;
    } else {
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
      ::execve(argv[0], argv.data(), envp.data());
      err = errno;
    }
    (void)!::write(execPipe[1], &err, sizeof err);
    ::_exit(127);
  }
  pidWrite.reset();
  execWrite.reset();
  waitFor(middle);

  pid_t agent = -EIO;
  if (retryEintr([&] { return static_cast<int>(::read(pidRead.get(), &agent, sizeof agent)); }) !=
      static_cast<int>(sizeof agent))
    return -EIO;
  if (agent < 0) return agent;
  // The exec pipe closes on a successful exec; otherwise it carries the errno.
  int execError = 0;
  if (retryEintr([&] {
        return static_cast<int>(::read(execRead.get(), &execError, sizeof execError));
      }) == static_cast<int>(sizeof execError))
    return execError > 0 ? -execError : -EIO;
  return agent;
}

bool processAlive(pid_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) < 0 && errno != EPERM) return false;
  const ProcReader proc;
  ProcStat stat;
  if (proc.stat(pid, stat) < 0) return false;
  if (stat.state != 'Z' && stat.state != 'X') return true;
  // A dead leader waits as a zombie while its other threads finish exiting, and they still hold
  // its files (a listening socket keeps accepting). Only a zombie alone is gone; nobody may
  // ever reap it here.
  return proc.threads(pid).size() > 1;
}

std::optional<std::string> executableOf(pid_t pid) {
  std::string path;
  bool truncated = false;
  if (ProcReader().exePath(pid, path, truncated) < 0 || path.empty()) return std::nullopt;
  static constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

bool runsFile(pid_t pid, const std::string& path) {
  struct stat image {
  }, file{};
  if (::stat(ProcReader().pathOf(pid, "exe"), &image) < 0 || ::stat(path.c_str(), &file) < 0)
    return false;
  return image.st_dev == file.st_dev && image.st_ino == file.st_ino;
}

bool stopProcess(pid_t pid, std::chrono::milliseconds grace) {
  using namespace std::chrono;
  const auto waitGone = [pid](milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (processAlive(pid)) {
      if (steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  };
  if (!processAlive(pid)) return true;
  if (pid == ::getpid()) return false;  // whatever serves the socket, never ourselves
  ::kill(pid, SIGTERM);
  if (waitGone(grace)) return true;
  ::kill(pid, SIGKILL);
  return waitGone(seconds(2));
}

std::optional<pid_t> servingPid(const std::string& socketPath) {
  const UnixConnection connection = connectUnix(socketPath);
  ucred credentials{};
  if (!connection.fd || peerCredentials(connection.fd.get(), credentials) < 0 ||
      credentials.pid <= 0)
    return std::nullopt;
  return credentials.pid;
}

void removeStaleSocket(const std::string& socketPath) {
  ::platform::removeStaleSocket(socketPath);
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

int writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  const std::string temporary = path + ".tmp";
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) return -errno;
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = -errno;
      ::unlink(temporary.c_str());
      return err;
    }
    done += static_cast<std::size_t>(n);
  }
  ::fchmod(fd.get(), mode);
  fd.reset();
  if (::rename(temporary.c_str(), path.c_str()) < 0) {
    const int err = -errno;
    ::unlink(temporary.c_str());
    return err;
  }
  return 0;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

int makeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return -EINVAL;
  std::size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    const std::string prefix = path.substr(0, position);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), mode) < 0 && errno != EEXIST) return -errno;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) < 0) return -errno;
  return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

}  // namespace platform::system_extensions
