// Segment files of records: a 16-byte header (sequence, subject length, document length, in the
// machine's byte order) followed by the subject and the document. The acknowledged sequence is
// kept in the file "acknowledged" beside the segments.
#include "tools/watchexport/Spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace watchexport {

namespace fs = std::filesystem;

namespace {

struct Header {
  std::uint64_t sequence;
  std::uint32_t subjectSize;
  std::uint32_t documentSize;
};
static_assert(sizeof(Header) == 16);

constexpr std::string_view kSuffix = ".spool";

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
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

std::string segmentName(std::uint64_t first) {
  std::string digits = std::to_string(first);
  return std::string(20 - digits.size(), '0') + digits + std::string(kSuffix);
}

}  // namespace

Spool::Spool(fs::path directory, Limits limits)
    : directory_(std::move(directory)), limits_(limits) {}

std::unique_ptr<Spool> Spool::open(const fs::path& directory, Limits limits, std::string& error) {
  std::unique_ptr<Spool> spool(new Spool(directory, limits));
  if (!spool->load(error)) return nullptr;
  return spool;
}

bool Spool::load(std::string& error) {
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
  for (const auto first : firsts) {
    Segment segment;
    segment.first = first;
    segment.last = first - 1;
    segment.path = directory_ / segmentName(first);
    segment.fd.reset(::open(segment.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (!segment.fd || !scan(segment, error)) {
      if (error.empty()) error = errnoText("cannot open " + segment.path.string());
      return false;
    }
    if (segment.last < segment.first || segment.last <= acknowledged_) {
      fs::remove(segment.path, ec);
      continue;
    }
    totalBytes_ += segment.bytes;
    lastAppended_ = std::max(lastAppended_, segment.last);
    segments_.push_back(std::move(segment));
  }
  lastAppended_ = std::max(lastAppended_, acknowledged_);
  lastTaken_ = acknowledged_;
  return true;
}

// Finds the segment's last whole record and cuts off anything after it.
bool Spool::scan(Segment& segment, std::string& error) {
  struct stat st {};
  if (::fstat(segment.fd.get(), &st) != 0) {
    error = errnoText("cannot read " + segment.path.string());
    return false;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t offset = 0;
  Header header{};
  while (offset + sizeof header <= size &&
         readAt(segment.fd.get(), reinterpret_cast<char*>(&header), sizeof header, offset)) {
    const std::uint64_t end = offset + sizeof header + header.subjectSize + header.documentSize;
    if (end > size || header.sequence != segment.last + 1) break;
    segment.last = header.sequence;
    offset = end;
  }
  segment.bytes = offset;
  if (offset != size && ::ftruncate(segment.fd.get(), static_cast<off_t>(offset)) != 0) {
    error = errnoText("cannot repair " + segment.path.string());
    return false;
  }
  return true;
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
  std::string bytes(sizeof(Header) + record.subject.size() + record.document.size(), '\0');
  const Header header{record.sequence, static_cast<std::uint32_t>(record.subject.size()),
                      static_cast<std::uint32_t>(record.document.size())};
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, record.subject.data(), record.subject.size());
  std::memcpy(bytes.data() + sizeof header + record.subject.size(), record.document.data(),
              record.document.size());
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
  std::string chunk;
  while (records.size() < max) {
    Segment* segment = segmentAfter(lastTaken_);
    if (!segment) break;
    if (lastTaken_ + 1 <= segment->first) readOffset_ = 0;
    if (readOffset_ >= segment->bytes) {
      // Only records at or before lastTaken_ remain here: the next segment follows.
      lastTaken_ = segment->last;
      readOffset_ = 0;
      continue;
    }
    const std::uint64_t want = std::min<std::uint64_t>(segment->bytes - readOffset_, 1 << 20);
    chunk.resize(want);
    if (!readAt(segment->fd.get(), chunk.data(), want, readOffset_)) break;
    std::size_t at = 0;
    while (records.size() < max && at + sizeof(Header) <= chunk.size()) {
      Header header;
      std::memcpy(&header, chunk.data() + at, sizeof header);
      const std::size_t size = sizeof header + header.subjectSize + header.documentSize;
      if (at + size > chunk.size()) {
        if (at != 0) break;  // read again from its own start
        // One record larger than a chunk.
        chunk.resize(size);
        if (!readAt(segment->fd.get(), chunk.data(), size, readOffset_)) return records;
      }
      if (header.sequence > lastTaken_) {
        Record record;
        record.sequence = header.sequence;
        record.subject.assign(chunk.data() + at + sizeof header, header.subjectSize);
        record.document.assign(chunk.data() + at + sizeof header + header.subjectSize,
                               header.documentSize);
        records.push_back(std::move(record));
        lastTaken_ = header.sequence;
      }
      at += size;
    }
    readOffset_ += at;
    if (at == 0) break;
  }
  return records;
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
