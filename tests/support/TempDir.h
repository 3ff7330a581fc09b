// A fresh directory of a test's own, removed with everything in it when the object goes, also
// when the test fails half-way. Always under /tmp, whatever TMPDIR says: tests hand these
// directories to other users (nobody, clamav, the users sshd logs in) and put sockets in them,
// whose paths must stay short.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace test_support {

class TempDir {
 public:
  // "/tmp/<prefix>-XXXXXX", mode 0700. Throws when it cannot be made: the test fails there.
  explicit TempDir(std::string_view prefix = "watch-test") {
    std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = std::move(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path as text, for tests that build paths by appending to it.
  const std::string& string() const { return path_.native(); }
  // The path of `name` in the directory, as text.
  std::string operator/(const std::filesystem::path& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace test_support
