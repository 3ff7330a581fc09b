// Notices are small JSON documents of their own kind. Their times are Unix times (seconds since
// 1970) and say so in their names ("...UnixTime"): the agent's documents count their "time" from
// 2001, and the two must not be taken for each other.
#include "tools/watchexport/Exporter.h"

#include <cstdio>

#include "platform/log/Log.h"
#include "tools/watchexport/Subject.h"

namespace watchexport {

namespace {

void log(const std::string& line) {
  platform::log::write("watchexport: " + line);
}

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A message for a JSON string: quotes and backslashes escaped, control characters left out.
std::string jsonEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

Exporter::Exporter(Spool& spool, SequenceFile& sequence, std::string host)
    : spool_(spool),
      sequenceFile_(sequence),
      host_(std::move(host)),
      next_(std::max(sequence.resumeAt(), spool.lastSequence() + 1)) {}

std::uint64_t Exporter::nextSequence() const {
  std::lock_guard lock(mutex_);
  return next_;
}

void Exporter::agentConnected() {
  std::string notice;
  {
    std::lock_guard lock(mutex_);
    const std::string after = std::to_string(next_ - 1);
    const std::string at = number(now());
    if (!everConnected_) {
      log("connected to the agent; what it reported before this exporter started (after "
          "sequence " +
          after + ") is unknown");
      notice = R"({"notice":"gap","cause":"exporter started","afterSequence":)" + after +
               R"(,"connectedUnixTime":)" + at + "}";
    } else {
      log("gap: connected to the agent again; what it reported since the connection was lost "
          "(after sequence " +
          after + ") is unknown");
      notice = R"({"notice":"gap","cause":"agent connection lost","afterSequence":)" + after +
               R"(,"lostUnixTime":)" + number(lostAt_.value_or(0)) + R"(,"connectedUnixTime":)" +
               at + "}";
    }
    everConnected_ = true;
  }
  append(kNoticeKind, notice);
}

void Exporter::agentLost() {
  {
    std::lock_guard lock(mutex_);
    lostAt_ = now();
  }
  log("lost the agent; what it reports until the connection is back cannot be known");
}

void Exporter::documentArrived(const ipc::NSData& document) {
  append(kindToken(document), document);
}

void Exporter::append(std::string_view kind, const std::string& document) {
  {
    std::lock_guard lock(mutex_);
    std::string error;
    if (!store(kind, document, error)) {
      // The document is lost, and its number with it: a gap the next notice explains.
      if (unspooled_.count == 0) {
        log("cannot spool documents (" + error + "); each one lost leaves a gap in the sequence");
        unspooled_.first = next_;
        unspooledCause_ = error;
      }
      ++unspooled_.count;
      unspooled_.last = next_++;
      return;
    }
    noteUnspooled();
  }
  noteDropped();
}

bool Exporter::store(std::string_view kind, const std::string& document, std::string& error) {
  Record record{next_, subjectFor(host_, kind), document};
  if (!sequenceFile_.use(next_, error) || !spool_.append(record, error)) return false;
  ++next_;
  return true;
}

// Called with the lock held, once the spool takes documents again.
void Exporter::noteUnspooled() {
  if (unspooled_.count == 0) return;
  const std::string count = std::to_string(unspooled_.count);
  const std::string notice = R"({"notice":"unspooled","count":)" + count + R"(,"firstSequence":)" +
                             std::to_string(unspooled_.first) + R"(,"lastSequence":)" +
                             std::to_string(unspooled_.last) + R"(,"cause":")" +
                             jsonEscaped(unspooledCause_) + R"("})";
  std::string error;
  if (!store(kNoticeKind, notice, error)) return;  // told with the next one
  log("spooling documents again; " + count + " documents could not be spooled (sequences " +
      std::to_string(unspooled_.first) + " to " + std::to_string(unspooled_.last) + ")");
  unspooled_ = Dropped{};
}

void Exporter::noteDropped() {
  for (const Dropped& damaged : spool_.takeDamaged()) {
    append(kNoticeKind, R"({"notice":"damaged","count":)" + std::to_string(damaged.count) +
                            R"(,"firstSequence":)" + std::to_string(damaged.first) +
                            R"(,"lastSequence":)" + std::to_string(damaged.last) + "}");
  }
  const Dropped dropped = spool_.takeDropped();
  if (dropped.count == 0) return;
  const std::string count = std::to_string(dropped.count);
  log("spool full: dropped the " + count + " oldest unpublished documents (sequences " +
      std::to_string(dropped.first) + " to " + std::to_string(dropped.last) + ")");
  // A later drop may take this notice with it; the newest notice always survives, and its
  // running total counts everything dropped since the spool was opened.
  append(kNoticeKind, R"({"notice":"dropped","count":)" + count + R"(,"firstSequence":)" +
                          std::to_string(dropped.first) + R"(,"lastSequence":)" +
                          std::to_string(dropped.last) + R"(,"droppedTotal":)" +
                          std::to_string(spool_.droppedTotal()) + "}");
}

}  // namespace watchexport
