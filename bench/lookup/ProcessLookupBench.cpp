// What a lookup costs the source that makes it (needs root and BPF): the in-kernel process source
// runs behind one client; this thread names its own process N times, each as of the moment of
// the call, so that every lookup asks the process source to read up to then. Prints the time per
// lookup (median, 99th percentile, worst) against the table read alone, idle and while a child
// forks and execs /bin/true as fast as it can; and how many lookups ran out of time.
//
//   process_lookup [--lookups N]
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Override.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/process/ProcessTable.h"

using namespace platform::es;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
  double medianUs;
  double p99Us;
  double worstUs;
  int timedOut;
};

template <class Lookup>
Figures measure(int lookups, Lookup&& lookup) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(lookups));
  int timedOut = 0;
  for (int i = 0; i < lookups; ++i) {
    const auto began = Clock::now();
    timedOut += lookup() ? 0 : 1;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - began).count());
    ::usleep(200);  // lookups come one per event, not back to back
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100], us.back(), timedOut};
}

void print(const char* what, const Figures& f) {
  std::printf("%-44s median %7.1f us  p99 %7.1f us  worst %7.1f us  over the limit %d\n", what,
              f.medianUs, f.p99Us, f.worstUs, f.timedOut);
}

// A child that forks and execs /bin/true in a loop until killed.
pid_t startExecStorm() {
  const pid_t storm = ::fork();
  if (storm != 0) return storm;
  for (;;) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl("/bin/true", "true", nullptr);
      ::_exit(127);
    }
    ::waitpid(child, nullptr, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int lookups = 5000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--lookups") == 0) lookups = std::atoi(argv[i + 1]);
  }
  ProcessTable table;
  SourceBackendOptions options;
  options.processes = &table;
  SourceBackend backend([] { return makeBpfSource(); }, {}, options);
  platform::ScopedOverride<Backend> installed(backend);
  es_client_t* client = nullptr;
  if (es_new_client(&client, [](es_client_t*, const es_message_t*) {}) !=
      ES_NEW_CLIENT_RESULT_SUCCESS) {
    std::fprintf(stderr, "the process source did not start (root and BPF needed)\n");
    return 1;
  }
  const es_event_type_t exec = ES_EVENT_TYPE_NOTIFY_EXEC;
  es_subscribe(client, &exec, 1);
  const pid_t self = ::getpid();

  const auto tableOnly = [&] { return table.findAt(self, monotonicNow()).has_value(); };
  // What ProcessLookup::find does for a process the table knows.
  const auto caughtUp = [&] {
    const std::uint64_t at = monotonicNow();
    const bool reached = table.catchUp(at, kCatchUpLimit);
    return table.findAt(self, at).has_value() && reached;
  };
  print("idle: table read only", measure(lookups, tableOnly));
  print("idle: lookup with catch-up", measure(lookups, caughtUp));
  const pid_t storm = startExecStorm();
  ::usleep(100000);
  print("exec storm: table read only", measure(lookups, tableOnly));
  print("exec storm: lookup with catch-up", measure(lookups, caughtUp));
  ::kill(storm, SIGKILL);
  ::waitpid(storm, nullptr, 0);
  es_delete_client(client);
  return 0;
}
