// Fuzz harness: the server side of the service transport. Each input is what one client writes
// to the agent's socket (half of the inputs get a valid authentication in front, so the fuzzer
// spends its time on messages); the harness then hangs up and waits for the listener to close
// the connection. The listener must neither crash nor hang, whatever it is sent.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/log/Log.h"
#include "platform/xpc/NSXPC.h"
#include "platform/xpc/Transport.h"

namespace {

constexpr std::string_view kName = "fuzz.service";

class Answering final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  bool shouldAcceptNewConnection(NSXPCListener&, std::shared_ptr<NSXPCConnection> c) override {
    c->setExportedInterface(NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    c->setExportedObject(this);
    c->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    c->resume();
    // Every other connection is kept only as long as the transport keeps it.
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
};

struct Server {
  Server() {
    char pattern[] = "/tmp/xpc-fuzz-XXXXXX";
    root = ::mkdtemp(pattern);
    ::setenv("XPC_SERVICES_DIR", (root + "/xpc").c_str(), 1);
    path = root + "/xpc/" + std::string(kName);
    listener =
        NSXPCListener::initWithMachServiceName(kName, std::make_shared<xpc::SdBusTransport>());
    listener->setDelegate(&object);
    listener->resume();
    if (!listener->isListening()) std::abort();
  }
  std::string root;
  std::string path;
  Answering object;
  platform::log::Capture log;  // refusal lines stay out of the fuzzer's output
  std::unique_ptr<NSXPCListener> listener;
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

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, s.path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) std::abort();
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
    if (sent == bytes.size() && !shut) {
      ::shutdown(fd, SHUT_WR);
      shut = true;
    }
    pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
    if (::poll(&p, 1, 100) <= 0) continue;
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
