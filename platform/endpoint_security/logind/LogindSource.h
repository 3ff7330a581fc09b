// The logind source: graphical logins and unlocks from logind (org.freedesktop.login1) on the
// system D-Bus, read with sd-bus. SessionNew of a graphical session gives LW_SESSION_LOGIN; the
// session's Unlock signal, or its LockedHint turning false, gives LW_SESSION_UNLOCK
// (SessionTracker has the rules). The acting process of both is the session's leader.
//
// open() connects and checks that logind is on the bus: with no system bus or no logind the
// source is unavailable (ERR_INTERNAL, with the reason). One thread per source runs the bus.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/Source.h"

namespace platform::es::logind {

struct LogindSourceOptions {
  std::string busAddress;  // empty: the system bus
};

class LogindSource final : public Source {
 public:
  explicit LogindSource(LogindSourceOptions options = {});
  ~LogindSource() override;

  std::string_view name() const override { return "logind"; }
  bool produces(es_event_type_t type) const override;
  es_new_client_result_t open(std::string& why) override;
  void start(SourceContext& context) override;
  void stop() override;

  struct Bus;  // the connection and what its callbacks need

 private:
  void run();

  const LogindSourceOptions options_;
  std::unique_ptr<Bus> bus_;
  UniqueFd wake_;  // eventfd: stop() asks the thread to end
  std::thread thread_;
};

}  // namespace platform::es::logind

namespace platform::es {

// The machine's logind source: the system bus, or the bus WATCH_LOGIND_BUS names (a D-Bus
// address such as unix:path=/run/...).
std::unique_ptr<Source> makeLogindSource();

}  // namespace platform::es
