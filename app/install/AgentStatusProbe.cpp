#include "app/install/AgentStatusProbe.h"

#include "app/install/RequestActivity.h"
#include "platform/log/Log.h"
#include "platform/system_extensions/SystemExtensions.h"

namespace app {

namespace {

// Whether an install or remove request is still waiting for its answer. One that failed, was
// cancelled or completed has said all it will; the agent's own answer counts again.
bool requestOutstanding() {
  const RequestActivity::Phase phase = RequestActivity::shared().phase();
  return phase == RequestActivity::Phase::working || phase == RequestActivity::Phase::needsApproval;
}

}  // namespace

std::optional<ProgramStatus::AgentInstalledStatus> statusFromProbe(
    const std::optional<AgentUnreachable>& failure) {
  using Status = ProgramStatus::AgentInstalledStatus;
  if (!failure) return Status::WatchagentActive;
  switch (failure->reason) {
    case AgentUnreachable::Reason::notRunning:
      return Status::WatchagentRemoved;
    case AgentUnreachable::Reason::accessDenied:
      return Status::WatchagentActive;
    case AgentUnreachable::Reason::failed:
      break;
  }
  return std::nullopt;
}

void AgentStatusProbe::check() {
  if (session_) return;
  AgentSession::Handlers handlers;
  handlers.established = [this] { finish(std::nullopt); };
  handlers.ended = [this](const AgentUnreachable& why) { finish(why); };
  session_ = AgentSession::open(serviceName_, std::move(handlers));
}

void AgentStatusProbe::finish(const std::optional<AgentUnreachable>& failure) {
  // Called from the session's own block: it is let go of once that block has returned.
  dispatch_async(dispatch_get_main_queue(),
                 [done = std::shared_ptr<AgentSession>(std::move(session_))] {});
  if (requestOutstanding()) return;
  const auto status = statusFromProbe(failure);
  if (!status) {
    os_log(OS_LOG_DEFAULT, "Agent status unknown: %{public}s", failure->description.c_str());
    return;
  }
  if (*status != ProgramStatus::shared().agentStatus())
    ProgramStatus::shared().setAgentStatus(*status);
}

}  // namespace app
