// D-Bus peer-to-peer over Unix stream sockets with sd-bus, no bus daemon.
//
// Wire mapping: each side's exported object lives at path "/"; the interface name is the
// application's bundle identifier, a dot and the protocol name; members are the selectors' first
// keywords with their signatures from shared/ipc/Protocols.h. Reports are method calls sent with
// no reply expected. The listening side answers org.freedesktop.DBus.Hello so that clients made
// for a bus (busctl) can talk to it.
//
// One loop thread serves a listener and its connections (or one client connection); sd-bus
// objects are touched on that thread only. Other threads hand work over through Loop::run/post
// and through each connection's outgoing queue, which is bounded in bytes.
//
// The pieces: the listening socket (Listener.h) accepts and hands each socket over;
// serveConnection() checks the peer and the connection limit and makes it a connection. Each
// connection end is a BusChannel (BusChannel.h) with one role (ConnectionRole.h): on the
// listener's side a ServerRole, whose gate (IncomingGate) the client's input passes before sd-bus
// reads it and whose reply-bearing calls run on the listener's CallWorker; on ours a ClientRole,
// which connects and keeps the calls awaiting replies. A connection's life is one state; sd-bus
// and the report writer (ReportWriter.h, with the figures that chose the batched one) take turns
// on its socket through SocketTurn. sd-bus objects are owned through SdBusRef. Refusals are
// counted by the listener's RefusalLog.
// This file publishes services and opens connections.

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/UnixSocket.h"
#include "platform/log/Log.h"
#include "platform/xpc/ClientRole.h"
#include "platform/xpc/Listener.h"
#include "platform/xpc/ListenerState.h"
#include "platform/xpc/Loop.h"
#include "platform/xpc/Transport.h"

namespace xpc {
namespace {

std::mutex gUmaskMutex;

void logListenFailure(std::string_view name, const std::string& path, int error) {
  platform::log::write("xpc: cannot publish " + std::string(name) + " at " + path + ": " +
                       std::strerror(error));
}

// Makes the services directory when it is missing: 0755, whatever the umask. One that exists
// must be a directory that only root (or, for a listener not run as root, its own user) can
// change: anyone else able to write there could put an impostor's socket in our place.
int ensureDirectory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) == 0) {
    if (::chmod(dir.c_str(), 0755) < 0) return -errno;
  } else if (errno != EEXIST) {
    return -errno;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) < 0) return -errno;
  if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    platform::log::write("xpc: " + dir + " is owned by uid " + std::to_string(st.st_uid) +
                         ", not root: refused");
    return -EPERM;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    platform::log::write("xpc: " + dir + " is writable by group or others: refused");
    return -EPERM;
  }
  return 0;
}

}  // namespace

std::optional<gid_t> SdBusTransport::defaultAllowedGroup() {
  if (ipc::kAllowedClientGroup.empty()) return std::nullopt;
  const std::string name(ipc::kAllowedClientGroup);
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (!found) return std::nullopt;
  return found->gr_gid;
}

std::unique_ptr<Service> SdBusTransport::listen(std::string_view name, AcceptHandler accept) {
  const std::string path = socketPathForService(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    logListenFailure(name, path, path.empty() ? EINVAL : ENAMETOOLONG);
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  int r = ensureDirectory(servicesDirectory());
  // A socket file left by a listener that is gone is replaced; a live listener's is not.
  if (r == 0) r = platform::removeStaleSocket(path);
  if (r < 0) {
    logListenFailure(name, path, -r);
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    logListenFailure(name, path, errno);
    return nullptr;
  }
  {
    // The socket file is 0600 from the moment it exists (a socket's mode is 0777 less the
    // umask, so 077 alone would leave 0700).
    std::lock_guard lock(gUmaskMutex);
    const mode_t previous = ::umask(0177);
    r = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::umask(previous);
    if (r < 0) {
      logListenFailure(name, path, error);
      return nullptr;
    }
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) < 0 || ::listen(fd.get(), SOMAXCONN) < 0) {
    const int error = errno;
    ::unlink(path.c_str());
    logListenFailure(name, path, error);
    return nullptr;
  }
  if (options_.allowedGroup) {
    if (::chown(path.c_str(), static_cast<uid_t>(-1), *options_.allowedGroup) < 0 ||
        ::chmod(path.c_str(), 0660) < 0) {
      platform::log::write("xpc: " + path + " stays root-only: " + std::strerror(errno));
    }
  }

  auto loop = Loop::create();
  if (!loop) {
    const int error = errno;
    ::unlink(path.c_str());
    logListenFailure(name, path, error);
    return nullptr;
  }
  auto state = std::make_shared<ListenerState>(path);
  state->accept = std::move(accept);
  state->options = options_;
  loop->add(makeSocketListener(state, std::move(fd), path, st.st_dev, st.st_ino,
                               [loop = std::weak_ptr<Loop>(loop), state](UniqueFd c) {
                                 if (auto l = loop.lock()) serveConnection(l, state, std::move(c));
                               }));
  loop->start();
  return makeSocketService(std::move(loop), std::move(state));
}

namespace {
// A client channel that could not even get a thread; every use fails.
class DeadChannel final : public Channel {
 public:
  explicit DeadChannel(int error) : error_(error) {}
  void resume() override {
    if (markResumed()) fireInvalidation();
  }
  void invalidate() override { fireInvalidation(); }
  void release() override { dropHandlers(); }

 protected:
  void doSend(const ipc::ProtocolMethod&, Payload, SharedErrorHandler onError) override {
    reportError(std::move(onError), makeError(error_, "The report could not be sent"));
  }
  void doCall(const ipc::ProtocolMethod&, const std::string&, ReplyHandler,
              SharedErrorHandler onError) override {
    reportError(std::move(onError), makeError(error_, "The call could not be made"));
  }
  void reportError(SharedErrorHandler onError, NSError error) override {
    if (onError && *onError) (*onError)(error);
  }

 private:
  int error_;
};
}  // namespace

std::shared_ptr<Channel> SdBusTransport::connect(std::string_view name) {
  auto loop = Loop::create();
  if (!loop) return std::make_shared<DeadChannel>(errno);
  return makeClientChannel(std::move(loop), socketPathForService(name), options_);
}

}  // namespace xpc
