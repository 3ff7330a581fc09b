#include "platform/xpc/IncomingGate.h"

#include <algorithm>
#include <cstdint>

namespace xpc {
namespace {

constexpr std::size_t kHeader = 16;

std::uint32_t readU32(std::string_view bytes, std::size_t at, bool little) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[at + (little ? i : 3 - i)]);
    value |= static_cast<std::uint32_t>(byte) << (8 * i);
  }
  return value;
}

}  // namespace

std::size_t IncomingGate::messageSize(std::string_view header) {
  if (header.size() < kHeader) return 0;
  const char endian = header[0];
  if (endian != 'l' && endian != 'B') return 0;
  const bool little = endian == 'l';
  const std::uint64_t body = readU32(header, 4, little);
  const std::uint64_t fields = readU32(header, 12, little);
  return static_cast<std::size_t>(kHeader + ((fields + 7) & ~std::uint64_t{7}) + body);
}

IncomingGate::Verdict IncomingGate::take(std::string_view bytes, std::string& out) {
  if (failed_ != Verdict::pass) return failed_;
  if (inAuth_) failed_ = takeAuth(bytes, out);
  if (failed_ == Verdict::pass && !inAuth_) failed_ = takeMessages(bytes, out);
  return failed_;
}

// Lines end in "\r\n"; the first byte of the stream is a NUL that belongs to no line.
IncomingGate::Verdict IncomingGate::takeAuth(std::string_view& bytes, std::string& out) {
  std::size_t used = 0;
  while (used < bytes.size() && inAuth_) {
    const char c = bytes[used++];
    if (++authBytes_ > kMaxAuthBytes) {
      out.append(bytes.substr(0, used - 1));
      return Verdict::tooLarge;
    }
    if (authBytes_ == 1 && c == '\0') continue;
    line_.push_back(c);
    if (line_.size() >= 2 && line_.ends_with("\r\n")) {
      inAuth_ = line_ != "BEGIN\r\n";
      line_.clear();
    }
  }
  out.append(bytes.substr(0, used));
  bytes.remove_prefix(used);
  return Verdict::pass;
}

IncomingGate::Verdict IncomingGate::takeMessages(std::string_view bytes, std::string& out) {
  while (!bytes.empty()) {
    // Complete the header first, then the message it announces.
    std::size_t want = kHeader;
    if (pending_.size() >= kHeader) {
      want = messageSize(pending_);
    }
    const std::size_t n = std::min(bytes.size(), want - pending_.size());
    pending_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    if (pending_.size() == kHeader && want == kHeader) {
      const std::size_t size = messageSize(pending_);
      if (size == 0) return Verdict::malformed;
      if (size > maxMessage_) return Verdict::tooLarge;
    }
    if (pending_.size() >= kHeader && pending_.size() == messageSize(pending_)) {
      out.append(pending_);
      pending_.clear();
    }
  }
  return Verdict::pass;
}

}  // namespace xpc
