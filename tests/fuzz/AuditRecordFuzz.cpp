// Fuzz harness: any bytes as an audit record's text, of any of the user record types, into the
// parser and then the login rules. Every decoded value must be well-formed UTF-8, and the rules
// must neither crash nor hold more attempts than records fed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/Utf8.h"
#include "platform/endpoint_security/audit/AuditRecord.h"
#include "platform/endpoint_security/audit/LoginCorrelator.h"

using namespace platform::es::audit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the record type among the ones the source reads.
  constexpr std::uint16_t kTypes[] = {1100, 1101, 1105, 1106, 1109, 1112, 1006};
  const std::uint16_t type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::optional<AuditRecord> record = parseAuditRecord(type, text);
  if (!record) return 0;
  for (const auto& [key, value] : record->message.entries) {
    if (value && !platform::isValidUtf8(*value)) std::abort();
  }
  LoginCorrelator rules;
  rules.feed(*record, 1'000'000'000);
  rules.feed(*record, 1'100'000'000);
  rules.expire(10'000'000'000);
  if (rules.attempts() > 2) std::abort();
  return 0;
}
