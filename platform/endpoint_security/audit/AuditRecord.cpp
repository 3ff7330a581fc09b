#include "platform/endpoint_security/audit/AuditRecord.h"

#include <array>
#include <charconv>
#include <cstring>

#include "platform/Utf8.h"

namespace platform::es::audit {
namespace {

// Keys whose values the sender encodes as hex when they hold a space, a quote, a control
// character or a byte above 0x7e; other unquoted values (numbers, res=, addr=) are plain.
constexpr std::array<std::string_view, 9> kEncodedKeys = {
    "acct", "exe", "comm", "cwd", "cmd", "name", "path", "proctitle", "old-acct"};

bool isEncodedKey(std::string_view key) {
  for (std::string_view k : kEncodedKeys) {
    if (k == key) return true;
  }
  return false;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> fromHex(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hexDigit(hex[i]);
    const int lo = hexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

std::optional<std::string> keptIfText(std::string value) {
  if (!platform::isValidUtf8(value)) return std::nullopt;
  return value;
}

// One value as written; `quoted` when it stood between quotes.
std::optional<std::string> decodeValue(std::string_view key, std::string_view raw, bool quoted) {
  if (quoted) return keptIfText(std::string(raw));
  if (raw == "?" || raw.empty()) return std::nullopt;
  if (isEncodedKey(key)) {
    if (std::optional<std::string> bytes = fromHex(raw)) return keptIfText(std::move(*bytes));
  }
  return keptIfText(std::string(raw));
}

template <class T>
std::optional<T> number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// "audit(1700000000.123:456): " -> time and serial; returns the rest of the text.
std::optional<std::string_view> parseHeader(std::string_view text, AuditRecord& record) {
  constexpr std::string_view kOpen = "audit(";
  if (text.substr(0, kOpen.size()) != kOpen) return std::nullopt;
  const std::size_t close = text.find("): ");
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view stamp = text.substr(kOpen.size(), close - kOpen.size());
  const std::size_t dot = stamp.find('.');
  const std::size_t colon = stamp.find(':');
  if (dot == std::string_view::npos || colon == std::string_view::npos || colon < dot) {
    return std::nullopt;
  }
  const auto sec = number<std::int64_t>(stamp.substr(0, dot));
  const auto msec = number<std::uint32_t>(stamp.substr(dot + 1, colon - dot - 1));
  const auto serial = number<std::uint64_t>(stamp.substr(colon + 1));
  if (!sec || !msec || !serial || *msec > 999) return std::nullopt;
  record.time = timespec{static_cast<time_t>(*sec), static_cast<long>(*msec) * 1000000};
  record.serial = *serial;
  return text.substr(close + 3);
}

}  // namespace

std::optional<std::string> AuditFields::find(std::string_view key) const {
  for (const auto& [k, v] : entries) {
    if (k == key) return v;
  }
  return std::nullopt;
}

bool AuditFields::has(std::string_view key) const {
  for (const auto& entry : entries) {
    if (entry.first == key) return true;
  }
  return false;
}

AuditFields parseAuditFields(std::string_view text) {
  AuditFields fields;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t keyStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ' ') ++i;
    if (i >= text.size() || text[i] == ' ') continue;  // a word without a value
    const std::string_view key = text.substr(keyStart, i - keyStart);
    ++i;  // '='
    const char quote = i < text.size() ? text[i] : '\0';
    if (quote == '"' || quote == '\'') {
      const std::size_t end = text.find(quote, i + 1);
      if (end == std::string_view::npos) {
        // Cut off: the value's end is unknown, and so is everything after it.
        fields.entries.emplace_back(std::string(key), std::nullopt);
        break;
      }
      fields.entries.emplace_back(std::string(key),
                                  decodeValue(key, text.substr(i + 1, end - i - 1), true));
      i = end + 1;
      continue;
    }
    const std::size_t end = std::min(text.find(' ', i), text.size());
    fields.entries.emplace_back(std::string(key), decodeValue(key, text.substr(i, end - i), false));
    i = end;
  }
  return fields;
}

std::optional<AuditRecord> parseAuditRecord(std::uint16_t type, std::string_view text) {
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.remove_suffix(1);
  AuditRecord record;
  record.type = type;
  const std::optional<std::string_view> body = parseHeader(text, record);
  if (!body) return std::nullopt;

  // The kernel writes its own fields first, then the sender's text inside msg='...', which runs
  // to the record's last quote (the sender's text may hold quotes of its own).
  constexpr std::string_view kMsg = "msg='";
  const std::size_t msgAt = body->find(kMsg);
  const std::string_view kernelPart = body->substr(0, msgAt);
  if (msgAt != std::string_view::npos) {
    std::string_view sent = body->substr(msgAt + kMsg.size());
    if (!sent.empty() && sent.back() == '\'') sent.remove_suffix(1);
    record.message = parseAuditFields(sent);
  }
  record.kernel = parseAuditFields(kernelPart);
  const AuditFields& kernel = record.kernel;
  if (auto v = kernel.find("pid")) record.pid = number<std::int64_t>(*v);
  if (auto v = kernel.find("uid")) record.uid = number<std::uint32_t>(*v);
  if (auto v = kernel.find("auid")) record.auid = number<std::uint32_t>(*v);
  if (auto v = kernel.find("ses")) record.ses = number<std::uint32_t>(*v);
  return record;
}

}  // namespace platform::es::audit
