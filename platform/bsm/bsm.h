// Audit tokens: the opaque identity of a process as the event source hands it out, and the
// accessors that read it. The slot layout is ours; callers only use the accessors.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct audit_token_t {
  // [0] audit user id, [1] euid, [2] egid, [3] ruid, [4] rgid, [5] pid, [6] audit session,
  // [7] pid version.
  std::uint32_t val[8];
};

inline pid_t audit_token_to_pid(audit_token_t token) { return static_cast<pid_t>(token.val[5]); }
inline uid_t audit_token_to_euid(audit_token_t token) { return token.val[1]; }
inline uid_t audit_token_to_ruid(audit_token_t token) { return token.val[3]; }
inline gid_t audit_token_to_egid(audit_token_t token) { return token.val[2]; }
inline gid_t audit_token_to_rgid(audit_token_t token) { return token.val[4]; }

// Builds a token from its parts; the event source and the test fixtures use it.
inline audit_token_t make_audit_token(pid_t pid, uid_t euid, uid_t ruid, gid_t egid, gid_t rgid,
                                      std::uint32_t auid = 0xffffffffu, std::uint32_t asid = 0,
                                      std::uint32_t pidversion = 0) {
  return audit_token_t{{auid, euid, egid, ruid, rgid, static_cast<std::uint32_t>(pid), asid,
                        pidversion}};
}
