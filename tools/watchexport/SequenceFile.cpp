// One line: "next N" after a clean stop, "reserved N" while running.
#include "tools/watchexport/SequenceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/UniqueFd.h"

namespace watchexport {

std::unique_ptr<SequenceFile> SequenceFile::open(const std::filesystem::path& path,
                                                 std::string& error) {
  std::unique_ptr<SequenceFile> file(new SequenceFile(path));
  std::ifstream in(path);
  std::string word;
  std::uint64_t value = 0;
  if (in >> word >> value && value > 0) {
    file->resumeAt_ = value;
    file->clean_ = word == "next";
  } else if (std::filesystem::exists(path)) {
    error = "unreadable sequence file " + path.string();
    return nullptr;
  }
  // Reserve at once: from now on a crash resumes above every number this run may use.
  if (!file->save(file->resumeAt_ + kReservation, false, error)) return nullptr;
  return file;
}

bool SequenceFile::use(std::uint64_t sequence, std::string& error) {
  if (sequence < ceiling_) return true;
  return save(sequence + kReservation, false, error);
}

bool SequenceFile::close(std::uint64_t next, std::string& error) {
  return save(next, true, error);
}

bool SequenceFile::save(std::uint64_t value, bool exact, std::string& error) {
  const std::string text =
      std::string(exact ? "next " : "reserved ") + std::to_string(value) + "\n";
  const std::filesystem::path temporary = path_.string() + ".new";
  platform::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      ::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path_.c_str()) != 0) {
    error = "cannot write " + path_.string() + ": " + std::strerror(errno);
    return false;
  }
  ceiling_ = value;
  return true;
}

}  // namespace watchexport
