// The event kinds the agent handles: one row per kind with everything that differs between
// kinds. makeEsMessage dispatches through it; nothing else lists the kinds.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "agent/model/EsMessage.h"
#include "platform/endpoint_security/EndpointSecurity.h"

namespace agent {

struct EventKind {
  es_event_type_t type;        // also the record's eventType
  std::string_view eventDesc;  // the record's eventDesc
  std::string_view member;     // the EsMessage member the kind fills, by its JSON key
  std::string_view logLine;    // written once per message of this kind; empty for none
  // Builds the member from the message's event structure (leaves it absent when the structure
  // gives too little, see makeEsMessage), over what the member held.
  void (*fill)(const es_message_t& message, model::EsMessage& record);
  // Whether `record` has this kind's member set.
  bool (*isFilled)(const model::EsMessage& record);
  // Leaves this kind's member absent.
  void (*clear)(model::EsMessage& record);
};

// In ascending type order.
extern const std::array<EventKind, 12> kEventKinds;

// The row of `type`, or null for a type the agent does not handle.
const EventKind* findEventKind(std::uint32_t type);

// The types the agent subscribes to, in the order it passes them to subscribe and unsubscribe.
inline constexpr std::array<es_event_type_t, 12> kSubscribedEvents = {
    ES_EVENT_TYPE_NOTIFY_EXEC,
    ES_EVENT_TYPE_NOTIFY_EXIT,
    ES_EVENT_TYPE_NOTIFY_FORK,
    ES_EVENT_TYPE_NOTIFY_AUTHENTICATION,
    ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK,
    ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH,
    ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN,
    ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN,
    ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD,
    ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE,
};

}  // namespace agent
