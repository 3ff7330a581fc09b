// What logind's signals mean for the session events: a graphical session that logind announces
// (SessionNew) is a login; its Unlock signal, or its LockedHint turning from true to false, is an
// unlock. Pure, fed with what the logind source reads from the bus, so the rules are
// table-tested.
//
// A session is graphical when its Type is x11, wayland or mir and its Class is user (greeters
// and lock screens have other classes). An unlock reported for the Unlock signal is not
// reported again for the LockedHint change that follows it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es::logind {

// The properties of one session object (org.freedesktop.login1.Session).
struct SessionInfo {
  std::string path;
  std::string id;
  std::string name;  // the user's name
  std::string type;
  std::string sessionClass;
  pid_t leader = 0;
  bool lockedHint = false;
};

struct SessionEvent {
  es_event_type_t kind;  // LW_SESSION_LOGIN or LW_SESSION_UNLOCK
  std::string username;
  es_graphical_session_id_t graphicalSessionId = 0;
  pid_t leader = 0;
};

bool isGraphical(const SessionInfo& session);

// logind's session ids are decimal numbers (the audit session id) or "c<n>" for sessions it
// numbers itself. A number is taken as it is; "c<n>" becomes n with the top bit set; any other
// id becomes a 31-bit FNV-1a hash of it with the top bit set.
es_graphical_session_id_t graphicalSessionIdOf(std::string_view id);

class SessionTracker {
 public:
  // A session seen: `announced` for one that SessionNew announced (a login), false for one that
  // existed before or is learnt of late.
  std::optional<SessionEvent> added(SessionInfo session, bool announced);
  void removed(const std::string& path);
  bool knows(const std::string& path) const { return sessions_.count(path) != 0; }

  std::optional<SessionEvent> unlockSignal(const std::string& path);
  std::optional<SessionEvent> lockedHintChanged(const std::string& path, bool locked);

  std::size_t size() const { return sessions_.size(); }

 private:
  struct Known {
    SessionInfo info;
    bool unlockReported = false;  // since the session was last locked
  };
  static SessionEvent eventOf(es_event_type_t kind, const SessionInfo& session);

  std::unordered_map<std::string, Known> sessions_;
};

}  // namespace platform::es::logind
