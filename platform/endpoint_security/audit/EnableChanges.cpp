// Pairing the enable flag's AUDIT_CONFIG_CHANGE records with the SYSCALL records that name who
// made them.
#include "platform/endpoint_security/audit/EnableChanges.h"

#include <charconv>

#include "platform/endpoint_security/audit/AuditRecord.h"

namespace platform::es::audit {
namespace {

std::optional<std::uint32_t> flag(const AuditFields& fields, std::string_view key) {
  const std::optional<std::string> text = fields.find(key);
  std::uint32_t value = 0;
  if (!text ||
      std::from_chars(text->data(), text->data() + text->size(), value).ec != std::errc() ||
      value > 2) {
    return std::nullopt;
  }
  return value;
}

std::optional<EnableChange> changeOf(const AuditRecord& record) {
  const AuditFields& k = record.kernel;
  const auto enabled = flag(k, "audit_enabled");
  const auto old = flag(k, "old");
  if (k.find("op") != "set" || k.find("res") != "1" || !enabled || !old) return std::nullopt;
  return EnableChange{record.serial, *enabled, *old, std::nullopt, std::nullopt};
}

}  // namespace

std::optional<EnableChange> EnableChanges::feed(std::uint16_t type, std::string_view text) {
  if (type != kConfigChange && (type != kSyscall || !pending_)) return std::nullopt;
  const std::optional<AuditRecord> record = parseAuditRecord(type, text);
  if (!record) return std::nullopt;
  if (type == kSyscall) {
    if (record->serial != pending_->serial) return flush();
    pending_->pid = record->pid;
    pending_->exe = record->kernel.find("exe");
    return flush();
  }
  std::optional<EnableChange> before = flush();
  pending_ = changeOf(*record);
  return before;
}

std::optional<EnableChange> EnableChanges::flush() {
  std::optional<EnableChange> out = std::move(pending_);
  pending_.reset();
  return out;
}

}  // namespace platform::es::audit
