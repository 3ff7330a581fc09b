// The exporter's bounded on-disk queue. Every document is appended here before it is published
// and forgotten once JetStream has acknowledged it, so neither an outage of the servers nor a
// restart of the exporter loses what the agent sent. Segment files named by their first sequence
// number hold records with consecutive sequence numbers; when the spool outgrows its limit the
// oldest segment goes, and the records in it that were never handed out count as dropped.
//
// One thread appends, one takes and acknowledges; both may call everything else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace watchexport {

struct Record {
  std::uint64_t sequence = 0;
  std::string subject;
  std::string document;
};

// Records that were dropped unpublished: `count` of them, sequences first..last (with earlier
// ones that were handed out in between left out of the count).
struct Dropped {
  std::uint64_t count = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

class Spool {
 public:
  struct Limits {
    std::uint64_t maxBytes = 256ULL << 20;
    std::uint64_t segmentBytes = 8ULL << 20;
  };

  // Opens the spool kept in `directory` (created when missing). Records after the last
  // acknowledged one will be taken again; a record cut short by a crash is discarded.
  static std::unique_ptr<Spool> open(const std::filesystem::path& directory, Limits limits,
                                     std::string& error);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // `record.sequence` must be above every earlier one. False with `error` when the disk refuses.
  bool append(const Record& record, std::string& error);
  // Up to `max` records never handed out before, in order, waiting up to `timeout` for the
  // first; empty after wake().
  std::vector<Record> take(std::size_t max, std::chrono::milliseconds timeout);
  // Everything up to `sequence` is stored for good.
  void acknowledge(std::uint64_t sequence);
  // What was dropped since the last call.
  Dropped takeDropped();
  // Ends a take() that is waiting.
  void wake();

  std::uint64_t lastSequence() const;
  std::uint64_t acknowledged() const;
  // Records appended and not yet acknowledged.
  std::uint64_t backlog() const;
  std::uint64_t bytes() const;
  std::uint64_t droppedTotal() const;

 private:
  struct Segment {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // first - 1 while empty
    std::uint64_t bytes = 0;
    std::filesystem::path path;
    platform::UniqueFd fd;
  };

  Spool(std::filesystem::path directory, Limits limits);
  bool load(std::string& error);
  bool scan(Segment& segment, std::string& error);
  bool startSegment(std::uint64_t first, std::string& error);
  void dropOldest();
  void forget(std::uint64_t upTo);
  void saveAcknowledged();
  Segment* segmentAfter(std::uint64_t sequence);

  const std::filesystem::path directory_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable appended_;
  std::deque<Segment> segments_;
  std::uint64_t totalBytes_ = 0;
  std::uint64_t lastAppended_ = 0;
  std::uint64_t lastTaken_ = 0;
  std::uint64_t readOffset_ = 0;  // in the segment holding lastTaken_ + 1
  std::uint64_t acknowledged_ = 0;
  Dropped dropped_;
  std::uint64_t droppedTotal_ = 0;
  bool woken_ = false;
  platform::UniqueFd acknowledgedFile_;
};

}  // namespace watchexport
