// Where a document goes in the fleet's stream: corvane.events.<host>.<kind>, the kind being the
// document's "eventDesc" member (EXEC, FORK, LW_SESSION_LOGIN, ...). Both parts must be single
// subject tokens, so anything NATS reserves in a token is replaced.
#pragma once

#include <string>
#include <string_view>

#include "tools/fleet/Nats.h"

namespace watchexport {

// The kind of an event document as one subject token; "UNKNOWN" when it has no eventDesc.
std::string kindToken(std::string_view document);

// Whether `token` is usable as it stands as one subject token (a host id, a kind filter).
bool isToken(std::string_view token);

std::string subjectFor(std::string_view host, std::string_view kind);

using fleet::kNoticeKind;

}  // namespace watchexport
