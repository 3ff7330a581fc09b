// One line: the epoch in decimal. Written to a temporary file, flushed and renamed, so a crash
// leaves either no file or a whole one.
#include "tools/watchexport/Epoch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "platform/UniqueFd.h"

namespace watchexport {

namespace {

std::uint64_t microsecondsSince1970() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

bool save(const std::filesystem::path& path, std::uint64_t epoch, std::string& error) {
  const std::string text = std::to_string(epoch) + "\n";
  const std::filesystem::path temporary = path.string() + ".new";
  platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> loadOrCreateEpoch(const std::filesystem::path& path,
                                               std::string& replaced, std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    std::ifstream in(path);
    std::uint64_t epoch = 0;
    if (in >> epoch && epoch > 0) return epoch;
    replaced = "unreadable exporter epoch in " + path.string() + "; starting a new one";
  }
  const std::uint64_t epoch = microsecondsSince1970();
  if (!save(path, epoch, error)) return std::nullopt;
  return epoch;
}

}  // namespace watchexport
