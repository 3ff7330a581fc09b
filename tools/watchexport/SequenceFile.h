// The machine's sequence number across exporter runs. A message id is the machine id, the
// exporter epoch (Epoch.h) and this number, and JetStream drops a message whose id it has seen,
// so within an epoch a number must never be used twice. The file holds either the exact next number
// (written at a clean stop) or a reserved ceiling that every number in use stays below (written,
// and flushed to disk, before the numbers below it are used). After a crash numbers resume at the
// ceiling: a jump, never a reuse.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace watchexport {

class SequenceFile {
 public:
  static constexpr std::uint64_t kReservation = 100000;

  // Opens or creates the file; the next number to use is resumeAt().
  static std::unique_ptr<SequenceFile> open(const std::filesystem::path& path, std::string& error);

  std::uint64_t resumeAt() const { return resumeAt_; }
  // Whether the previous run stopped cleanly (or there was none).
  bool previousRunClean() const { return clean_; }
  // Called before `sequence` is used; extends the reservation when it runs out. False with
  // `error` when the reservation cannot be written.
  bool use(std::uint64_t sequence, std::string& error);
  // A clean stop: the next run starts at `next`.
  bool close(std::uint64_t next, std::string& error);

 private:
  explicit SequenceFile(std::filesystem::path path) : path_(std::move(path)) {}
  bool save(std::uint64_t value, bool exact, std::string& error);

  std::filesystem::path path_;
  std::uint64_t resumeAt_ = 1;
  std::uint64_t ceiling_ = 0;
  bool clean_ = true;
};

}  // namespace watchexport
