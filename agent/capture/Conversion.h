// Conversion of event-source messages into records. Everything here is a pure function of its
// input (apart from the one log line some event kinds write), keeps no reference into the
// message, and may run on any number of threads at once.
//
// Each conversion also has a form that writes into a record given to it, which may hold an
// earlier result: everything is overwritten, the outcome equals the returning form's, and the
// record's texts and lists keep their buffers. The agent converts each event into a record it
// keeps per event kind, so converting a storm of events allocates next to nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "agent/capture/EventTable.h"  // kSubscribedEvents, the kinds makeEsMessage handles
#include "agent/model/EsMessage.h"
#include "platform/endpoint_security/EndpointSecurity.h"

namespace agent {

// The token's `length` bytes as text; "unknown" when `data` is null or the bytes are not
// well-formed UTF-8 (overlong forms, surrogates, values above U+10FFFF and cut-off sequences are
// all refused). Nothing past `length` is read.
model::String stringFromToken(const es_string_token_t& token);
void assignFromToken(model::String& out, const es_string_token_t& token);

// Absent when the token is shorter than two bytes (its pointer is not looked at), otherwise
// stringFromToken(token).
std::optional<model::String> optionalStringFromToken(const es_string_token_t& token);

// "YYYY-MM-DDTHH:MM:SSZ" in UTC, proleptic Gregorian calendar; a fraction of a second is dropped
// toward the earlier second. Instants outside the years 0000 to 9999 (and non-finite values)
// give "unknown".
model::String isoDateString(model::Date date);

// One file record with all six times set (whole seconds).
model::EsFile makeEsFile(const es_file_t& file);
void makeEsFile(const es_file_t& file, model::EsFile& into);

// One process record. A null executable gives a file whose path is "unknown" and whose times are
// absent.
model::EsProcess makeEsProcess(const es_process_t& process);
void makeEsProcess(const es_process_t& process, model::EsProcess& into);

using ExecCountAccessor = std::uint32_t (*)(const es_event_exec_t*);
using ExecItemAccessor = es_string_token_t (*)(const es_event_exec_t*, std::uint32_t);

// The exec event's argument list (es_exec_arg_count, es_exec_arg) or environment list
// (es_exec_env_count, es_exec_env) as texts, in order; an entry that is not UTF-8 reads
// "unknown" in its place.
std::vector<model::String> execStrings(const es_event_exec_t& exec, ExecCountAccessor count,
                                       ExecItemAccessor item);
void execStrings(const es_event_exec_t& exec, ExecCountAccessor count, ExecItemAccessor item,
                 std::vector<model::String>& into);

// One record for one message: version, time and its text, the acting process, and for the
// twelve subscribed kinds the event type, description and event member (see EventTable.h),
// writing the kind's log line. Any other type gives eventType 0 and no member.
//
// Null pointers never crash the conversion: a missing acting process becomes a record with ids
// 0, texts "unknown", an all-zero hash and no start time; a missing event structure, exec target,
// fork child or launch item leaves the event member absent (type, description and log line are
// still set).
model::EsMessage makeEsMessage(const es_message_t& message);
void makeEsMessage(const es_message_t& message, model::EsMessage& into);

}  // namespace agent
