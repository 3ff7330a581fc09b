// Fuzz harness: the server side of the service transport. Each input is what one client writes
// into a socket pair whose other end the listener serves as an accepted connection (half of the
// inputs get a valid authentication in front, so the fuzzer spends its time on messages); the
// harness then hangs up and waits for the listener to close the connection. The listener must
// neither crash nor hang, whatever it is sent.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/xpc/NSXPC.h"
#include "platform/xpc/Transport.h"

namespace {

constexpr std::string_view kName = "fuzz.service";

// Keeps each connection it accepts until the connection ends, as the agent does.
class Answering final : public ipc::AppToSystemExtensions {
 public:
  bool accept(const std::shared_ptr<NSXPCConnection>& c) {
    c->setExportedInterface(NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    c->setExportedObject(this);
    c->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    c->setInvalidationHandler([this, weak = std::weak_ptr<NSXPCConnection>(c)] {
      std::shared_ptr<NSXPCConnection> gone;  // released after the lock
      std::lock_guard lock(mutex_);
      if (auto strong = weak.lock(); strong && open_.erase(strong)) gone = strong;
    });
    {
      std::lock_guard lock(mutex_);
      open_.insert(c);
    }
    c->resume();
    return true;
  }
  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override {
    reply(message);
  }
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) override {
    reply(std::string(1000, 't'));
  }
  void subscribeToEventsWithFilter(const ipc::NSString&,
                                   std::function<void(const ipc::NSString&)> reply) override {
    reply(std::string(ipc::kSubscribedReply));
  }

 private:
  std::mutex mutex_;
  std::set<std::shared_ptr<NSXPCConnection>> open_;
};

struct Server {
  Server() {
    char pattern[] = "/tmp/xpc-fuzz-XXXXXX";
    root = ::mkdtemp(pattern);
    // The listener takes its socket's path when it starts.
    xpc::ServicesDirectory services{root + "/xpc"};
    platform::ScopedOverride<xpc::ServicesDirectory> installed(services);
    service = std::make_shared<xpc::SdBusTransport>()->listen(
        kName, [this](const std::shared_ptr<xpc::Channel>& channel) {
          return object.accept(std::make_shared<NSXPCConnection>(channel));
        });
    if (!service) std::abort();
  }
  std::string root;
  Answering object;
  platform::log::Capture log;  // refusal lines stay out of the fuzzer's output
  std::unique_ptr<xpc::Service> service;
};

Server& server() {
  static Server* s = new Server();  // lives for the process: the loop thread uses it
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Server& s = server();
  s.log.clear();
  std::string bytes;
  if (size > 0 && (data[0] & 1)) bytes = std::string(1, '\0') + "AUTH EXTERNAL 30\r\nBEGIN\r\n";
  if (size > 0) bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) std::abort();
  const int fd = pair[0];
  s.service->adopt(platform::UniqueFd(pair[1]));
  // Write and read at once: the listener may answer (or hang up) before taking everything.
  std::size_t sent = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool shut = false;
  char buffer[4096];
  for (;;) {
    if (std::chrono::steady_clock::now() > end) {
      std::fprintf(stderr, "the listener did not close the connection\n");
      std::abort();
    }
    pollfd p{fd, static_cast<short>(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
    // Once all is sent, hang up after a quiet millisecond, so that answers given on the
    // listener's worker come back first.
    const int ready = ::poll(&p, 1, sent == bytes.size() && !shut ? 1 : 100);
    if (ready == 0 && sent == bytes.size() && !shut) {
      ::shutdown(fd, SHUT_WR);
      shut = true;
    }
    if (ready <= 0) continue;
    if (p.revents & POLLOUT) {
      const ssize_t n =
          ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) sent = bytes.size();  // the listener hung up
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
  }
  ::close(fd);
  return 0;
}
