// Stands in for the agent in the installer's tests: serves a Unix socket named like the agent's
// service under $XPC_SERVICES_DIR until SIGTERM, then removes it. No event source, no D-Bus.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main() {
  const char* directory = std::getenv("XPC_SERVICES_DIR");
  if (!directory) {
    std::fprintf(stderr, "fake agent: XPC_SERVICES_DIR is not set\n");
    return 255;
  }
  const std::string path = std::string(directory) + "/" + FAKE_AGENT_SERVICE_NAME;
  ::mkdir(directory, 0755);
  ::unlink(path.c_str());

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = ::signalfd(-1, &stop, SFD_CLOEXEC);

  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      ::listen(listener, 16) < 0) {
    std::perror("fake agent: bind");
    return 255;
  }
  std::printf("fake agent serving %s\n", path.c_str());
  std::fflush(stdout);
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;
    if (fds[0].revents) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) ::close(client);
    }
  }
  ::unlink(path.c_str());
  return 0;
}
