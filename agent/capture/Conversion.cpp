#include "agent/capture/Conversion.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
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

void assignHexOfHash(model::String& out, const es_cdhash_t& hash) {
  out.resize(sizeof(es_cdhash_t) * 2);
  char* dst = out.data();
  for (std::uint8_t byte : hash) {
    dst[0] = kHexPairs[byte][0];
    dst[1] = kHexPairs[byte][1];
    dst += 2;
  }
}

// Overwrites an optional text in place, so a record converted into again keeps its buffer.
void assignText(std::optional<model::String>& out, std::string_view text) {
  if (out) {
    out->assign(text);
  } else {
    out.emplace(text);
  }
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

// The text of `date`, or "unknown" (see isoDateString). The view is good until the next call on
// this thread.
std::string_view isoDate(model::Date date) {
  // 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z, in seconds since 2001-01-01.
  constexpr double kFirst = -62167219200.0 - model::Date::kUnixOffset;
  constexpr double kLast = 253402300799.0 - model::Date::kUnixOffset;
  // Floor before moving to the Unix epoch: adding the offset first could round a fraction just
  // below a whole second up into it.
  const double whole = std::floor(date.timeIntervalSinceReferenceDate);
  if (!(whole >= kFirst && whole <= kLast)) return kUnknown;
  const auto unixSeconds =
      static_cast<std::int64_t>(whole) + static_cast<std::int64_t>(model::Date::kUnixOffset);

  // The texts of recent seconds: an event's times are mostly the same few (now, and the
  // executable's times), and the calendar arithmetic costs more than the rest of a process.
  struct Cached {
    std::int64_t second = INT64_MIN;
    char text[20];
  };
  thread_local std::array<Cached, 16> cache;
  Cached& slot = cache[static_cast<std::uint64_t>(unixSeconds) % cache.size()];
  if (slot.second == unixSeconds) return {slot.text, sizeof slot.text};

  std::int64_t days = unixSeconds / 86400;
  std::int64_t secondOfDay = unixSeconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const CivilDate civil = civilFromDays(days);
  const auto sod = static_cast<unsigned>(secondOfDay);

  std::memcpy(slot.text, "0000-00-00T00:00:00Z", sizeof slot.text);
  putDigits(slot.text, static_cast<unsigned>(civil.year), 4);
  putDigits(slot.text + 5, civil.month, 2);
  putDigits(slot.text + 8, civil.day, 2);
  putDigits(slot.text + 11, sod / 3600, 2);
  putDigits(slot.text + 14, sod / 60 % 60, 2);
  putDigits(slot.text + 17, sod % 60, 2);
  slot.second = unixSeconds;
  return {slot.text, sizeof slot.text};
}

// Sets a record's time and its text from whole Unix seconds.
void assignTime(std::optional<model::Date>& time, std::optional<model::String>& text,
                std::int64_t unixSeconds) {
  const model::Date date = dateFromUnixSeconds(unixSeconds);
  time = date;
  assignText(text, isoDate(date));
}

// The same for a time that may not have been recorded (a file system without birth times, a
// process nobody could name): all zero then, written as the documents' own zero date rather
// than as 1970, which would read as a real moment.
void assignRecordedTime(std::optional<model::Date>& time, std::optional<model::String>& text,
                        std::int64_t unixSeconds, long nanoseconds) {
  if (unixSeconds == 0 && nanoseconds == 0) {
    time = model::Date{};
    assignText(text, isoDate(*time));
    return;
  }
  assignTime(time, text, unixSeconds);
}

}  // namespace

void assignFromToken(model::String& out, const es_string_token_t& token) {
  if (token.data == nullptr) {
    out.assign(kUnknown);
    return;
  }
  const std::string_view text(token.data, token.length);
  out.assign(model::isValidUtf8(text) ? text : kUnknown);
}

model::String stringFromToken(const es_string_token_t& token) {
  model::String out;
  assignFromToken(out, token);
  return out;
}

std::optional<model::String> optionalStringFromToken(const es_string_token_t& token) {
  if (token.length < 2) return std::nullopt;
  return stringFromToken(token);
}

model::String isoDateString(model::Date date) {
  return model::String(isoDate(date));
}

void makeEsFile(const es_file_t& file, model::EsFile& into) {
  assignFromToken(into.path, file.path);
  into.pathTuncated = file.path_truncated;
  assignTime(into.changeTime, into.changeTimeStr, file.stat.st_ctimespec.tv_sec);
  assignTime(into.modifyTime, into.modifyTimeStr, file.stat.st_mtimespec.tv_sec);
  assignRecordedTime(into.birthTime, into.birthTimeStr, file.stat.st_birthtimespec.tv_sec,
                     file.stat.st_birthtimespec.tv_nsec);
}

model::EsFile makeEsFile(const es_file_t& file) {
  model::EsFile out;
  makeEsFile(file, out);
  return out;
}

void makeEsProcess(const es_process_t& process, model::EsProcess& into) {
  if (process.executable != nullptr) {
    makeEsFile(*process.executable, into.exectuable);
  } else {
    into.exectuable.path.assign(kUnknown);
    into.exectuable.pathTuncated = false;
    into.exectuable.changeTime.reset();
    into.exectuable.changeTimeStr.reset();
    into.exectuable.modifyTime.reset();
    into.exectuable.modifyTimeStr.reset();
    into.exectuable.birthTime.reset();
    into.exectuable.birthTimeStr.reset();
  }
  into.ppid = process.ppid;
  into.originalPpid = process.original_ppid;
  into.pid = audit_token_to_pid(process.audit_token);
  into.groupId = process.group_id;
  into.sessionId = process.session_id;
  // Ids are unsigned: widen without sign so 4294967295 stays what it is.
  into.euid = static_cast<std::uint32_t>(audit_token_to_euid(process.audit_token));
  into.ruid = static_cast<std::uint32_t>(audit_token_to_ruid(process.audit_token));
  into.egid = static_cast<std::uint32_t>(audit_token_to_egid(process.audit_token));
  into.rgid = static_cast<std::uint32_t>(audit_token_to_rgid(process.audit_token));
  assignFromToken(into.teamId, process.team_id);
  if (process.is_platform_binary && into.teamId == kUnknown) into.teamId.assign("system");
  assignFromToken(into.signingId, process.signing_id);
  assignHexOfHash(into.hash, process.cdhash);
  into.isPlatformBinary = process.is_platform_binary;
  into.codesigningFlags = process.codesigning_flags;
  assignRecordedTime(into.startTime, into.startTimeStr, process.start_time.tv_sec,
                     process.start_time.tv_usec);
}

model::EsProcess makeEsProcess(const es_process_t& process) {
  model::EsProcess out;
  makeEsProcess(process, out);
  return out;
}

namespace {

// Entries already copied whole are made "unknown" where they are not valid UTF-8.
void keepValidOnly(std::vector<model::String>& entries, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!model::isValidUtf8(entries[k])) entries[k].assign(kUnknown);
  }
}

}  // namespace

void execStrings(const es_event_exec_t& exec, ExecCountAccessor count, ExecItemAccessor item,
                 std::vector<model::String>& into) {
  const std::uint32_t n = count(&exec);
  // Entries already there keep their buffers; the count is trusted only as far as entries
  // are really read, so a corrupt one cannot turn into one huge allocation up front.
  if (into.size() > n) into.resize(n);
  into.reserve(std::min<std::uint32_t>(n, 4096));
  // An exec's entries usually lie back to back, each after the previous one's NUL: they are
  // then copied as they are and the block is validated once, in one pass, as no UTF-8 sequence
  // contains a NUL byte. Entries elsewhere are validated one by one.
  bool oneBlock = true;
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (i == into.size()) into.emplace_back();
    const es_string_token_t entry = item(&exec, i);
    const auto at = reinterpret_cast<std::uintptr_t>(entry.data);
    if (oneBlock && (entry.data == nullptr || (i > 0 && at != end + 1))) {
      oneBlock = false;
      keepValidOnly(into, i);
    }
    if (!oneBlock) {
      assignFromToken(into[i], entry);
      continue;
    }
    if (i == 0) start = at;
    end = at + entry.length;
    into[i].assign(entry.data, entry.length);
  }
  if (oneBlock && n > 0 &&
      !model::isValidUtf8({reinterpret_cast<const char*>(start), end - start})) {
    keepValidOnly(into, n);
  }
}

std::vector<model::String> execStrings(const es_event_exec_t& exec, ExecCountAccessor count,
                                       ExecItemAccessor item) {
  std::vector<model::String> out;
  execStrings(exec, count, item, out);
  return out;
}

void makeEsMessage(const es_message_t& message, model::EsMessage& into) {
  if (message.process != nullptr) {
    makeEsProcess(*message.process, into.process);
  } else {
    static const es_process_t kNoProcess{};  // null tokens and executable, zero ids and hash
    makeEsProcess(kNoProcess, into.process);
    into.process.startTime.reset();
    into.process.startTimeStr.reset();
  }
  into.version = message.version;
  const double unixTime =
      static_cast<double>(message.time.tv_nsec) / 1e9 + static_cast<double>(message.time.tv_sec);
  into.time = model::Date::fromUnixTime(unixTime);
  assignText(into.timeStr, isoDate(*into.time));

  const EventKind* kind = findEventKind(message.event_type);
  for (const EventKind& other : kEventKinds) {
    if (&other != kind) other.clear(into);
  }
  if (kind == nullptr) {
    into.eventType = 0;
    into.eventDesc.reset();
    return;
  }
  into.eventType = kind->type;
  assignText(into.eventDesc, kind->eventDesc);
  kind->fill(message, into);
  if (!kind->logLine.empty()) {
    os_log(OS_LOG_DEFAULT, "%.*s", static_cast<int>(kind->logLine.size()), kind->logLine.data());
  }
}

model::EsMessage makeEsMessage(const es_message_t& message) {
  model::EsMessage out;
  makeEsMessage(message, out);
  return out;
}

}  // namespace agent
