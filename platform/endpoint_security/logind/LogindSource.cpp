#include "platform/endpoint_security/logind/LogindSource.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/EventFd.h"
#include "platform/ThreadName.h"
#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/ProcessLookup.h"
#include "platform/endpoint_security/logind/SessionTracker.h"
#include "platform/log/Log.h"

namespace platform::es::logind {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";

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

std::string why(const char* what, int rc) {
  return std::string(what) + ": " + std::strerror(-rc);
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

}  // namespace

struct LogindSource::Bus {
  BusPtr bus;
  SessionTracker sessions;
  SourceContext* context = nullptr;  // set at start
  std::unique_ptr<ExecutableCache> executables;
  std::unique_ptr<ProcessLookup> processes;

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

  void publish(const std::optional<SessionEvent>& event) {
    if (!event || context == nullptr || !context->sink.subscribed(event->kind)) return;
    context->sink.push(std::make_unique<SessionPending>(*event, processes->find(event->leader)));
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

  static int onSessionNew(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<Bus*>(self);
    const char *id = nullptr, *path = nullptr;
    if (sd_bus_message_read(m, "so", &id, &path) < 0) return 0;
    if (std::optional<SessionInfo> info = bus->read(path)) {
      bus->publish(bus->sessions.added(std::move(*info), true));
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
    bus->publish(bus->sessions.unlockSignal(path));
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
    bus->publish(bus->sessions.lockedHintChanged(path, *locked));
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

es_new_client_result_t LogindSource::open(std::string& reason) {
  auto bus = std::make_unique<Bus>();
  sd_bus* raw = nullptr;
  int rc = 0;
  if (options_.busAddress.empty()) {
    rc = sd_bus_open_system(&raw);
    if (rc < 0) {
      reason = why("no system bus", rc);
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    bus->bus.reset(raw);
  } else {
    if ((rc = sd_bus_new(&raw)) < 0) {
      reason = why("sd_bus_new", rc);
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    bus->bus.reset(raw);
    if ((rc = sd_bus_set_address(raw, options_.busAddress.c_str())) < 0 ||
        (rc = sd_bus_set_bus_client(raw, 1)) < 0 || (rc = sd_bus_start(raw)) < 0) {
      reason = why(("bus " + options_.busAddress).c_str(), rc);
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
  }
  ErrorFree e;
  int owned = 0;
  sd_bus_message* reply = nullptr;
  rc = sd_bus_call_method(bus->bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "NameHasOwner", &e.error, &reply, "s", kService);
  if (rc >= 0) {
    MessagePtr owner(reply);
    rc = sd_bus_message_read(owner.get(), "b", &owned);
  }
  if (rc < 0) {
    reason = why("asking the bus for logind", rc);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (!owned) {
    reason = "logind is not on the bus";
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  sd_bus* b = bus->bus.get();
  if ((rc = sd_bus_match_signal(b, nullptr, kService, kManagerPath, kManager, "SessionNew",
                                Bus::onSessionNew, bus.get())) < 0 ||
      (rc = sd_bus_match_signal(b, nullptr, kService, kManagerPath, kManager, "SessionRemoved",
                                Bus::onSessionRemoved, bus.get())) < 0 ||
      (rc = sd_bus_match_signal(b, nullptr, kService, nullptr, kSession, "Unlock", Bus::onUnlock,
                                bus.get())) < 0 ||
      (rc = sd_bus_match_signal(b, nullptr, kService, nullptr, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", Bus::onPropertiesChanged, bus.get())) < 0) {
    reason = why("subscribing to logind's signals", rc);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if ((rc = bus->listSessions()) < 0) {
    reason = why("listing logind's sessions", rc);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  wake_ = platform::makeEventFd();
  if (!wake_) {
    reason = why("eventfd", -errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  bus_ = std::move(bus);
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void LogindSource::start(SourceContext& context) {
  bus_->context = &context;
  bus_->executables = std::make_unique<ExecutableCache>(&context.packages);
  bus_->processes = std::make_unique<ProcessLookup>(context.processes, *bus_->executables);
  thread_ = std::thread([this] { run(); });
}

void LogindSource::stop() {
  if (thread_.joinable()) {
    platform::signalEventFd(wake_);
    thread_.join();
  }
  bus_.reset();
}

void LogindSource::run() {
  platform::nameThisThread("es-logind");
  sd_bus* bus = bus_->bus.get();
  for (;;) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) {
      NSLog("EndpointSecurity: logind: bus connection lost: %s", std::strerror(-processed));
      return;
    }
    if (processed > 0) continue;
    std::uint64_t usec = UINT64_MAX;
    sd_bus_get_timeout(bus, &usec);
    int timeout = -1;
    if (usec != UINT64_MAX) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000;
      timeout = usec <= nowUsec ? 0 : static_cast<int>((usec - nowUsec + 999) / 1000);
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                     {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
  }
}

}  // namespace platform::es::logind

namespace platform::es {

std::unique_ptr<Source> makeLogindSource() {
  logind::LogindSourceOptions options;
  if (const char* address = std::getenv("WATCH_LOGIND_BUS")) options.busAddress = address;
  return std::make_unique<logind::LogindSource>(options);
}

}  // namespace platform::es
