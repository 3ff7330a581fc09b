// The logind source: graphical logins and unlocks from logind (org.freedesktop.login1) on the
// system D-Bus, read with sd-bus. SessionNew of a graphical session gives LW_SESSION_LOGIN; the
// session's Unlock signal, or its LockedHint turning false, gives LW_SESSION_UNLOCK
// (SessionTracker has the rules). The acting process of both is the session's leader.
//
// The bus and logind may come later than the agent (at boot), leave and come back (a restart of
// either): the source's thread connects again while the bus cannot be reached, follows logind's
// name on the bus, and logs the source's line each time it turns active or unavailable. open()
// makes the first attempt; it fails only when the source cannot run at all.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/client/Source.h"

namespace platform::es::logind {

struct LogindSourceOptions {
  std::string busAddress;  // empty: the system bus
  // How often the bus is tried again while it cannot be reached.
  std::chrono::milliseconds retryInterval = std::chrono::seconds(2);
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

  struct Bus;     // one connection to the bus, and logind's signals on it
  struct Output;  // where session events go, and the source's line in the log

 private:
  std::unique_ptr<Bus> connect(std::string& why) const;
  void reconnect();
  void run();
  bool waitForWork();

  const LogindSourceOptions options_;
  std::unique_ptr<Output> output_;
  // The thread's once started. Null while the bus cannot be reached; tried again from then on.
  std::unique_ptr<Bus> bus_;
  std::chrono::steady_clock::time_point nextAttempt_;
  ReaderThread thread_;
};

}  // namespace platform::es::logind

namespace platform::es {

// The machine's logind source: the system bus, or the bus options.busAddress names (the agent's
// WATCH_LOGIND_BUS, a D-Bus address such as unix:path=/run/...).
std::unique_ptr<Source> makeLogindSource(logind::LogindSourceOptions options = {});

}  // namespace platform::es
