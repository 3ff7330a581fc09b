// watchagent: creates its event-source client, subscribes to the twelve event kinds, serves its
// clients, and forwards every event to them as a JSON document. Reads no options or files; its
// settings come from its environment (agent/capture/Composition.h lists them). It exits non-zero
// when it cannot publish its service, and ends cleanly (socket removed, clients closed, status 0)
// on SIGTERM, SIGINT or SIGHUP.
//
// `watchagent --scan PATH` only scans PATH with the YARA rules the agent loads and prints each
// match as "<rule file stem>:<rule> PATH"; status 0 with a match, 1 without, 2 when it cannot.
#include <malloc.h>
#include <signal.h>

#include <csignal>
#include <cstring>

#include "agent/capture/Composition.h"
#include "agent/capture/Entry.h"
#include "platform/log/Log.h"

namespace {

// The ending signals are blocked before any thread exists, so every thread inherits the mask and
// only the entry's sigwait takes them. A reader that went away must not end the agent: SIGPIPE
// is ignored and the write fails with EPIPE instead.
sigset_t blockEndingSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  return ending;
}

// Large blocks (a process table's document is tens of MB) come from their own mappings and go
// back to the system when freed. Left to glibc, the first such free raises both thresholds to
// its size: later tables are then built in a thread's arena, whose top malloc_trim cannot
// return (measured: +19 MB kept after every `watchctl ps` of 5,000 4 KB paths).
void keepLargeBlocksReturnable() {
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 4 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--scan") == 0) {
    return agent::scanOnce(argv[2], agent::Options::fromEnvironment().yara);
  }
  keepLargeBlocksReturnable();
  const sigset_t ending = blockEndingSignals();
  NSLog("==== watchagent BEGIN");
  const agent::Options options = agent::Options::fromEnvironment();
  const agent::Composition machine(options);
  return agent::serveUntilSignalled(ending);
}
