// The launch-item storm (needs root): a child process creates N unit files in a watched folder of
// a test tree as fast as it can; this process runs the fanotify source behind one client whose
// handler converts and encodes each message as the agent does. Prints how many creations were
// reported, how long that took and this process's CPU time per fanotify event (the writer's CPU
// is the child's and not counted), or the loss the source logged.
//
//   launch_item_storm [--count N]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "agent/capture/Conversion.h"
#include "agent/model/JsonEncoding.h"
#include "platform/Override.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/launch_items/LaunchItemSource.h"
#include "platform/log/Log.h"

using namespace platform::es;
using namespace std::chrono_literals;

namespace {

class IdleProcessSource final : public Source {
 public:
  std::string_view name() const override { return "idle processes"; }
  bool produces(es_event_type_t type) const override { return type == ES_EVENT_TYPE_NOTIFY_EXEC; }
  es_new_client_result_t open(std::string&) override { return ES_NEW_CLIENT_RESULT_SUCCESS; }
  void start(SourceContext&) override {}
  void stop() override {}
};

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 10000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--count") == 0) count = std::strtoul(argv[++i], nullptr, 10);
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "launch_item_storm: needs root (fanotify)\n");
    return 2;
  }
  char dir[] = "/tmp/launch-item-storm-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string tree = dir;
  const std::string units = tree + "/etc/systemd/system";
  std::filesystem::create_directories(units);
  std::ofstream(tree + "/passwd") << "";

  platform::log::Capture capture;  // the per-event log lines, kept off the terminal
  std::atomic<std::size_t> reported{0};
  std::atomic<std::size_t> bytes{0};
  LaunchItemOptions options;
  options.root = tree;
  options.passwdFile = tree + "/passwd";
  SourceBackend backend([] { return std::make_unique<IdleProcessSource>(); },
                        {[options] { return makeLaunchItemSource(options); }});
  platform::ScopedOverride<Backend> installed(backend);
  es_client_t* client = nullptr;
  if (es_new_client(&client, [&](es_client_t*, const es_message_t* m) {
        const auto document = model::encode(agent::makeEsMessage(*m));
        bytes += document ? document->size() : 0;
        if (++reported % 1000 == 0) capture.clear();
      }) != ES_NEW_CLIENT_RESULT_SUCCESS) {
    return 1;
  }
  const es_event_type_t kinds[] = {ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD};
  es_subscribe(client, kinds, 1);

  const double cpuBefore = cpuSeconds();
  const auto began = std::chrono::steady_clock::now();
  const pid_t writer = ::fork();
  if (writer == 0) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::string path = units + "/storm-" + std::to_string(i) + ".service";
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::write(fd, "ExecStart=/bin/true\n", 20) != 20) ::_exit(1);
      ::close(fd);
    }
    ::_exit(0);
  }
  ::waitpid(writer, nullptr, 0);
  const auto written = std::chrono::steady_clock::now();
  std::size_t last = 0;
  for (int quiet = 0; reported < count && quiet < 20; quiet = reported == last ? quiet + 1 : 0) {
    last = reported;
    std::this_thread::sleep_for(100ms);
  }
  const auto done = std::chrono::steady_clock::now();
  const double cpu = cpuSeconds() - cpuBefore;
  bool lossLogged = false;
  for (const auto& line : capture.lines()) {
    if (line.find("queue overflow") != std::string::npos) {
      lossLogged = true;
      std::printf("%s\n", line.c_str());
    }
  }
  es_delete_client(client);
  std::filesystem::remove_all(tree);

  const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("creations: %zu, reported: %zu%s\n", count, reported.load(),
              reported == count ? "" : (lossLogged ? " (loss logged)" : " (LOST SILENTLY)"));
  std::printf("writer done after %.0f ms, last report after %.0f ms\n", ms(written - began),
              ms(done - began));
  std::printf(
      "agent CPU: %.3f s, %.1f us per event; %.0f bytes per document\n", cpu,
      reported ? cpu * 1e6 / static_cast<double>(reported.load()) : 0.0,
      reported ? static_cast<double>(bytes.load()) / static_cast<double>(reported.load()) : 0.0);
  return reported == count || lossLogged ? 0 : 1;
}
