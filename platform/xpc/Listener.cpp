#include "platform/xpc/Listener.h"

#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/UnixSocket.h"
#include "platform/log/Log.h"
#include "platform/xpc/ServerRole.h"

namespace xpc {
namespace {

constexpr const char* kRejectLine = "REJECTED EXTERNAL\r\n";

bool peerPermitted(int fd, const ucred& cred, const std::optional<gid_t>& allowedGroup) {
  if (cred.uid == 0) return true;
  if (!allowedGroup) return false;
  if (cred.gid == *allowedGroup) return true;
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      break;
    }
    if (errno != ERANGE || length <= groups.size() * sizeof(gid_t)) return false;
    groups.resize(length / sizeof(gid_t));
  }
  for (gid_t gid : groups) {
    if (gid == *allowedGroup) return true;
  }
  return false;
}

}  // namespace

void serveConnection(const std::shared_ptr<Loop>& loop, const std::shared_ptr<ListenerState>& state,
                     UniqueFd connection) {
  ucred cred{};
  if (platform::peerCredentials(connection.get(), cred) < 0) return;
  if (!peerPermitted(connection.get(), cred, state->options.allowedGroup)) {
    // Tell a D-Bus client why before hanging up; the socket may already be gone.
    [[maybe_unused]] auto n =
        ::send(connection.get(), kRejectLine, std::strlen(kRejectLine), MSG_NOSIGNAL);
    state->refusals.note(RefusalLog::credentials);
    return;
  }
  if (state->live.load() >= state->options.maxConnections) {
    state->refusals.note(RefusalLog::connectionLimit);
    return;
  }
  auto channel = startServerChannel(loop, state, std::move(connection),
                                    PeerCredentials{cred.pid, cred.uid, cred.gid});
  if (!channel) return;
  state->live++;
  loop->add(std::move(channel));
}

namespace {

class SocketListener final : public Pollable {
 public:
  SocketListener(std::shared_ptr<ListenerState> state, UniqueFd fd, std::string path, dev_t dev,
                 ino_t ino, HandOver handOver)
      : state_(std::move(state)),
        fd_(std::move(fd)),
        path_(std::move(path)),
        dev_(dev),
        ino_(ino),
        handOver_(std::move(handOver)) {}

  int pollFd() const override { return fd_.get(); }
  short pollEvents() override {
    if (!fd_) return 0;
    return monotonicMicroseconds() < backoffUntil_ ? 0 : POLLIN;
  }
  std::uint64_t deadline() override {
    std::uint64_t at = backoffUntil_ > monotonicMicroseconds() ? backoffUntil_ : UINT64_MAX;
    return state_->trimAt ? std::min(at, state_->trimAt) : at;
  }

  void handle(short revents) override {
    if (state_->trimAt && state_->trimAt <= monotonicMicroseconds()) {
      state_->trimAt = 0;
      ::malloc_trim(0);
    }
    if (!fd_ || !(revents & POLLIN)) return;
    for (int i = 0; i < 64; ++i) {
      UniqueFd connection(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!connection) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors or memory: pause accepting instead of spinning on the backlog.
          backoffUntil_ = monotonicMicroseconds() + 100'000;
          if (!warned_) {
            warned_ = true;
            platform::log::write("xpc: cannot accept connections on " + path_ + ": " +
                                 std::strerror(errno));
          }
        }
        return;
      }
      warned_ = false;
      handOver_(std::move(connection));
    }
  }

  void shutdown() override {
    fd_.reset();
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
      ::unlink(path_.c_str());
    }
  }

 private:
  std::shared_ptr<ListenerState> state_;
  UniqueFd fd_;
  std::string path_;
  dev_t dev_;
  ino_t ino_;
  std::uint64_t backoffUntil_ = 0;
  bool warned_ = false;
  HandOver handOver_;
};

class SocketService final : public Service {
 public:
  SocketService(std::shared_ptr<Loop> loop, std::shared_ptr<ListenerState> state)
      : loop_(std::move(loop)), state_(std::move(state)) {}
  ~SocketService() override {
    loop_->stop();
    state_->worker.stop();  // no call runs after the listener is gone
  }

  bool adopt(UniqueFd connected) override {
    // A std::function must be copyable: the descriptor travels bare and is owned again there.
    const int fd = connected.release();
    loop_->post([loop = loop_, state = state_, fd] { serveConnection(loop, state, UniqueFd(fd)); });
    return true;
  }

 private:
  std::shared_ptr<Loop> loop_;
  std::shared_ptr<ListenerState> state_;
};

}  // namespace

std::shared_ptr<Pollable> makeSocketListener(std::shared_ptr<ListenerState> state, UniqueFd fd,
                                             std::string path, dev_t dev, ino_t ino,
                                             HandOver handOver) {
  return std::make_shared<SocketListener>(std::move(state), std::move(fd), std::move(path), dev,
                                          ino, std::move(handOver));
}

std::unique_ptr<Service> makeSocketService(std::shared_ptr<Loop> loop,
                                           std::shared_ptr<ListenerState> state) {
  return std::make_unique<SocketService>(std::move(loop), std::move(state));
}

}  // namespace xpc
