#include "agent/capture/EventTable.h"

#include <optional>
#include <type_traits>

#include "agent/capture/Conversion.h"
#include "agent/capture/ExecEnvironment.h"
#include "shared/ipc/EventKinds.h"

namespace agent {
namespace {

using namespace model;

std::optional<EsProcess> optionalProcess(const es_process_t* process) {
  if (process == nullptr) return std::nullopt;
  return makeEsProcess(*process);
}

// The process kinds come in storms: they are built in place, over the member's earlier value.
void execEvent(const es_message_t& m, std::optional<EsEventExec>& slot) {
  const es_event_exec_t& e = m.event.exec;
  if (e.target == nullptr) {
    slot.reset();
    return;
  }
  EsEventExec& out = slot ? *slot : slot.emplace();
  makeEsProcess(*e.target, out.target);
  execStrings(e, es_exec_arg_count, es_exec_arg, out.args ? *out.args : out.args.emplace());
  std::vector<String>& envs = out.envs ? *out.envs : out.envs.emplace();
  execStrings(e, es_exec_env_count, es_exec_env, envs);
  // Once per exec, before any client or log line sees the record.
  execEnvironment().apply(envs);
}

void forkEvent(const es_message_t& m, std::optional<EsEventFork>& slot) {
  if (m.event.fork.child == nullptr) {
    slot.reset();
    return;
  }
  makeEsProcess(*m.event.fork.child, slot ? slot->child : slot.emplace().child);
}

std::optional<EsEventExit> exitEvent(const es_message_t& m) {
  return EsEventExit{static_cast<Int>(m.event.exit.stat)};
}

std::string_view autoUnlockDescription(std::uint32_t type) {
  switch (type) {
    case ES_AUTO_UNLOCK_MACHINE_UNLOCK:
      return "Unlock the machine using Apple Watch";
    case ES_AUTO_UNLOCK_AUTH_PROMPT:
      return "Approve an authorization prompt using Apple Watch";
    default:
      return "unknown";
  }
}

std::optional<EsEventAuthentication> authentication(const es_message_t& m) {
  const es_event_authentication_t* e = m.event.authentication;
  if (e == nullptr) return std::nullopt;
  EsEventAuthentication out;
  out.success = e->success;
  out.authenticationType = e->type;
  // Each sub-record needs its structure, and all but auto-unlock need the instigator.
  switch (static_cast<std::uint32_t>(e->type)) {
    case ES_AUTHENTICATION_TYPE_OD:
      if (const auto* od = e->data.od; od != nullptr && od->instigator != nullptr) {
        out.openDirectory = EsEventAuthenticationOpenDirectory{
            makeEsProcess(*od->instigator), stringFromToken(od->record_type),
            stringFromToken(od->record_name), stringFromToken(od->node_name),
            stringFromToken(od->db_path)};
      }
      break;
    case ES_AUTHENTICATION_TYPE_TOUCHID:
      if (const auto* t = e->data.touchid; t != nullptr && t->instigator != nullptr) {
        out.touchId = EsEventAuthenticationTouchId{makeEsProcess(*t->instigator),
                                                   static_cast<std::uint32_t>(t->uid.uid)};
      }
      break;
    case ES_AUTHENTICATION_TYPE_TOKEN:
      if (const auto* t = e->data.token; t != nullptr && t->instigator != nullptr) {
        out.token = EsEventAuthenticationToken{makeEsProcess(*t->instigator)};
      }
      break;
    case ES_AUTHENTICATION_TYPE_AUTO_UNLOCK:
      if (const auto* a = e->data.auto_unlock; a != nullptr) {
        out.autoUnlock = EsEventAuthenticationAutoUnlock{stringFromToken(a->username), a->type,
                                                         String(autoUnlockDescription(a->type))};
      }
      break;
    default:
      break;
  }
  return out;
}

std::optional<EsEventXpMalewareDetected> xpMalwareDetected(const es_message_t& m) {
  const es_event_xp_malware_detected_t* e = m.event.xp_malware_detected;
  if (e == nullptr) return std::nullopt;
  return EsEventXpMalewareDetected{
      stringFromToken(e->signature_version), stringFromToken(e->malware_identifier),
      stringFromToken(e->incident_identifier), stringFromToken(e->detected_path)};
}

// The login-window session kinds carry nothing when the user name is shorter than two bytes.
template <typename Record, typename Event>
std::optional<Record> session(const Event* e) {
  if (e == nullptr || e->username.length < 2) return std::nullopt;
  return Record{stringFromToken(e->username), e->graphical_session_id};
}

std::optional<EsEventLwSessionLogin> lwSessionLogin(const es_message_t& m) {
  return session<EsEventLwSessionLogin>(m.event.lw_session_login);
}

std::optional<EsEventLwSessionUnlock> lwSessionUnlock(const es_message_t& m) {
  return session<EsEventLwSessionUnlock>(m.event.lw_session_unlock);
}

std::optional<EsEventScreensharingAttach> screensharingAttach(const es_message_t& m) {
  const es_event_screensharing_attach_t* e = m.event.screensharing_attach;
  if (e == nullptr) return std::nullopt;
  return EsEventScreensharingAttach{e->success,
                                    e->source_address_type,
                                    optionalStringFromToken(e->source_address),
                                    optionalStringFromToken(e->viewer_appleid),
                                    optionalStringFromToken(e->authentication_type),
                                    optionalStringFromToken(e->authentication_username),
                                    e->existing_session,
                                    e->graphical_session_id};
}

std::optional<EsEventOpenSshLogin> openSshLogin(const es_message_t& m) {
  const es_event_openssh_login_t* e = m.event.openssh_login;
  if (e == nullptr) return std::nullopt;
  return EsEventOpenSshLogin{e->success, e->result_type, e->source_address_type,
                             stringFromToken(e->source_address), stringFromToken(e->username)};
}

std::optional<EsEventLoginLogin> loginLogin(const es_message_t& m) {
  const es_event_login_login_t* e = m.event.login_login;
  if (e == nullptr) return std::nullopt;
  return EsEventLoginLogin{e->success, optionalStringFromToken(e->failure_message),
                           optionalStringFromToken(e->username), e->has_uid,
                           static_cast<std::uint32_t>(e->uid.uid)};
}

BtmLaunchItem launchItem(const es_btm_launch_item_t& item) {
  return BtmLaunchItem{item.item_type,
                       item.legacy,
                       item.managed,
                       static_cast<std::uint32_t>(item.uid),
                       stringFromToken(item.item_url),
                       optionalStringFromToken(item.app_url)};
}

std::optional<EsEventBtmLaunchItemAdd> btmLaunchItemAdd(const es_message_t& m) {
  const es_event_btm_launch_item_add_t* e = m.event.btm_launch_item_add;
  if (e == nullptr || e->item == nullptr) return std::nullopt;
  return EsEventBtmLaunchItemAdd{optionalProcess(e->instigator), optionalProcess(e->app),
                                 launchItem(*e->item), optionalStringFromToken(e->executable_path)};
}

std::optional<EsEventBtmLaunchItemRemove> btmLaunchItemRemove(const es_message_t& m) {
  const es_event_btm_launch_item_remove_t* e = m.event.btm_launch_item_remove;
  if (e == nullptr || e->item == nullptr) return std::nullopt;
  return EsEventBtmLaunchItemRemove{optionalProcess(e->instigator), optionalProcess(e->app),
                                    launchItem(*e->item)};
}

template <auto Member, auto Build>
void fill(const es_message_t& message, EsMessage& record) {
  auto& member = record.*Member;
  if constexpr (std::is_invocable_v<decltype(Build), const es_message_t&, decltype(member)>) {
    Build(message, member);
  } else {
    member = Build(message);
  }
}

template <auto Member>
void clear(EsMessage& record) {
  (record.*Member).reset();
}

template <auto Member>
bool isFilled(const EsMessage& record) {
  return (record.*Member).has_value();
}

// The names come from the clients' table of kinds, so the agent and its clients cannot disagree;
// a type missing there does not compile.
template <auto Member, auto Build>
consteval EventKind kind(es_event_type_t type, std::string_view logLine) {
  const std::size_t index = ipc::eventKindIndex(type);
  if (index == ipc::kEventKindNames.size()) throw "a kind missing from ipc::kEventKindNames";
  const ipc::EventKindName& names = ipc::kEventKindNames[index];
  return {type,          names.eventDesc,      names.member,
          logLine,       &fill<Member, Build>, &isFilled<Member>,
          &clear<Member>};
}

// The subscription names every kind of the clients' table once, in an order of its own.
static_assert([] {
  for (const ipc::EventKindName& names : ipc::kEventKindNames) {
    std::size_t listed = 0;
    for (const es_event_type_t type : kSubscribedEvents) listed += type == names.eventType ? 1 : 0;
    if (listed != 1) return false;
  }
  return kSubscribedEvents.size() == ipc::kEventKindNames.size();
}());

}  // namespace

// Constant-initialized, so it is usable from other files' static initializers.
constinit const std::array<EventKind, 12> kEventKinds = {
    kind<&EsMessage::exec, execEvent>(ES_EVENT_TYPE_NOTIFY_EXEC, ""),
    kind<&EsMessage::fork, forkEvent>(ES_EVENT_TYPE_NOTIFY_FORK, ""),
    kind<&EsMessage::exit, exitEvent>(ES_EVENT_TYPE_NOTIFY_EXIT, ""),
    kind<&EsMessage::auth, authentication>(ES_EVENT_TYPE_NOTIFY_AUTHENTICATION,
                                           "Warden5Agent: AUTHENTICATION"),
    kind<&EsMessage::xpMalwareDetected, xpMalwareDetected>(
        ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED"),
    kind<&EsMessage::lwSessionLogin, lwSessionLogin>(
        ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN"),
    kind<&EsMessage::lwSessionUnlock, lwSessionUnlock>(
        ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK"),
    kind<&EsMessage::screensharingAttach, screensharingAttach>(
        ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH"),
    kind<&EsMessage::openSshLogin, openSshLogin>(
        ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN, "Warden5Agent: ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN"),
    kind<&EsMessage::loginLogin, loginLogin>(ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN,
                                             "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN"),
    kind<&EsMessage::btmLaunchItemAdd, btmLaunchItemAdd>(
        ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD"),
    kind<&EsMessage::btmLaunchItemRemove, btmLaunchItemRemove>(
        ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE,
        "Warden5Agent: ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE"),
};

const EventKind* findEventKind(std::uint32_t type) {
  for (const EventKind& k : kEventKinds) {
    if (k.type == type) return &k;
  }
  return nullptr;
}

}  // namespace agent
