// The exporter's bounded on-disk queue. Every document is appended here before it is published
// and forgotten once JetStream has acknowledged it, so neither an outage of the servers nor a
// restart of the exporter loses what the agent sent. Segment files named by their first sequence
// number hold records with consecutive sequence numbers; when the spool outgrows its limit the
// oldest segment goes, and the records in it that were never handed out count as dropped.
//
// Every record carries a checksum. A damaged record (a bad header or body, on disk when the spool
// is opened or found while reading) is skipped with the damage logged: the intact records after
// it are kept, and the sequence numbers that went with it are reported by takeDamaged() so the
// exporter can say so in the stream. An acknowledged position beyond every sequence number ever
// used is refused (the spooled records are then all sent again).
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
#include <optional>
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
  // `lastUsed` is the highest sequence number ever handed out, when known: an acknowledged
  // position above it (or above every spooled record) is refused.
  static std::unique_ptr<Spool> open(const std::filesystem::path& directory, Limits limits,
                                     std::string& error,
                                     std::optional<std::uint64_t> lastUsed = std::nullopt);
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
  // The runs of sequence numbers lost to damaged records since the last call, in order.
  std::vector<Dropped> takeDamaged();
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
  bool load(std::optional<std::uint64_t> lastUsed, std::string& error);
  void checkAcknowledged(std::optional<std::uint64_t> lastUsed);
  // The segment file starting at `first` as one or more segments of consecutive records, its
  // damage cut out; `nextFirst` is where the next file starts, if any.
  bool scan(std::uint64_t first, std::optional<std::uint64_t> nextFirst, std::vector<Segment>& out,
            std::string& error);
  bool upgrade(std::uint64_t first, std::optional<std::uint64_t> nextFirst, const Segment& source,
               std::uint64_t size, std::vector<Segment>& out, std::string& error);
  bool rewrite(const Segment& source,
               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& records,
               std::vector<Segment>& out, std::string& error);
  struct Damage {
    Dropped run;
    std::string where;
  };
  void noteDamage(std::uint64_t first, std::uint64_t last, const std::string& where);
  static void logDamage(const Damage& damage);
  void skipDamage(Segment& segment);
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
  std::uint64_t readOffset_ = 0;    // in the segment holding lastTaken_ + 1
  std::uint64_t readingFirst_ = 0;  // the first sequence of that segment
  std::uint64_t acknowledged_ = 0;
  Dropped dropped_;
  std::uint64_t droppedTotal_ = 0;
  std::vector<Damage> damaged_;
  std::string body_;  // the record being read, reused
  bool woken_ = false;
  platform::UniqueFd acknowledgedFile_;
};

}  // namespace watchexport
