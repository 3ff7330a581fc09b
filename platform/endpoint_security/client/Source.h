// The event sources behind one client. Each source watches one part of the machine (processes,
// audit records, logind, ...) on threads of its own and hands finished events to the client's
// sink; one delivery thread per client calls the handler with them, one message at a time (or
// the source's thread itself does, see EventSink::deliverNow).
//
// A source owns everything its messages point to: a PendingEvent keeps it alive until the handler
// call that reads it has returned.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es {

class FileSightings;
class PackageIndexWatcher;
class ProcessTable;

// One event waiting for its handler call.
class PendingEvent {
 public:
  PendingEvent(es_event_type_t type, std::uint64_t monotonicNs, timespec time)
      : type(type), monotonicNs(monotonicNs), time(time) {}
  virtual ~PendingEvent() = default;
  PendingEvent(const PendingEvent&) = delete;
  PendingEvent& operator=(const PendingEvent&) = delete;

  // Bytes held, counted against the client's queue bound.
  virtual std::size_t bytes() const { return 256; }
  // Points `message.process` (never null) and `message.event` at this event's data. The
  // pointers stay valid while this object lives and until fill is called again.
  virtual void fill(es_message_t& message, pid_t self) = 0;

  const es_event_type_t type;
  const std::uint64_t monotonicNs;  // CLOCK_MONOTONIC, for mach_time
  const timespec time;              // wall clock
};

// Where a source puts its events.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Whether the client wants `type` now; a source skips work for kinds nobody wants.
  virtual bool subscribed(es_event_type_t type) const = 0;
  // Queues `event` for the handler, waiting while the queue is full (the source's own buffer
  // then fills, and the source counts what it loses). False once the client is stopping; the
  // event is then dropped.
  virtual bool push(std::unique_ptr<PendingEvent> event) = 0;
  // The same, but when nothing is queued or being handled ahead of `event`, calls the handler
  // with it on the calling thread, sparing the hand-over to the delivery thread. For a source
  // whose thread has nothing more urgent to do than deliver (a source racing short-lived
  // processes through /proc has).
  virtual bool deliverNow(std::unique_ptr<PendingEvent> event) = 0;
};

// What a source shares with the others of its client.
struct SourceContext {
  EventSink& sink;
  ProcessTable& processes;              // kept by the process source, read by all
  const PackageIndexWatcher& packages;  // code identity of executables
  FileSightings& sightings;             // executables run, launch items written
};

class Source {
 public:
  virtual ~Source() = default;
  virtual std::string_view name() const = 0;
  virtual bool produces(es_event_type_t type) const = 0;
  // Acquires what the source needs (sockets, programs, rights) without producing. On failure
  // returns the result a client creation reports and puts the reason in `why`. A source that
  // runs and waits for what it watches (a daemon not up yet) succeeds with the reason in `why`,
  // and from then on logs its own line each time it turns active or unavailable.
  virtual es_new_client_result_t open(std::string& why) = 0;
  // Starts producing on the source's own threads; `context` outlives the source.
  virtual void start(SourceContext& context) = 0;
  // Stops producing and joins the source's threads; no push happens once it returns.
  virtual void stop() = 0;
};

using SourceFactory = std::function<std::unique_ptr<Source>()>;

// Exec, fork and exit: the kinds a process source produces.
inline bool isProcessKind(es_event_type_t type) {
  return type == ES_EVENT_TYPE_NOTIFY_EXEC || type == ES_EVENT_TYPE_NOTIFY_FORK ||
         type == ES_EVENT_TYPE_NOTIFY_EXIT;
}

// Wall-clock time of a CLOCK_MONOTONIC reading.
timespec wallClockOf(std::uint64_t monotonicNs);
std::uint64_t monotonicNow();

}  // namespace platform::es
