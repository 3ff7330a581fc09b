// Segment files of records: a 24-byte header (a marker, a CRC-32 of everything after it, the
// sequence, the subject length and the document length, in the machine's byte order) followed
// by the subject and the document. The acknowledged sequence is kept in the file "acknowledged"
// beside the segments.
#include "tools/watchexport/Spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/log/Log.h"

namespace watchexport {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMarker = 0x31535643;  // "CVS1"
constexpr std::uint32_t kMaxSubject = 4096;

struct Header {
  std::uint32_t marker;
  std::uint32_t checksum;
  std::uint64_t sequence;
  std::uint32_t subjectSize;
  std::uint32_t documentSize;
};
static_assert(sizeof(Header) == 24);

constexpr std::string_view kSuffix = ".spool";

void log(const std::string& line) {
  platform::log::write("watchexport: spool: " + line);
}

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::uint64_t recordSize(const Header& header) {
  return sizeof header + header.subjectSize + header.documentSize;
}

std::uint32_t checksumOf(const Header& header, std::string_view body) {
  const auto* fields = reinterpret_cast<const Bytef*>(&header.sequence);
  uLong crc = ::crc32(0L, fields, sizeof header - offsetof(Header, sequence));
  crc = ::crc32(crc, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  return static_cast<std::uint32_t>(crc);
}

bool writeAll(int fd, const char* p, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readAt(int fd, char* p, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The record at `offset` with `room` bytes left before the end of its file: its header, and its
// subject and document in `body`. False when it is damaged or cannot be read.
bool readRecord(int fd, std::uint64_t offset, std::uint64_t room, Header& header,
                std::string& body) {
  if (room < sizeof header) return false;
  if (!readAt(fd, reinterpret_cast<char*>(&header), sizeof header, offset)) return false;
  if (header.marker != kMarker || header.subjectSize > kMaxSubject || recordSize(header) > room) {
    return false;
  }
  body.resize(header.subjectSize + header.documentSize);
  if (!readAt(fd, body.data(), body.size(), offset + sizeof header)) return false;
  return checksumOf(header, body) == header.checksum;
}

// The offset of the first intact record at or after `from` whose sequence is above `after`,
// searched by its marker; nothing when there is none before `end`.
std::optional<std::uint64_t> findRecord(int fd, std::uint64_t from, std::uint64_t end,
                                        std::uint64_t after, std::string& body) {
  constexpr std::size_t kChunk = 64 << 10;
  std::string chunk;
  const auto* marker = reinterpret_cast<const char*>(&kMarker);
  for (std::uint64_t base = from; base < end; base += kChunk) {
    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk + 3, end - base)));
    if (!readAt(fd, chunk.data(), chunk.size(), base)) return std::nullopt;
    for (std::size_t at = chunk.find(marker, 0, 4); at != std::string::npos && at < kChunk;
         at = chunk.find(marker, at + 1, 4)) {
      Header header{};
      if (readRecord(fd, base + at, end - base - at, header, body) && header.sequence > after) {
        return base + at;
      }
    }
  }
  return std::nullopt;
}

// The record header of spools written before records carried a checksum.
struct LegacyHeader {
  std::uint64_t sequence;
  std::uint32_t subjectSize;
  std::uint32_t documentSize;
};
static_assert(sizeof(LegacyHeader) == 16);

// Whether the file opened as `fd` starts with a record of the earlier form numbered `first`.
bool isLegacy(int fd, std::uint64_t first, std::uint64_t size) {
  LegacyHeader header{};
  if (size < sizeof header || !readAt(fd, reinterpret_cast<char*>(&header), sizeof header, 0)) {
    return false;
  }
  return header.sequence == first && header.subjectSize <= kMaxSubject &&
         sizeof header + header.subjectSize + header.documentSize <= size;
}

// Writes the records of the earlier form in `from` (`size` bytes) to `to` in the current form,
// up to the first one that does not follow on (a record cut short by a crash).
bool convertLegacy(int from, std::uint64_t size, int to) {
  std::string bytes;
  std::uint64_t offset = 0;
  std::uint64_t expected = 0;
  LegacyHeader legacy{};
  while (offset + sizeof legacy <= size &&
         readAt(from, reinterpret_cast<char*>(&legacy), sizeof legacy, offset)) {
    const std::uint64_t body = std::uint64_t{legacy.subjectSize} + legacy.documentSize;
    if (legacy.subjectSize > kMaxSubject || offset + sizeof legacy + body > size ||
        (expected != 0 && legacy.sequence != expected)) {
      break;
    }
    bytes.resize(sizeof(Header) + body);
    if (!readAt(from, bytes.data() + sizeof(Header), body, offset + sizeof legacy)) return false;
    Header header{kMarker, 0, legacy.sequence, legacy.subjectSize, legacy.documentSize};
    header.checksum = checksumOf(header, std::string_view(bytes).substr(sizeof header));
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!writeAll(to, bytes.data(), bytes.size())) return false;
    expected = legacy.sequence + 1;
    offset += sizeof legacy + body;
  }
  return true;
}

std::string segmentName(std::uint64_t first) {
  std::string digits = std::to_string(first);
  return std::string(20 - digits.size(), '0') + digits + std::string(kSuffix);
}

}  // namespace

Spool::Spool(fs::path directory, Limits limits)
    : directory_(std::move(directory)), limits_(limits) {}

std::unique_ptr<Spool> Spool::open(const fs::path& directory, Limits limits, std::string& error,
                                   std::optional<std::uint64_t> lastUsed) {
  std::unique_ptr<Spool> spool(new Spool(directory, limits));
  if (!spool->load(lastUsed, error)) return nullptr;
  return spool;
}

bool Spool::load(std::optional<std::uint64_t> lastUsed, std::string& error) {
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (ec) {
    error = "cannot create " + directory_.string() + ": " + ec.message();
    return false;
  }
  const fs::path ackPath = directory_ / "acknowledged";
  acknowledgedFile_.reset(::open(ackPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!acknowledgedFile_) {
    error = errnoText("cannot open " + ackPath.string());
    return false;
  }
  char text[32] = {};
  const ssize_t n = ::pread(acknowledgedFile_.get(), text, sizeof text - 1, 0);
  if (n > 0) std::from_chars(text, text + n, acknowledged_);

  std::vector<std::uint64_t> firsts;
  for (const auto& entry : fs::directory_iterator(directory_, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(kSuffix)) continue;
    std::uint64_t first = 0;
    const auto [end, err] = std::from_chars(name.data(), name.data() + name.size(), first);
    if (err == std::errc() && std::string_view(end) == kSuffix) firsts.push_back(first);
  }
  std::sort(firsts.begin(), firsts.end());
  for (std::size_t i = 0; i < firsts.size(); ++i) {
    std::vector<Segment> pieces;
    const auto nextFirst = i + 1 < firsts.size() ? std::optional(firsts[i + 1]) : std::nullopt;
    if (!scan(firsts[i], nextFirst, pieces, error)) return false;
    for (Segment& segment : pieces) {
      totalBytes_ += segment.bytes;
      lastAppended_ = std::max(lastAppended_, segment.last);
      segments_.push_back(std::move(segment));
    }
  }
  checkAcknowledged(lastUsed);
  while (!segments_.empty() && segments_.front().last <= acknowledged_) {
    totalBytes_ -= segments_.front().bytes;
    fs::remove(segments_.front().path, ec);
    segments_.pop_front();
  }
  // Damage to records already stored in the stream lost nothing.
  std::erase_if(damaged_, [&](const Damage& d) { return d.run.last <= acknowledged_; });
  for (Damage& d : damaged_) {
    d.run.first = std::max(d.run.first, acknowledged_ + 1);
    d.run.count = d.run.last >= d.run.first ? d.run.last - d.run.first + 1 : 0;
    logDamage(d);
  }
  lastAppended_ = std::max(lastAppended_, acknowledged_);
  lastTaken_ = acknowledged_;
  return true;
}

// With records spooled, the acknowledged position is at most the last of them; it is never above
// the last number used. A position beyond is damage: everything spooled is sent again (the
// stream recognises what it has by the message ids).
void Spool::checkAcknowledged(std::optional<std::uint64_t> lastUsed) {
  std::uint64_t bound = lastUsed.value_or(UINT64_MAX);
  if (!segments_.empty()) bound = std::min(bound, lastAppended_);
  if (acknowledged_ <= bound) return;
  const std::uint64_t refused = acknowledged_;
  acknowledged_ = segments_.empty() ? bound : segments_.front().first - 1;
  log("the acknowledged position " + std::to_string(refused) + " is beyond every sequence " +
      "number used (" + std::to_string(bound) + "); taken as " + std::to_string(acknowledged_) +
      ", so the spooled documents after it are sent again");
  if (::ftruncate(acknowledgedFile_.get(), 0) != 0) log(errnoText("cannot reset the position"));
  saveAcknowledged();
}

bool Spool::scan(std::uint64_t first, std::optional<std::uint64_t> nextFirst,
                 std::vector<Segment>& out, std::string& error) {
  Segment source;
  source.first = first;
  source.last = first - 1;
  source.path = directory_ / segmentName(first);
  source.fd.reset(::open(source.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
  struct stat st {};
  if (!source.fd || ::fstat(source.fd.get(), &st) != 0) {
    error = errnoText("cannot read " + source.path.string());
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  Header current{};
  if (isLegacy(source.fd.get(), first, size) &&
      !(readAt(source.fd.get(), reinterpret_cast<char*>(&current), sizeof current, 0) &&
        current.marker == kMarker)) {
    return upgrade(first, nextFirst, source, size, out, error);
  }
  const std::size_t noted = damaged_.size();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> records;  // offset, size
  std::uint64_t offset = 0;
  bool damaged = false;
  const int fd = source.fd.get();
  while (offset < size) {
    Header header{};
    if (readRecord(fd, offset, size - offset, header, body_) && header.sequence > source.last) {
      records.emplace_back(offset, recordSize(header));
      source.last = header.sequence;
      offset += recordSize(header);
      continue;
    }
    const std::optional<std::uint64_t> next = findRecord(fd, offset + 1, size, source.last, body_);
    if (!next) break;
    readRecord(fd, *next, size - *next, header, body_);
    noteDamage(source.last + 1, header.sequence - 1,
               source.path.string() + " (bytes " + std::to_string(offset) + " to " +
                   std::to_string(*next) + ")");
    damaged = true;
    offset = *next;
  }
  if (offset < size) {
    const std::string where = source.path.string() + " (bytes " + std::to_string(offset) + " to " +
                              std::to_string(size) + ")";
    if (nextFirst && *nextFirst > source.last + 1) {
      noteDamage(source.last + 1, *nextFirst - 1, where);
    } else {
      log("discarded the end of " + where + ": a record cut short");
    }
  }
  if (damaged) {
    if (rewrite(source, records, out, error)) return true;
    // Kept as it is: the damaged records are skipped, and told, as they are read.
    log("cannot cut the damage out of " + source.path.string() + " (" + error +
        "); it is skipped as it is read");
    error.clear();
    damaged_.resize(noted);
    source.bytes = size;
    out.push_back(std::move(source));
    return true;
  }
  source.bytes = offset;
  if (records.empty()) {
    std::error_code ec;
    fs::remove(source.path, ec);
    return true;
  }
  if (offset != size && ::ftruncate(fd, static_cast<off_t>(offset)) != 0) {
    error = errnoText("cannot repair " + source.path.string());
    return false;
  }
  out.push_back(std::move(source));
  return true;
}

// A segment file of the earlier form (no checksums) is rewritten in the current form, then read
// as any other.
bool Spool::upgrade(std::uint64_t first, std::optional<std::uint64_t> nextFirst,
                    const Segment& source, std::uint64_t size, std::vector<Segment>& out,
                    std::string& error) {
  const fs::path temporary = directory_ / "upgrade.new";
  platform::UniqueFd to(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!to || !convertLegacy(source.fd.get(), size, to.get()) || ::fsync(to.get()) != 0 ||
      ::rename(temporary.c_str(), source.path.c_str()) != 0) {
    error = errnoText("cannot convert " + source.path.string() + " to the checksummed form");
    return false;
  }
  log("converted " + source.path.string() + " to the checksummed form");
  return scan(first, nextFirst, out, error);
}

// Writes the intact records of `source` into files of consecutive sequences, each named by its
// first, and removes what is left of the damaged file. Every new file is written in full before
// any is renamed into place, so a failure (a full disk) leaves the damaged file as it was.
bool Spool::rewrite(const Segment& source,
                    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& records,
                    std::vector<Segment>& out, std::string& error) {
  std::vector<Segment> pieces;
  std::vector<fs::path> temporaries;
  auto discard = [&] {
    std::error_code ec;
    for (const fs::path& t : temporaries) fs::remove(t, ec);
    return false;
  };
  std::string bytes;
  for (std::size_t i = 0; i < records.size();) {
    Segment piece;
    const fs::path temporary =
        directory_ / ("rewrite-" + std::to_string(temporaries.size()) + ".new");
    temporaries.push_back(temporary);
    piece.fd.reset(
        ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
    if (!piece.fd) {
      error = errnoText("cannot create " + temporary.string());
      return discard();
    }
    for (; i < records.size(); ++i) {
      const auto [offset, size] = records[i];
      bytes.resize(size);
      Header header{};
      if (!readAt(source.fd.get(), bytes.data(), size, offset)) {
        error = errnoText("cannot read " + source.path.string());
        return discard();
      }
      std::memcpy(&header, bytes.data(), sizeof header);
      if (piece.bytes > 0 && header.sequence != piece.last + 1) break;
      if (piece.bytes == 0) piece.first = header.sequence;
      if (!writeAll(piece.fd.get(), bytes.data(), size)) {
        error = errnoText("cannot write " + temporary.string());
        return discard();
      }
      piece.last = header.sequence;
      piece.bytes += size;
    }
    if (::fsync(piece.fd.get()) != 0) {
      error = errnoText("cannot write " + temporary.string());
      return discard();
    }
    piece.path = directory_ / segmentName(piece.first);
    pieces.push_back(std::move(piece));
  }
  bool keptName = false;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (::rename(temporaries[i].c_str(), pieces[i].path.c_str()) != 0) {
      error = errnoText("cannot rename " + temporaries[i].string());
      return false;
    }
    keptName = keptName || pieces[i].path == source.path;
    out.push_back(std::move(pieces[i]));
  }
  std::error_code ec;
  if (!keptName) fs::remove(source.path, ec);
  return true;
}

void Spool::noteDamage(std::uint64_t first, std::uint64_t last, const std::string& where) {
  damaged_.push_back(Damage{Dropped{last >= first ? last - first + 1 : 0, first, last}, where});
}

void Spool::logDamage(const Damage& damage) {
  const Dropped& run = damage.run;
  if (run.count == 0) {
    log("skipped damaged bytes in " + damage.where + "; no record lost");
    return;
  }
  log("damaged records in " + damage.where + ": " + std::to_string(run.count) +
      " documents lost (sequences " + std::to_string(run.first) + " to " +
      std::to_string(run.last) + "); the records after them are kept");
}

bool Spool::startSegment(std::uint64_t first, std::string& error) {
  Segment segment;
  segment.first = first;
  segment.last = first - 1;
  segment.path = directory_ / segmentName(first);
  segment.fd.reset(
      ::open(segment.path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!segment.fd) {
    error = errnoText("cannot create " + segment.path.string());
    return false;
  }
  segments_.push_back(std::move(segment));
  return true;
}

bool Spool::append(const Record& record, std::string& error) {
  if (record.subject.size() > kMaxSubject || record.document.size() > UINT32_MAX) {
    error = "record " + std::to_string(record.sequence) + " is too large to spool";
    return false;
  }
  std::string bytes(sizeof(Header) + record.subject.size() + record.document.size(), '\0');
  Header header{kMarker, 0, record.sequence, static_cast<std::uint32_t>(record.subject.size()),
                static_cast<std::uint32_t>(record.document.size())};
  std::memcpy(bytes.data() + sizeof header, record.subject.data(), record.subject.size());
  std::memcpy(bytes.data() + sizeof header + record.subject.size(), record.document.data(),
              record.document.size());
  header.checksum = checksumOf(header, std::string_view(bytes).substr(sizeof header));
  std::memcpy(bytes.data(), &header, sizeof header);
  {
    std::lock_guard lock(mutex_);
    if (record.sequence <= lastAppended_) {
      error = "sequence " + std::to_string(record.sequence) + " is not above the last one";
      return false;
    }
    // Segments hold consecutive sequences, so a jump (after an unclean stop) starts a new one.
    if (segments_.empty() || segments_.back().bytes >= limits_.segmentBytes ||
        segments_.back().last + 1 != record.sequence) {
      if (!startSegment(record.sequence, error)) return false;
    }
    Segment& back = segments_.back();
    if (!writeAll(back.fd.get(), bytes.data(), bytes.size())) {
      error = errnoText("cannot write " + back.path.string());
      // Whatever part did land is cut off again so the segment stays readable.
      if (::ftruncate(back.fd.get(), static_cast<off_t>(back.bytes)) != 0) {
      }
      return false;
    }
    back.last = record.sequence;
    back.bytes += bytes.size();
    totalBytes_ += bytes.size();
    lastAppended_ = record.sequence;
    while (totalBytes_ > limits_.maxBytes && segments_.size() > 1) dropOldest();
  }
  appended_.notify_one();
  return true;
}

void Spool::dropOldest() {
  Segment& front = segments_.front();
  const std::uint64_t from = std::max(front.first, lastTaken_ + 1);
  if (front.last >= from) {
    const std::uint64_t count = front.last - from + 1;
    if (dropped_.count == 0) dropped_.first = from;
    dropped_.count += count;
    dropped_.last = front.last;
    droppedTotal_ += count;
    lastTaken_ = front.last;
    readOffset_ = 0;
  }
  totalBytes_ -= front.bytes;
  std::error_code ec;
  fs::remove(front.path, ec);
  segments_.pop_front();
}

Spool::Segment* Spool::segmentAfter(std::uint64_t sequence) {
  for (auto& segment : segments_) {
    if (segment.last > sequence) return &segment;
  }
  return nullptr;
}

std::vector<Record> Spool::take(std::size_t max, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  appended_.wait_for(lock, timeout, [&] { return woken_ || lastAppended_ > lastTaken_; });
  woken_ = false;
  std::vector<Record> records;
  while (records.size() < max) {
    Segment* segment = segmentAfter(lastTaken_);
    if (!segment) break;
    if (segment->first != readingFirst_) {
      readingFirst_ = segment->first;
      readOffset_ = 0;
    }
    if (readOffset_ >= segment->bytes) {
      // Only records at or before lastTaken_ remain here: the next segment follows.
      lastTaken_ = segment->last;
      continue;
    }
    Header header{};
    if (!readRecord(segment->fd.get(), readOffset_, segment->bytes - readOffset_, header, body_)) {
      skipDamage(*segment);
      continue;
    }
    readOffset_ += recordSize(header);
    if (header.sequence <= lastTaken_) continue;
    Record record;
    record.sequence = header.sequence;
    record.subject.assign(body_.data(), header.subjectSize);
    record.document.assign(body_.data() + header.subjectSize, header.documentSize);
    records.push_back(std::move(record));
    lastTaken_ = header.sequence;
  }
  return records;
}

// The record at readOffset_ is damaged (or unreadable): reading goes on at the next intact
// record of the segment, or after the segment, and the numbers in between are lost.
void Spool::skipDamage(Segment& segment) {
  const std::uint64_t from = readOffset_;
  const int fd = segment.fd.get();
  const std::optional<std::uint64_t> next =
      findRecord(fd, from + 1, segment.bytes, lastTaken_, body_);
  Header header{};
  std::uint64_t lastLost = segment.last;
  readOffset_ = segment.bytes;
  if (next && readRecord(fd, *next, segment.bytes - *next, header, body_)) {
    lastLost = header.sequence - 1;
    readOffset_ = *next;
  }
  noteDamage(std::max(lastTaken_ + 1, segment.first), lastLost,
             segment.path.string() + " (bytes " + std::to_string(from) + " to " +
                 std::to_string(readOffset_) + ")");
  logDamage(damaged_.back());
  lastTaken_ = std::max(lastTaken_, lastLost);
}

void Spool::acknowledge(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (sequence <= acknowledged_) return;
  acknowledged_ = sequence;
  forget(sequence);
  saveAcknowledged();
}

void Spool::forget(std::uint64_t upTo) {
  // Acknowledged records were handed out, so the reader is past these segments. The segment
  // being appended to stays until it is full.
  std::error_code ec;
  while (!segments_.empty() && segments_.front().last <= upTo &&
         (segments_.size() > 1 || segments_.front().bytes >= limits_.segmentBytes)) {
    totalBytes_ -= segments_.front().bytes;
    fs::remove(segments_.front().path, ec);
    segments_.pop_front();
  }
}

void Spool::saveAcknowledged() {
  char text[24];
  const auto [end, ec] = std::to_chars(text, text + sizeof text - 1, acknowledged_);
  *end = '\n';
  const auto size = static_cast<std::size_t>(end + 1 - text);
  // Same width or wider each time, so no stale digits can follow.
  if (::pwrite(acknowledgedFile_.get(), text, size, 0) != static_cast<ssize_t>(size)) return;
}

std::vector<Dropped> Spool::takeDamaged() {
  std::lock_guard lock(mutex_);
  std::vector<Dropped> runs;
  for (const Damage& d : damaged_) {
    if (d.run.count > 0) runs.push_back(d.run);
  }
  damaged_.clear();
  return runs;
}

Dropped Spool::takeDropped() {
  std::lock_guard lock(mutex_);
  return std::exchange(dropped_, Dropped{});
}

void Spool::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  appended_.notify_all();
}

std::uint64_t Spool::lastSequence() const {
  std::lock_guard lock(mutex_);
  return lastAppended_;
}

std::uint64_t Spool::acknowledged() const {
  std::lock_guard lock(mutex_);
  return acknowledged_;
}

std::uint64_t Spool::backlog() const {
  std::lock_guard lock(mutex_);
  return lastAppended_ - acknowledged_;
}

std::uint64_t Spool::bytes() const {
  std::lock_guard lock(mutex_);
  return totalBytes_;
}

std::uint64_t Spool::droppedTotal() const {
  std::lock_guard lock(mutex_);
  return droppedTotal_;
}

}  // namespace watchexport
