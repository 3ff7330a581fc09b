#include "platform/endpoint_security/logind/SessionTracker.h"

#include <charconv>

namespace platform::es::logind {
namespace {

constexpr std::uint32_t kAssignedBit = 0x80000000u;

std::optional<std::uint32_t> decimal(std::string_view text) {
  std::uint32_t value = 0;
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

bool isGraphical(const SessionInfo& session) {
  return (session.type == "x11" || session.type == "wayland" || session.type == "mir") &&
         session.sessionClass == "user";
}

es_graphical_session_id_t graphicalSessionIdOf(std::string_view id) {
  if (std::optional<std::uint32_t> n = decimal(id); n && *n < kAssignedBit) return *n;
  if (id.size() > 1 && id[0] == 'c') {
    if (std::optional<std::uint32_t> n = decimal(id.substr(1)); n && *n < kAssignedBit) {
      return kAssignedBit | *n;
    }
  }
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : id) hash = (hash ^ c) * 16777619u;
  return kAssignedBit | (hash & ~kAssignedBit);
}

SessionEvent SessionTracker::eventOf(es_event_type_t kind, const SessionInfo& session) {
  return SessionEvent{kind, session.name, graphicalSessionIdOf(session.id), session.leader};
}

std::optional<SessionEvent> SessionTracker::added(SessionInfo session, bool announced) {
  const bool report = announced && isGraphical(session) && !knows(session.path);
  const std::string path = session.path;
  Known& known = sessions_[path];
  known.info = std::move(session);
  known.unlockReported = false;
  if (!report) return std::nullopt;
  return eventOf(ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN, known.info);
}

void SessionTracker::removed(const std::string& path) {
  sessions_.erase(path);
}

std::optional<SessionEvent> SessionTracker::unlockSignal(const std::string& path) {
  auto it = sessions_.find(path);
  if (it == sessions_.end() || !isGraphical(it->second.info)) return std::nullopt;
  it->second.unlockReported = true;
  return eventOf(ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK, it->second.info);
}

std::optional<SessionEvent> SessionTracker::lockedHintChanged(const std::string& path,
                                                              bool locked) {
  auto it = sessions_.find(path);
  if (it == sessions_.end()) return std::nullopt;
  Known& known = it->second;
  const bool wasLocked = known.info.lockedHint;
  known.info.lockedHint = locked;
  if (locked) {
    known.unlockReported = false;
    return std::nullopt;
  }
  const bool report = wasLocked && !known.unlockReported && isGraphical(known.info);
  known.unlockReported = false;
  if (!report) return std::nullopt;
  return eventOf(ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK, known.info);
}

}  // namespace platform::es::logind
