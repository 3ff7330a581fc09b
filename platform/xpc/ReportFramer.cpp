#include "platform/xpc/ReportFramer.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/xpc/IncomingGate.h"

namespace xpc {
namespace {

constexpr std::size_t kHeader = 16;
constexpr std::uint8_t kMethodCall = 1;
constexpr std::uint8_t kNoReplyExpected = 1;

std::size_t align(std::size_t at, std::size_t alignment) {
  return (at + alignment - 1) / alignment * alignment;
}

std::uint32_t readU32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i])) << (8 * i);
  }
  return value;
}

bool zeros(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

// sd-bus refuses a string argument that is not UTF-8 (or holds a NUL); such a message stays its.
bool plainUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    if ((c & 0xe0) == 0xc0) {
      length = 2;
      code = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      length = 3;
      code = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

// The whole message `m` as a report, when it is one; every offset is checked against its size.
std::optional<ReportFramer::Report> parseReport(std::string_view m) {
  const std::size_t fieldsEnd = kHeader + readU32(m, 12);
  const std::size_t bodyStart = align(fieldsEnd, 8);
  if (readU32(m, 8) == 0) return std::nullopt;  // sd-bus fails the connection on serial 0
  ReportFramer::Report report;
  bool seen[10] = {};
  std::string_view path;
  std::size_t at = kHeader;
  while (at < fieldsEnd) {
    // A field: its code, a one-type signature, the value aligned for that type.
    if (at + 4 > fieldsEnd) return std::nullopt;
    const auto code = static_cast<std::uint8_t>(m[at]);
    const char type = m[at + 2];
    if (m[at + 1] != 1 || m[at + 3] != '\0') return std::nullopt;
    if (code >= std::size(seen) || seen[code]) return std::nullopt;
    seen[code] = true;
    at += 4;
    std::string_view value;
    if (type == 'g') {
      if (at + 1 > fieldsEnd) return std::nullopt;
      const std::size_t length = static_cast<std::uint8_t>(m[at]);
      at += 1;
      if (length + 1 > fieldsEnd - at) return std::nullopt;
      value = m.substr(at, length);
      at += length;
    } else if (type == 's' || type == 'o') {
      const std::size_t lengthAt = align(at, 4);
      if (lengthAt + 4 > fieldsEnd || !zeros(m.substr(at, lengthAt - at))) return std::nullopt;
      const std::size_t length = readU32(m, lengthAt);
      at = lengthAt + 4;
      if (length + 1 > fieldsEnd - at) return std::nullopt;
      value = m.substr(at, length);
      at += length;
    } else {
      return std::nullopt;
    }
    if (m[at] != '\0' || value.find('\0') != std::string_view::npos) return std::nullopt;
    at += 1;
    const char expected[] = {0, 'o', 's', 's', 0, 0, 's', 's', 'g', 0};
    if (type != expected[code]) return std::nullopt;
    if (code == 1) path = value;
    if (code == 2) report.interface = value;
    if (code == 3) report.member = value;
    if (code == 8) report.signature = value;
    // The next field starts 8-aligned; the padding is zeros.
    const std::size_t nextField = std::min(align(at, 8), fieldsEnd);
    if (!zeros(m.substr(at, nextField - at))) return std::nullopt;
    at = nextField;
  }
  if (!seen[1] || !seen[2] || !seen[3] || !seen[8] || path != "/") return std::nullopt;
  if (bodyStart > m.size() || !zeros(m.substr(fieldsEnd, bodyStart - fieldsEnd))) {
    return std::nullopt;
  }
  const std::string_view body = m.substr(bodyStart);
  if (body.size() < 4) return std::nullopt;
  const std::size_t length = readU32(body, 0);
  if (report.signature == "ay") {
    if (length != body.size() - 4) return std::nullopt;
    report.argument = body.substr(4);
  } else if (report.signature == "s") {
    if (length != body.size() - 5 || body.back() != '\0') return std::nullopt;
    report.argument = body.substr(4, length);
    if (!plainUtf8(report.argument)) return std::nullopt;
  } else {
    return std::nullopt;
  }
  return report;
}

}  // namespace

void ReportFramer::take(std::string_view bytes) {
  const std::span<char> room = space(bytes.size());
  std::copy(bytes.begin(), bytes.end(), room.begin());
  filled(bytes.size());
}

std::span<char> ReportFramer::space(std::size_t n) {
  compact();
  if (size_ + n > capacity_) {
    const std::size_t capacity = std::max(size_ + n, capacity_ * 2);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    std::copy(buffer_.get() + at_, buffer_.get() + size_, grown.get());
    buffer_ = std::move(grown);
    capacity_ = capacity;
    size_ -= at_;
    at_ = 0;
  }
  return {buffer_.get() + size_, n};
}

void ReportFramer::filled(std::size_t n) {
  size_ += n;
}

// What was consumed is dropped once it is all of what is held, or at least half of it and much.
void ReportFramer::compact() {
  if (at_ == size_) {
    at_ = size_ = 0;
  } else if (at_ >= 64 * 1024 && at_ * 2 >= size_) {
    std::copy(buffer_.get() + at_, buffer_.get() + size_, buffer_.get());
    size_ -= at_;
    at_ = 0;
  }
}

ReportFramer::Piece ReportFramer::next() const {
  const std::string_view bytes = heldBytes();
  if (bytes.empty()) return {};
  if (inAuth_) {
    // A line at a time, so that the end of the authentication is seen where it is.
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) return {Piece::Kind::forward, bytes, false, {}};
    return {Piece::Kind::forward, bytes.substr(0, end + 1), true, {}};
  }
  if (messageLeft_ > 0) {
    const std::size_t n = std::min(bytes.size(), messageLeft_);
    return {Piece::Kind::forward, bytes.substr(0, n), n == messageLeft_, {}};
  }
  return atMessageStart(bytes);
}

ReportFramer::Piece ReportFramer::atMessageStart(std::string_view bytes) const {
  if (bytes.size() < kHeader) return {};
  const std::size_t size = IncomingGate::messageSize(bytes);
  if (size == 0 || size > maxMessage_) return {Piece::Kind::failed, {}, false, {}};
  const auto type = static_cast<std::uint8_t>(bytes[1]);
  const auto flags = static_cast<std::uint8_t>(bytes[2]);
  const bool mayBeReport = bytes[0] == 'l' && type == kMethodCall && (flags & kNoReplyExpected) &&
                           bytes[3] == 1 && size <= maxReport_ &&
                           readU32(bytes, 12) <= kMaxReportFields;
  if (mayBeReport) {
    if (bytes.size() < size) return {};
    const std::string_view message = bytes.substr(0, size);
    if (const auto report = parseReport(message)) {
      return {Piece::Kind::report, message, true, *report};
    }
  }
  const std::size_t n = std::min(bytes.size(), size);
  return {Piece::Kind::forward, bytes.substr(0, n), n == size, {}};
}

void ReportFramer::consume(std::size_t n) {
  const std::string_view bytes = heldBytes().substr(0, n);
  if (inAuth_) {
    consumeAuth(bytes);
  } else if (!bytes.empty()) {
    if (messageLeft_ == 0) messageLeft_ = IncomingGate::messageSize(heldBytes());
    messageLeft_ -= std::min(messageLeft_, bytes.size());
  }
  at_ += bytes.size();
}

// The service's lines end in "\r\n"; the one starting "OK" ends the authentication (file
// descriptors are not negotiated, so no line follows it).
void ReportFramer::consumeAuth(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n' && lineSawCr_) {
      inAuth_ = !(lineStart_.starts_with("OK ") || lineStart_.starts_with("OK\r"));
      lineStart_.clear();
      lineSawCr_ = false;
      continue;
    }
    lineSawCr_ = c == '\r';
    if (lineStart_.size() < 3) lineStart_.push_back(c);
  }
}

}  // namespace xpc
