// What a client may write to the agent's service, checked before sd-bus reads any of it: the
// authentication lines (bounded in total), then whole D-Bus messages, none larger than the
// protocol needs. sd-bus sizes its read buffer from a message's header, so a client announcing a
// huge message and sending it slowly would otherwise hold that much of the agent's memory.
//
// A plain part: it is fed the bytes as they arrive and hands on what may pass.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xpc {

class IncomingGate {
 public:
  enum class Verdict {
    pass,       // everything taken so far is fine
    tooLarge,   // a message (or the authentication) is larger than allowed
    malformed,  // not a D-Bus message header
  };

  // Bytes of the authentication lines a client may send before BEGIN.
  static constexpr std::size_t kMaxAuthBytes = 2048;

  explicit IncomingGate(std::size_t maxMessage) : maxMessage_(maxMessage) {}

  // Takes bytes read from the peer and appends to `out` those that may be handed on: the
  // authentication bytes at once, each message once it is complete. After a verdict other than
  // pass the connection must end; nothing more is taken.
  Verdict take(std::string_view bytes, std::string& out);

  // The client has sent BEGIN: D-Bus messages follow.
  bool authenticated() const { return !inAuth_; }
  // Bytes of an incomplete message held here.
  std::size_t held() const { return pending_.size(); }

  // The full size of the message whose first 16 bytes are `header`; 0 when they are not a
  // D-Bus message header.
  static std::size_t messageSize(std::string_view header);

 private:
  Verdict takeAuth(std::string_view& bytes, std::string& out);
  Verdict takeMessages(std::string_view bytes, std::string& out);

  const std::size_t maxMessage_;
  Verdict failed_ = Verdict::pass;
  bool inAuth_ = true;
  std::size_t authBytes_ = 0;
  std::string line_;     // the authentication line being read
  std::string pending_;  // an incomplete message
};

}  // namespace xpc
