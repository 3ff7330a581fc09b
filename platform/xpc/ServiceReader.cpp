#include "platform/xpc/ServiceReader.h"

#include <sys/socket.h>

#include <cerrno>
#include <span>

#include "platform/xpc/BusChannel.h"

namespace xpc {

platform::UniqueFd ServiceReader::start() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) return {};
  busInput_ = platform::UniqueFd(pair[1]);
  return platform::UniqueFd(pair[0]);
}

// Nothing more is read while bytes already read wait (for sd-bus to take them, or to process
// what it was given before them); nor once the service has gone.
short ServiceReader::inputEvents(int sdBusEvents) const {
  return waiting_ || serviceGone_ ? 0 : static_cast<short>(sdBusEvents & POLLIN);
}

bool ServiceReader::admit(BusChannel& connection, short revents) {
  if (!busInput_) return true;
  if (!serve(connection)) return false;
  for (int round = 0; round < kReadRounds && !waiting_ && !serviceGone_ &&
                      (revents & (POLLIN | POLLHUP | POLLERR));
       ++round) {
    const std::span<char> room = framer_.space(kReadChunk);
    const ssize_t n = ::recv(connection.socketFd(), room.data(), room.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      serviceGone_ = true;
      break;
    }
    framer_.filled(static_cast<std::size_t>(n));
    if (!serve(connection)) return false;
  }
  // Gone: what is left goes to sd-bus as it is (a message the service never finished included:
  // nothing more will come to complete it, and no read will bring this here again), and once
  // sd-bus has everything the service sent, it reads the end of its input and ends the connection
  // as it would have on the socket.
  if (serviceGone_ && !inputEnded_ && !serve(connection)) return false;
  if (serviceGone_ && framer_.held() == 0 && !inputEnded_) {
    ::shutdown(busInput_.get(), SHUT_WR);
    inputEnded_ = true;
  }
  return true;
}

bool ServiceReader::serve(BusChannel& connection) {
  waiting_ = false;
  for (;;) {
    ReportFramer::Piece piece = framer_.next();
    if (piece.kind == ReportFramer::Piece::Kind::none) {
      // What is left of a service that has gone is never completed: sd-bus gets it as it is.
      if (!serviceGone_ || framer_.held() == 0) return true;
      piece = {ReportFramer::Piece::Kind::forward, framer_.heldBytes(), true, {}};
    }
    if (piece.kind == ReportFramer::Piece::Kind::failed) {
      connection.close(EBADMSG);
      return false;
    }
    if (piece.kind == ReportFramer::Piece::Kind::report) {
      if (sdBusBusy_ || connection.rerunPending()) {
        waiting_ = true;
        return true;
      }
      // Otherwise (the exported object does not take it as a report) sd-bus delivers it.
      if (connection.deliverReport(piece.report)) {
        framer_.consume(piece.bytes.size());
        continue;
      }
    }
    const ssize_t n = ::send(busInput_.get(), piece.bytes.data(), piece.bytes.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      connection.close(errno);
      return false;
    }
    if (n > 0) {
      framer_.consume(static_cast<std::size_t>(n));
      sdBusBusy_ = true;
    }
    if (n < 0 || static_cast<std::size_t>(n) < piece.bytes.size()) {
      // sd-bus's end of the pair is full: it reads it when it processes, right after.
      waiting_ = true;
      return true;
    }
  }
}

}  // namespace xpc
