// One watchexport into a three-node JetStream cluster with three replicas, all on this machine:
// documents/s carried end to end (from the agent's broadcast to the stream's acknowledgement)
// and the exporter's CPU time per document, for several publish windows. Needs root (the agent's
// service admits root only) and nats-server.
//
//   bench_export [--documents N] [--rate R]
//
// The stand-in agent broadcasts N documents at R per second (default 30,000: more than the
// cluster stores, so the spool takes up the difference); the figure is N over the time until
// the last is stored.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/export/ExportFixture.h"

namespace {

using namespace export_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Messages the stream holds.
std::uint64_t stored(fleet::Link& link) {
  jsStreamInfo* info = nullptr;
  jsErrCode code{};
  if (js_GetStreamInfo(&info, link.jetStream(), "CORVANE_EVENTS", nullptr, &code) != NATS_OK) {
    return 0;
  }
  const std::uint64_t messages = info->State.Msgs;
  jsStreamInfo_Destroy(info);
  return messages;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::uint64_t documents = 100000;
  double rate = 30000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--documents") == 0)
      documents = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rate") == 0) rate = std::strtod(argv[i + 1], nullptr);
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "bench_export: needs root (the agent's service admits root only)\n");
    return 1;
  }
  TempDir dir;
  NatsCluster cluster(dir.path() / "cluster");
  if (!cluster.startAll()) {
    std::fprintf(stderr, "bench_export: nats-server did not start\n%s", cluster.log(0).c_str());
    return 1;
  }
  const std::string error = cluster.createStream(60s);
  if (!error.empty()) {
    std::fprintf(stderr, "bench_export: %s\n", error.c_str());
    return 1;
  }
  fleet::NatsSettings settings;
  settings.servers = cluster.urls();
  std::string linkError;
  auto link = fleet::Link::open(settings, {}, linkError);
  if (!link) {
    std::fprintf(stderr, "bench_export: %s\n", linkError.c_str());
    return 1;
  }

  const fs::path services = dir.path() / "xpc";
  StormAgent agent(services);
  std::printf(
      "one exporter, 3-node cluster, 3 replicas, file storage, loopback; %llu FORK "
      "documents of %zu bytes broadcast at %.0f/s\n",
      static_cast<unsigned long long>(documents), StormAgent::documentSize(), rate);
  std::printf("%12s %14s %18s\n", "window", "documents/s", "exporter CPU/doc");
  for (const int window : {1, 32, 256, 1024}) {
    // Waiting for each acknowledgement in turn is slow: fewer documents for the smallest window.
    const std::uint64_t count = window == 1 ? std::min<std::uint64_t>(documents, 5000) : documents;
    const std::string host = "bench-" + std::to_string(window);
    ExporterProcess exporter(EXPORTER_PATH,
                             {"--server", cluster.urlList(), "--host-id", host, "--state-dir",
                              (dir.path() / host).string(), "--max-pending", std::to_string(window),
                              "--spool-size", "2048"},
                             services, dir.path() / (host + ".log"));
    const std::uint64_t before = stored(*link) + 1;  // and the exporter's start notice
    exporter.start();
    if (!agent.waitForClients(1, 10s)) {
      std::fprintf(stderr, "bench_export: the exporter did not connect\n");
      return 1;
    }
    while (stored(*link) < before) std::this_thread::sleep_for(10ms);
    const double cpuBefore = cpuSeconds(exporter.pid());
    const auto start = Clock::now();
    agent.startStorm(0, rate, count);
    agent.wait();
    // Until all are stored, or nothing more arrives for 3 s: the agent disconnects a client
    // that falls 16 MiB behind, and the exporter then logs a gap instead.
    std::uint64_t last = stored(*link);
    auto lastProgress = Clock::now();
    while (last < before + agent.sent() && Clock::now() - lastProgress < 3s) {
      std::this_thread::sleep_for(2ms);
      const std::uint64_t now = stored(*link);
      if (now != last) lastProgress = Clock::now();
      last = now;
    }
    const double seconds = std::chrono::duration<double>(lastProgress - start).count();
    const double cpu = cpuSeconds(exporter.pid()) - cpuBefore;
    const auto carried = static_cast<double>(last - before);
    std::printf("%12d %14.0f %15.1f us", window, carried / seconds, 1e6 * cpu / carried);
    if (last - before < agent.sent()) {
      std::printf("  (only %.0f of %llu: the agent dropped the slow exporter; gap logged)", carried,
                  static_cast<unsigned long long>(agent.sent()));
    }
    std::printf("\n");
    std::fflush(stdout);
    exporter.stop();
    agent.waitForClients(0, 5s);
  }
  return 0;
}
