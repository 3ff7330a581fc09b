// The in-kernel process programs' rules, apart from their ring: fed with each record as the
// programs wrote it, the tracker keeps the process table and returns the exec, fork or exit event
// the record makes. It has no threads and maps no ring; /proc is read (at start, and after records
// were lost) through a ProcReader.
//
// A record carries the process as the kernel saw it at that moment (ids, group, session, parent),
// so what changed without a record of its own (setsid, setpgid, setuid, a parent that ended)
// shows in the next fork, exec or exit. What the programs cut or could not read of an exec is
// counted here and logged by the source.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/endpoint_security/bpf/ProcessRecords.h"
#include "platform/endpoint_security/client/FileSightings.h"
#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/procfs/ProcFs.h"

namespace platform::es {

class BpfTracker {
 public:
  // Whether a client wants events of a kind now; kinds nobody wants are not made.
  using Wanted = std::function<bool(es_event_type_t)>;

  // What the execs since the last takeCaptureLosses() lost of their capture.
  struct CaptureLosses {
    std::uint64_t cut = 0;         // cut at the capture limits (path, arguments, environment)
    std::uint64_t incomplete = 0;  // the new image, its arguments or environment unreadable
    // Cut short because the ring was past its fill mark, per real uid.
    std::map<uid_t, std::uint64_t> pressed;
  };

  // `table`, `executables` and `sightings` outlive the tracker; every exec is told to
  // `sightings`, whether or not anyone wants exec events.
  BpfTracker(ProcessTable& table, ExecutableCache& executables, FileSightings& sightings,
             Wanted wanted, ProcReader proc = ProcReader());

  // Reads every process of the tree into the table (at start, and after records were lost).
  void rescan();
  // Takes the wall clock's offsets from the kernel's clocks again: once per read of the ring.
  void syncClocks();
  // One record as the programs wrote it (its fixed part, then an exec's path, arguments and
  // environment); returns the event it makes, null when it makes none.
  std::unique_ptr<PendingEvent> handle(const void* data, std::size_t size);

  // Resets the counts.
  CaptureLosses takeCaptureLosses();
  // Whether an exec since the last call was cut because the ring was past its fill mark.
  bool takeCutUnderPressure();

 private:
  std::unique_ptr<PendingEvent> onExec(const watch_exec_record& record, const unsigned char* tail,
                                       std::size_t tailBytes);
  std::unique_ptr<PendingEvent> onFork(const watch_fork_record& record);
  std::unique_ptr<PendingEvent> onExit(const watch_exit_record& record);
  void countLosses(const watch_exec_record& record);
  // An exec's environment block, shared with its event and any observer.
  std::shared_ptr<const std::string> environmentOf(std::string_view block);
  ProcessImage imageOf(const watch_task& task) const;
  timeval startTime(std::uint64_t bootNs) const;
  // The wall-clock time of a kernel timestamp, with this read's clock offset.
  timespec wallTime(std::uint64_t monotonicNs) const;

  ProcessTable& table_;
  ExecutableCache& executables_;
  FileSightings& sightings_;
  const Wanted wanted_;
  const ProcReader proc_;
  std::int64_t bootWallNs_ = 0;       // wall clock minus boot time
  std::int64_t monotonicWallNs_ = 0;  // wall clock minus monotonic
  CaptureLosses losses_;
  bool cutUnderPressure_ = false;
  // The last exec's environment block: by the next exec its event has mostly been delivered and
  // let go, and the buffer takes the next block without an allocation.
  std::shared_ptr<std::string> environment_;
};

}  // namespace platform::es
