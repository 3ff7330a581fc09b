// What a service writes to our client connection, framed before sd-bus sees it: the service's
// authentication lines, then whole D-Bus messages, each either a report (a one-way call with one
// argument, which may be handed to the exported object directly, without sd-bus reading and
// parsing it) or anything else, which sd-bus reads as it is.
//
// sd-bus reads each message with two system calls and never past it; the client reads its socket
// in large chunks instead and gives sd-bus only what is not a report.
//
// A plain part: it is given bytes, shows the piece at the front and is told how much of it was
// handled. Views it hands out stay valid until the next take() or space().
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace xpc {

class ReportFramer {
 public:
  // A one-way method call at path "/" with one argument and no reply expected.
  struct Report {
    std::string_view interface;
    std::string_view member;
    std::string_view signature;  // "ay" or "s"
    std::string_view argument;   // the bytes of the array, or the string without its NUL
  };

  struct Piece {
    enum class Kind {
      none,     // more bytes are needed
      forward,  // bytes sd-bus must read as they are
      report,   // a whole report: `bytes` is the message, `report` its parts
      failed,   // the stream cannot be framed (not a message, or one too large): end it
    };
    Kind kind = Kind::none;
    std::string_view bytes;
    // forward: these bytes end an authentication line or a message.
    bool ends = false;
    Report report;
  };

  // Header fields a report may have; a message with more is never one.
  static constexpr std::size_t kMaxReportFields = 512;

  // `maxMessage`: the largest message the stream may carry. `maxReport`: the largest one held
  // whole to be handed over as a report; a larger one goes to sd-bus as it arrives.
  ReportFramer(std::size_t maxMessage, std::size_t maxReport)
      : maxMessage_(maxMessage), maxReport_(maxReport) {}

  void take(std::string_view bytes);
  // Room for `n` more bytes, to be read into directly and then counted with filled().
  std::span<char> space(std::size_t n);
  void filled(std::size_t n);

  // The piece at the front (a forward piece may be the part of a message received so far).
  Piece next() const;
  // `n` bytes of the front piece were handled (at most its size). Part of a report handled means
  // the rest of the message is forwarded.
  void consume(std::size_t n);

  // The authentication is over: messages follow.
  bool authenticated() const { return !inAuth_; }
  // Bytes taken and not handled yet.
  std::size_t held() const { return size_ - at_; }
  std::string_view heldBytes() const { return {buffer_.get() + at_, size_ - at_}; }

 private:
  Piece atMessageStart(std::string_view bytes) const;
  void consumeAuth(std::string_view bytes);
  void compact();

  const std::size_t maxMessage_;
  const std::size_t maxReport_;
  // Not a std::string: space() hands out room that is read into without being cleared first.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t at_ = 0;  // the front of what is held

  bool inAuth_ = true;
  std::string lineStart_;  // the first bytes of the authentication line being read
  bool lineSawCr_ = false;

  std::size_t messageLeft_ = 0;  // bytes of the message being forwarded, when one has started
};

}  // namespace xpc
