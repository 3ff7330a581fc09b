// Turns what the agent follower hears into spool records: each document under its subject with
// the machine's next sequence number, and the exporter's own notices in the same order: a gap
// when the agent connection is (re)made (what the agent reported in between is unknown) and
// the documents a full spool dropped, lost to damaged records, or that could not be spooled at all
// (a full or failing disk). Every document lost keeps its sequence number, so each loss is a
// numbered gap in the stream and a notice saying which numbers went and why.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "tools/watchexport/AgentFollower.h"
#include "tools/watchexport/SequenceFile.h"
#include "tools/watchexport/Spool.h"

namespace watchexport {

class Exporter final : public AgentFollower::Listener {
 public:
  Exporter(Spool& spool, SequenceFile& sequence, std::string host);

  void agentConnected() override;
  void documentArrived(const ipc::NSData& document) override;
  void agentLost() override;

  // The next sequence number to use (for a clean stop).
  std::uint64_t nextSequence() const;

 private:
  void append(std::string_view kind, const std::string& document);
  // Spools one record under the next number; false with `error` when the disk refuses.
  bool store(std::string_view kind, const std::string& document, std::string& error);
  void noteUnspooled();
  void noteDropped();

  Spool& spool_;
  SequenceFile& sequenceFile_;
  const std::string host_;
  mutable std::mutex mutex_;
  std::uint64_t next_;
  bool everConnected_ = false;
  std::optional<double> lostAt_;
  // Documents that could not be spooled since the last notice about them.
  Dropped unspooled_;
  std::string unspooledCause_;
};

}  // namespace watchexport
