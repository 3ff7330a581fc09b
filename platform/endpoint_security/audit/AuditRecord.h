// One audit record as the kernel multicasts it: "audit(<sec>.<msec>:<serial>): key=value ...",
// where a user record carries the sending program's own fields inside msg='...'.
//
// Everything in a record after the kernel's own fields comes from the program that sent it and
// is untrusted: values are decoded (quoted, hex-encoded, "?" for none) and kept only when they
// are well-formed UTF-8. The kernel's fields (pid, uid, auid, ses) are kept apart from the
// program's, so a program cannot pass itself off as another process by writing "pid=" into its
// message.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::es::audit {

// Record types this source reads (linux/audit.h).
inline constexpr std::uint16_t kUserAuth = 1100;
inline constexpr std::uint16_t kUserAcct = 1101;
inline constexpr std::uint16_t kUserStart = 1105;
inline constexpr std::uint16_t kUserLogin = 1112;

// The account bytes a record keeps: the audit library cuts a longer name to its first 32 bytes
// (the utmp name size) and marks nothing, so a name of that length may be the start of a longer
// one that was tried.
inline constexpr std::size_t kAccountBytesKept = 32;
inline bool mayBeCutAccount(std::string_view account) {
  return account.size() >= kAccountBytesKept;
}

// "(invalid user)": what sshd writes as the account of a user name that does not exist.
inline constexpr std::string_view kInvalidUser = "(invalid user)";

struct AuditFields {
  // Decoded values in record order; nullopt for "?", for a value that is not well-formed UTF-8
  // and for a malformed one.
  std::vector<std::pair<std::string, std::optional<std::string>>> entries;

  // The first value given for `key`; nullopt when the key is missing or its value is none.
  std::optional<std::string> find(std::string_view key) const;
  bool has(std::string_view key) const;
};

struct AuditRecord {
  std::uint16_t type = 0;
  timespec time{};  // when the kernel stamped the record (wall clock)
  std::uint64_t serial = 0;
  // Set by the kernel from the sender's credentials.
  std::optional<std::int64_t> pid;
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> auid;  // login uid; 4294967295 when unset
  std::optional<std::uint32_t> ses;
  AuditFields kernel;   // every field before msg='...' (all of a kernel record's)
  AuditFields message;  // the fields inside msg='...'
};

// Parses the text of one record of type `type`; nullopt when the header is malformed. The
// text need not be terminated; a trailing NUL or newline is ignored.
std::optional<AuditRecord> parseAuditRecord(std::uint16_t type, std::string_view text);

// Splits "key=value key2=value2 ..." and decodes each value (see AuditFields).
AuditFields parseAuditFields(std::string_view text);

}  // namespace platform::es::audit
