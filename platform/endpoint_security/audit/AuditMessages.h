// The messages the handler receives for the audit source's events: each pending event owns
// its texts, the process image it names and the event structures that point into them.
//
// AUTHENTICATION is of type OD: record type "user", record name the account, node name the
// executable that called PAM (the record's exe=), database path "/etc/shadow".
#pragma once

#include <cstdint>
#include <memory>

#include "platform/endpoint_security/audit/LoginCorrelator.h"
#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"

namespace platform::es::audit {

inline constexpr std::string_view kRecordType = "user";
inline constexpr std::string_view kDbPath = "/etc/shadow";

es_event_type_t kindOf(const AuditEvent& event);

// The pending event for `event`, its process found through `processes`; `nowNs` is the
// monotonic time it was completed.
std::unique_ptr<PendingEvent> pendingFor(const AuditEvent& event, ProcessLookup& processes,
                                         std::uint64_t nowNs);

// sourceAddress type of an address as sshd writes it.
es_address_type_t addressTypeOf(const std::optional<std::string>& address);

}  // namespace platform::es::audit
