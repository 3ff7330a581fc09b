#include "platform/endpoint_security/logind/LogindSource.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/endpoint_security/logind/SessionTracker.h"
#include "platform/log/Log.h"

namespace platform::es::logind {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
// The bus's word that logind's name changed hands (arg0 keeps the other names' changes away).
constexpr const char* kOwnerChangedMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'";

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct ErrorFree {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ErrorFree() { sd_bus_error_free(&error); }
};

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

std::string why(const char* what, int rc) {
  return std::string(what) + ": " + std::strerror(-rc);
}

// Milliseconds from now until `usec` on CLOCK_MONOTONIC (sd-bus's timeouts), rounded up.
int millisecondsUntil(std::uint64_t usec) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                                static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  return usec <= nowUsec
             ? 0
             : static_cast<int>(std::min<std::uint64_t>((usec - nowUsec + 999) / 1000, INT32_MAX));
}

class SessionPending final : public PendingEvent {
 public:
  SessionPending(const SessionEvent& event, ProcessImage leader)
      : PendingEvent(event.kind, monotonicNow(), wallClockOf(monotonicNow())),
        leader_(std::move(leader)),
        username_(event.username) {
    login_.graphical_session_id = event.graphicalSessionId;
    unlock_.graphical_session_id = event.graphicalSessionId;
  }

  void fill(es_message_t& message, pid_t self) override {
    view_.fill(leader_, self);
    message.process = &view_.process;
    const es_string_token_t name{username_.size(), username_.data()};
    if (type == ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN) {
      login_.username = name;
      message.event.lw_session_login = &login_;
    } else {
      unlock_.username = name;
      message.event.lw_session_unlock = &unlock_;
    }
  }

 private:
  const ProcessImage leader_;
  const std::string username_;
  ProcessView view_{};
  es_event_lw_session_login_t login_{};
  es_event_lw_session_unlock_t unlock_{};
};

// The source's line in the log, written when the source turns active or unavailable. The
// client writes the first when it opens the source.
class StatusLine {
 public:
  void opened(bool active) { active_ = active; }
  void active() {
    if (active_) return;
    active_ = true;
    NSLog("EndpointSecurity: source logind: active");
  }
  void unavailable(const std::string& reason) {
    if (!active_) return;
    active_ = false;
    NSLog("EndpointSecurity: source logind: unavailable (%s)", reason.c_str());
  }

 private:
  bool active_ = false;
};

}  // namespace

struct LogindSource::Output {
  StatusLine status;
  SourceContext* context = nullptr;  // set at start
  std::unique_ptr<ExecutableCache> executables;
  std::unique_ptr<ProcessLookup> processes;

  void publish(const std::optional<SessionEvent>& event) {
    if (!event || context == nullptr || !context->sink.subscribed(event->kind)) return;
    context->sink.push(
        std::make_unique<SessionPending>(*event, processes->find(event->leader, monotonicNow())));
  }
};

struct LogindSource::Bus {
  explicit Bus(Output& output) : output(output) {}

  BusPtr bus;
  SlotPtr ownerWatch;            // logind's name changing hands
  std::vector<SlotPtr> signals;  // logind's signals, while logind is on the bus
  SessionTracker sessions;
  Output& output;

  // Connects to the system bus, or to `address`.
  int connect(const std::string& address, std::string& reason) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
      const int rc = sd_bus_open_system(&raw);
      bus.reset(raw);
      if (rc < 0) reason = why("no system bus", rc);
      return rc;
    }
    int rc = sd_bus_new(&raw);
    bus.reset(raw);
    if (rc < 0 || (rc = sd_bus_set_address(raw, address.c_str())) < 0 ||
        (rc = sd_bus_set_bus_client(raw, 1)) < 0 || (rc = sd_bus_start(raw)) < 0) {
      reason = why(("bus " + address).c_str(), rc);
    }
    return rc;
  }

  int watchOwner(std::string& reason) {
    sd_bus_slot* slot = nullptr;
    const int rc = sd_bus_add_match(bus.get(), &slot, kOwnerChangedMatch, onOwnerChanged, this);
    ownerWatch.reset(slot);
    if (rc < 0) reason = why("watching logind's name", rc);
    return rc;
  }

  // Follows logind when it is on the bus; false with the reason otherwise.
  bool attach(std::string& reason) {
    ErrorFree e;
    sd_bus_message* raw = nullptr;
    int owned = 0;
    int rc =
        sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &e.error, &raw, "s", kService);
    MessagePtr reply(raw);
    if (rc >= 0) rc = sd_bus_message_read(reply.get(), "b", &owned);
    if (rc < 0) {
      reason = why("asking the bus for logind", rc);
      return false;
    }
    if (!owned) {
      reason = "logind is not on the bus";
      return false;
    }
    return follow(reason);
  }

  // Subscribes to logind's signals and learns its sessions.
  bool follow(std::string& reason) {
    forget();
    int rc = 0;
    if ((rc = subscribe(kManagerPath, kManager, "SessionNew", onSessionNew)) < 0 ||
        (rc = subscribe(kManagerPath, kManager, "SessionRemoved", onSessionRemoved)) < 0 ||
        (rc = subscribe(nullptr, kSession, "Unlock", onUnlock)) < 0 ||
        (rc = subscribe(nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        onPropertiesChanged)) < 0) {
      reason = why("subscribing to logind's signals", rc);
      forget();
      return false;
    }
    if ((rc = listSessions()) < 0) {
      reason = why("listing logind's sessions", rc);
      forget();
      return false;
    }
    return true;
  }

  // Drops logind's signals and its sessions: a logind that comes back is learnt anew.
  void forget() {
    signals.clear();
    sessions = SessionTracker();
  }

  int subscribe(const char* path, const char* interface, const char* member,
                sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    const int rc =
        sd_bus_match_signal(bus.get(), &slot, kService, path, interface, member, handler, this);
    if (rc >= 0) signals.emplace_back(slot);
    return rc;
  }

  std::optional<std::string> stringProperty(const char* path, const char* name) {
    ErrorFree e;
    char* value = nullptr;
    if (sd_bus_get_property_string(bus.get(), kService, path, kSession, name, &e.error, &value) <
        0) {
      return std::nullopt;
    }
    std::string out(value);
    std::free(value);
    return out;
  }

  // The session's properties; nullopt when logind does not answer for it.
  std::optional<SessionInfo> read(const char* path) {
    SessionInfo info;
    info.path = path;
    std::optional<std::string> id = stringProperty(path, "Id");
    if (!id) return std::nullopt;
    info.id = *id;
    info.name = stringProperty(path, "Name").value_or("");
    info.type = stringProperty(path, "Type").value_or("");
    info.sessionClass = stringProperty(path, "Class").value_or("");
    ErrorFree e1, e2;
    std::uint32_t leader = 0;
    if (sd_bus_get_property_trivial(bus.get(), kService, path, kSession, "Leader", &e1.error, 'u',
                                    &leader) >= 0) {
      info.leader = static_cast<pid_t>(leader);
    }
    int locked = 0;
    if (sd_bus_get_property_trivial(bus.get(), kService, path, kSession, "LockedHint", &e2.error,
                                    'b', &locked) >= 0) {
      info.lockedHint = locked != 0;
    }
    return info;
  }

  // Learns of a session that existed before this source looked.
  void learn(const char* path) {
    if (sessions.knows(path)) return;
    if (std::optional<SessionInfo> info = read(path)) sessions.added(std::move(*info), false);
  }

  int listSessions() {
    ErrorFree e;
    sd_bus_message* raw = nullptr;
    int rc = sd_bus_call_method(bus.get(), kService, kManagerPath, kManager, "ListSessions",
                                &e.error, &raw, "");
    if (rc < 0) return rc;
    MessagePtr reply(raw);
    rc = sd_bus_message_enter_container(reply.get(), 'a', "(susso)");
    if (rc < 0) return rc;
    const char* id = nullptr;
    std::uint32_t uid = 0;
    const char *user = nullptr, *seat = nullptr, *path = nullptr;
    while ((rc = sd_bus_message_read(reply.get(), "(susso)", &id, &uid, &user, &seat, &path)) > 0) {
      learn(path);
    }
    return rc;
  }

  // logind took or left its name: follow the new logind, or wait for one.
  static int onOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<Bus*>(self);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
    bus->forget();
    if (*after == '\0') {
      bus->output.status.unavailable("logind left the bus");
      return 0;
    }
    std::string reason;
    if (bus->follow(reason)) {
      bus->output.status.active();
    } else {
      bus->output.status.unavailable(reason);
    }
    return 0;
  }

  static int onSessionNew(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<Bus*>(self);
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &id, &path) < 0) return 0;
    if (std::optional<SessionInfo> info = bus->read(path)) {
      bus->output.publish(bus->sessions.added(std::move(*info), true));
    }
    return 0;
  }

  static int onSessionRemoved(sd_bus_message* m, void* self, sd_bus_error*) {
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &id, &path) >= 0)
      static_cast<Bus*>(self)->sessions.removed(path);
    return 0;
  }

  static int onUnlock(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<Bus*>(self);
    const char* path = sd_bus_message_get_path(m);
    if (path == nullptr) return 0;
    bus->learn(path);
    bus->output.publish(bus->sessions.unlockSignal(path));
    return 0;
  }

  static int onPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<Bus*>(self);
    const char* path = sd_bus_message_get_path(m);
    const char* interface = nullptr;
    if (path == nullptr || sd_bus_message_read(m, "s", &interface) < 0 ||
        std::strcmp(interface, kSession) != 0) {
      return 0;
    }
    std::optional<bool> locked = lockedHintIn(m);
    if (!locked) return 0;
    if (!bus->sessions.knows(path)) {
      bus->learn(path);  // reads the new value: nothing to compare it with
      return 0;
    }
    bus->output.publish(bus->sessions.lockedHintChanged(path, *locked));
    return 0;
  }

  // LockedHint in the changed properties (a{sv}) of a PropertiesChanged signal.
  static std::optional<bool> lockedHintIn(sd_bus_message* m) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return std::nullopt;
    std::optional<bool> found;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      if (sd_bus_message_read(m, "s", &key) < 0) return found;
      int value = 0;
      if (std::strcmp(key, "LockedHint") == 0 && sd_bus_message_read(m, "v", "b", &value) >= 0) {
        found = value != 0;
      } else if (sd_bus_message_skip(m, "v") < 0) {
        return found;
      }
      if (sd_bus_message_exit_container(m) < 0) return found;
    }
    return found;
  }
};

LogindSource::LogindSource(LogindSourceOptions options) : options_(std::move(options)) {}

LogindSource::~LogindSource() {
  stop();
}

bool LogindSource::produces(es_event_type_t type) const {
  return type == ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN ||
         type == ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK;
}

// A bus or a logind that is not there yet is no failure: the source opens unavailable, with the
// reason, and its thread watches for them.
es_new_client_result_t LogindSource::open(std::string& reason) {
  if (!thread_.open()) {
    reason = why("eventfd", -errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  output_ = std::make_unique<Output>();
  bus_ = connect(reason);
  output_->status.opened(bus_ && bus_->attach(reason));
  if (!bus_) nextAttempt_ = steady_clock::now() + options_.retryInterval;
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void LogindSource::start(SourceContext& context) {
  output_->context = &context;
  output_->executables = std::make_unique<ExecutableCache>(&context.packages);
  output_->processes = std::make_unique<ProcessLookup>(context.processes, *output_->executables);
  thread_.start("es-logind", [this] { run(); });
}

void LogindSource::stop() {
  thread_.stop();
  bus_.reset();
}

std::unique_ptr<LogindSource::Bus> LogindSource::connect(std::string& reason) const {
  auto bus = std::make_unique<Bus>(*output_);
  if (bus->connect(options_.busAddress, reason) < 0 || bus->watchOwner(reason) < 0) return nullptr;
  return bus;
}

void LogindSource::reconnect() {
  std::string reason;
  bus_ = connect(reason);
  if (!bus_) {
    nextAttempt_ = steady_clock::now() + options_.retryInterval;
    output_->status.unavailable(reason);
  } else if (bus_->attach(reason)) {
    output_->status.active();
  } else {
    output_->status.unavailable(reason);
  }
}

void LogindSource::run() {
  for (;;) {
    if (!bus_ && steady_clock::now() >= nextAttempt_) reconnect();
    if (bus_) {
      const int processed = sd_bus_process(bus_->bus.get(), nullptr);
      if (processed < 0) {
        output_->status.unavailable(why("bus connection lost", processed));
        bus_.reset();
        nextAttempt_ = steady_clock::now() + options_.retryInterval;
        continue;
      }
      if (processed > 0) continue;
    }
    if (!waitForWork()) return;
  }
}

// Waits for the bus, the next connection attempt or stop(); false when the thread is to end.
bool LogindSource::waitForWork() {
  int timeout = -1;
  pollfd fd{-1, 0, 0};
  if (bus_) {
    sd_bus* bus = bus_->bus.get();
    fd = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
    std::uint64_t usec = UINT64_MAX;
    sd_bus_get_timeout(bus, &usec);
    if (usec != UINT64_MAX) timeout = millisecondsUntil(usec);
  } else {
    timeout = static_cast<int>(std::max<std::int64_t>(
        0, duration_cast<milliseconds>(nextAttempt_ - steady_clock::now()).count() + 1));
  }
  return static_cast<bool>(thread_.wait({&fd, bus_ ? 1u : 0u}, timeout));
}

}  // namespace platform::es::logind

namespace platform::es {

std::unique_ptr<Source> makeLogindSource(logind::LogindSourceOptions options) {
  return std::make_unique<logind::LogindSource>(std::move(options));
}

}  // namespace platform::es
