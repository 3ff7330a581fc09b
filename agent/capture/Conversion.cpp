#include "agent/capture/Conversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>

#include "agent/model/Utf8.h"
#include "platform/bsm/bsm.h"
#include "platform/log/Log.h"

namespace agent {
namespace {

constexpr std::string_view kUnknown = "unknown";

constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = {kDigits[b >> 4], kDigits[b & 0xF]};
  return table;
}();

model::String hexOfHash(const es_cdhash_t& hash) {
  model::String out(sizeof(es_cdhash_t) * 2, '\0');
  char* dst = out.data();
  for (std::uint8_t byte : hash) {
    dst[0] = kHexPairs[byte][0];
    dst[1] = kHexPairs[byte][1];
    dst += 2;
  }
  return out;
}

model::Date dateFromUnixSeconds(std::int64_t seconds) {
  return model::Date::fromUnixTime(static_cast<double>(seconds));
}

// Days since 1970-01-01 to year, month, day (proleptic Gregorian).
struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civilFromDays(std::int64_t days) {
  days += 719468;  // shift the epoch to 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthFromMarch = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  const unsigned month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void putDigits(char* dst, unsigned value, int width) {
  for (int k = width - 1; k >= 0; --k) {
    dst[k] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

model::String stringFromToken(const es_string_token_t& token) {
  if (token.data == nullptr) return model::String(kUnknown);
  if (!model::isValidUtf8(std::string_view(token.data, token.length))) {
    return model::String(kUnknown);
  }
  return model::String(token.data, token.length);
}

std::optional<model::String> optionalStringFromToken(const es_string_token_t& token) {
  if (token.length < 2) return std::nullopt;
  return stringFromToken(token);
}

model::String isoDateString(model::Date date) {
  // 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z, in seconds since 2001-01-01.
  constexpr double kFirst = -62167219200.0 - model::Date::kUnixOffset;
  constexpr double kLast = 253402300799.0 - model::Date::kUnixOffset;
  // Floor before moving to the Unix epoch: adding the offset first could round a fraction just
  // below a whole second up into it.
  const double whole = std::floor(date.timeIntervalSinceReferenceDate);
  if (!(whole >= kFirst && whole <= kLast)) return model::String(kUnknown);

  const auto unixSeconds =
      static_cast<std::int64_t>(whole) + static_cast<std::int64_t>(model::Date::kUnixOffset);
  std::int64_t days = unixSeconds / 86400;
  std::int64_t secondOfDay = unixSeconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const CivilDate civil = civilFromDays(days);
  const auto sod = static_cast<unsigned>(secondOfDay);

  model::String out = "0000-00-00T00:00:00Z";
  char* p = out.data();
  putDigits(p, static_cast<unsigned>(civil.year), 4);
  putDigits(p + 5, civil.month, 2);
  putDigits(p + 8, civil.day, 2);
  putDigits(p + 11, sod / 3600, 2);
  putDigits(p + 14, sod / 60 % 60, 2);
  putDigits(p + 17, sod % 60, 2);
  return out;
}

model::EsFile makeEsFile(const es_file_t& file) {
  model::EsFile out;
  out.path = stringFromToken(file.path);
  out.pathTuncated = file.path_truncated;
  const model::Date changed = dateFromUnixSeconds(file.stat.st_ctimespec.tv_sec);
  const model::Date modified = dateFromUnixSeconds(file.stat.st_mtimespec.tv_sec);
  const model::Date born = dateFromUnixSeconds(file.stat.st_birthtimespec.tv_sec);
  out.changeTime = changed;
  out.changeTimeStr = isoDateString(changed);
  out.modifyTime = modified;
  out.modifyTimeStr = isoDateString(modified);
  out.birthTime = born;
  out.birthTimeStr = isoDateString(born);
  return out;
}

model::EsProcess makeEsProcess(const es_process_t& process) {
  model::EsProcess out;
  if (process.executable != nullptr) {
    out.exectuable = makeEsFile(*process.executable);
  } else {
    out.exectuable.path = model::String(kUnknown);
  }
  out.ppid = process.ppid;
  out.originalPpid = process.original_ppid;
  out.pid = audit_token_to_pid(process.audit_token);
  out.groupId = process.group_id;
  out.sessionId = process.session_id;
  // Ids are unsigned: widen without sign so 4294967295 stays what it is.
  out.euid = static_cast<std::uint32_t>(audit_token_to_euid(process.audit_token));
  out.ruid = static_cast<std::uint32_t>(audit_token_to_ruid(process.audit_token));
  out.egid = static_cast<std::uint32_t>(audit_token_to_egid(process.audit_token));
  out.rgid = static_cast<std::uint32_t>(audit_token_to_rgid(process.audit_token));
  out.teamId = stringFromToken(process.team_id);
  if (process.is_platform_binary && out.teamId == kUnknown) out.teamId = "system";
  out.signingId = stringFromToken(process.signing_id);
  out.hash = hexOfHash(process.cdhash);
  out.isPlatformBinary = process.is_platform_binary;
  out.codesigningFlags = process.codesigning_flags;
  const model::Date started = dateFromUnixSeconds(process.start_time.tv_sec);
  out.startTime = started;
  out.startTimeStr = isoDateString(started);
  return out;
}

std::vector<model::String> execStrings(const es_event_exec_t& exec, ExecCountAccessor count,
                                       ExecItemAccessor item) {
  const std::uint32_t n = count(&exec);
  std::vector<model::String> out;
  // Bounded so a corrupt count cannot turn into one huge allocation up front.
  out.reserve(std::min<std::uint32_t>(n, 4096));
  for (std::uint32_t i = 0; i < n; ++i) out.push_back(stringFromToken(item(&exec, i)));
  return out;
}

model::EsMessage makeEsMessage(const es_message_t& message) {
  model::EsMessage out;
  if (message.process != nullptr) {
    out.process = makeEsProcess(*message.process);
  } else {
    static const es_process_t kNoProcess{};  // null tokens and executable, zero ids and hash
    out.process = makeEsProcess(kNoProcess);
    out.process.startTime.reset();
    out.process.startTimeStr.reset();
  }
  out.version = message.version;
  const double unixTime =
      static_cast<double>(message.time.tv_nsec) / 1e9 + static_cast<double>(message.time.tv_sec);
  out.time = model::Date::fromUnixTime(unixTime);
  out.timeStr = isoDateString(*out.time);

  if (const EventKind* kind = findEventKind(message.event_type)) {
    out.eventType = kind->type;
    out.eventDesc = model::String(kind->eventDesc);
    kind->fill(message, out);
    if (!kind->logLine.empty()) {
      os_log(OS_LOG_DEFAULT, "%.*s", static_cast<int>(kind->logLine.size()), kind->logLine.data());
    }
  }
  return out;
}

}  // namespace agent
