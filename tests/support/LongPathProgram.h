// A running copy of a program whose path is longer than PATH_MAX: the kernel's exe link cannot
// show such a path, and no single call takes it, so the folders are made and entered one by one.
// Root of a temporary folder of its own, removed with the object.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace test_support {

class LongPathProgram {
 public:
  // Copies `program` (a program that runs a while given the argument "30", like sleep) and runs
  // the copy; ok() says whether all went well.
  explicit LongPathProgram(const char* program) {
    char top[] = "/tmp/long-path-XXXXXX";
    if (::mkdtemp(top) == nullptr) return;
    top_ = top;
    path_ = top_;
    folder_ = ::open(top, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(200, 'd');
    std::vector<std::string> dirs = {top_};
    for (int i = 0; i < 22 && folder_ >= 0; ++i) {
      const int next = ::mkdirat(folder_, name.c_str(), 0755) == 0
                           ? ::openat(folder_, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
      ::close(folder_);
      folder_ = next;
      dirs.push_back(name);
      path_ += "/" + name;
    }
    path_ += "/program";
    if (folder_ < 0 || !copy(program)) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      for (const std::string& dir : dirs) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
      }
      ::execl("./program", "program", "30", nullptr);
      ::_exit(127);
    }
  }
  ~LongPathProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (folder_ >= 0) ::close(folder_);
    if (!top_.empty()) [[maybe_unused]]
      int rc = std::system(("rm -rf " + top_).c_str());
  }
  LongPathProgram(const LongPathProgram&) = delete;
  LongPathProgram& operator=(const LongPathProgram&) = delete;

  bool ok() const { return pid_ > 0 && path_.size() > PATH_MAX; }
  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }
  // Deletes the copy; the process runs on.
  bool remove() { return ::unlinkat(folder_, "program", 0) == 0; }

 private:
  bool copy(const char* program) {
    const int from = ::open(program, O_RDONLY | O_CLOEXEC);
    const int to = ::openat(folder_, "program", O_WRONLY | O_CREAT | O_CLOEXEC, 0755);
    bool ok = from >= 0 && to >= 0;
    char buffer[65536];
    for (ssize_t n; ok && (n = ::read(from, buffer, sizeof buffer)) > 0;) {
      ok = ::write(to, buffer, static_cast<std::size_t>(n)) == n;
    }
    if (from >= 0) ::close(from);
    if (to >= 0) ::close(to);
    return ok;
  }

  std::string top_;
  std::string path_;
  int folder_ = -1;
  pid_t pid_ = -1;
};

}  // namespace test_support
