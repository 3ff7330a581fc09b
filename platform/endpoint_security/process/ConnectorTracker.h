// The process connector's rules, apart from its socket: fed with the kernel's messages in the
// batches they were read in, the tracker keeps the process table and returns the exec, fork and
// exit events the messages make. It has no threads and opens no sockets; /proc is read through a
// ProcReader, so the rules run against fixture trees as well as the machine.
//
// What the connector gives is a pid; everything else is read from /proc after the fact, racing
// the process. An exec whose new image could no longer be read (the process ended, or had already
// exec'd again) is still reported with what the table knew, and counted.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/procfs/ProcFs.h"

namespace platform::es {

enum class ConnectorEvent : std::uint8_t { kNone, kFork, kExec, kUid, kGid, kSid, kExit, kOther };

// One process-connector message, as the kernel's proc_event carries it. Only the member of
// `what` is meaningful.
struct ConnectorMessage {
  struct Fork {
    pid_t parentPid = 0;
    pid_t parentTgid = 0;
    pid_t childPid = 0;
    pid_t childTgid = 0;
  };
  struct Exec {
    pid_t pid = 0;
    pid_t tgid = 0;
  };
  struct Ids {  // uid or gid change
    pid_t pid = 0;
    pid_t tgid = 0;
    std::uint32_t real = 0;
    std::uint32_t effective = 0;
  };
  struct Sid {
    pid_t pid = 0;
    pid_t tgid = 0;
  };
  struct Exit {
    pid_t pid = 0;
    pid_t tgid = 0;
    std::uint32_t code = 0;  // the raw wait status
    std::uint32_t signal = 0;
    pid_t parentPid = 0;
    pid_t parentTgid = 0;
  };

  ConnectorEvent what = ConnectorEvent::kNone;
  std::uint32_t cpu = 0;
  std::uint64_t timestampNs = 0;  // CLOCK_MONOTONIC
  Fork fork;
  Exec exec;
  Ids ids;
  Sid sid;
  Exit exit;
};

class ConnectorTracker {
 public:
  // Whether a client wants events of a kind now; kinds nobody wants cost no reads.
  using Wanted = std::function<bool(es_event_type_t)>;

  // `table` and `executables` outlive the tracker.
  ConnectorTracker(ProcessTable& table, ExecutableCache& executables, Wanted wanted,
                   ProcReader proc = ProcReader());

  // Reads every process of the tree into the table (at start, and after messages were lost).
  void rescan();
  // One batch of messages in the order the kernel sent them; returns the events they make.
  std::vector<std::unique_ptr<PendingEvent>> handle(const std::vector<ConnectorMessage>& batch);
  // Execs reported without their new image or arguments since the last call; resets the count.
  std::uint64_t takeIncompleteExecs();

 private:
  // What /proc showed of a process right after its exec; empty for an exec superseded in its
  // batch, of which nothing could be read.
  struct Capture {
    std::shared_ptr<const Executable> exe;
    std::shared_ptr<const std::string> args;
    std::shared_ptr<const std::string> envs;
    std::optional<ProcIds> ids;
    std::optional<ProcStat> stat;
  };

  void onFork(const ConnectorMessage& m, std::vector<std::unique_ptr<PendingEvent>>& out);
  void onExec(const ConnectorMessage& m, const Capture& capture,
              std::vector<std::unique_ptr<PendingEvent>>& out);
  void onExit(const ConnectorMessage& m, std::vector<std::unique_ptr<PendingEvent>>& out);
  void onIds(const ConnectorMessage& m);
  void onSid(const ConnectorMessage& m);

  // The parent of a fork as it is now: the table's image with the group and session read again
  // (setpgid sends no message), or the whole image from /proc when the table lacks it.
  ProcessImage parentOf(pid_t pid);
  Capture capture(pid_t pid, bool wanted) const;
  timespec wallTime(std::uint64_t monotonicNs) const;
  timeval startOf(std::uint64_t monotonicNs) const;
  timeval startOfTicks(std::uint64_t ticks) const;  // clock ticks after boot, as /proc counts

  ProcessTable& table_;
  ExecutableCache& executables_;
  const Wanted wanted_;
  const ProcReader proc_;
  std::int64_t monotonicWallNs_ = 0;  // wall clock minus monotonic, as of the current batch
  std::int64_t bootWallNs_ = 0;       // wall clock minus boot time, as of the last rescan
  const std::int64_t nsPerTick_;
  std::unordered_map<pid_t, std::size_t> lastExec_;  // per batch: the last exec of each process
  std::vector<Capture> captures_;                    // per batch, by position
  std::uint64_t incompleteExecs_ = 0;
};

}  // namespace platform::es
