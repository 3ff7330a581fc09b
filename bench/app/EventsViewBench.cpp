// How the Events screen keeps up with a fast agent. A stand-in agent in a child process streams
// made-up documents of several kinds over the real transport: first 10,000 a second for ten
// seconds while the window's repaints are timed, then on at that rate until a million have been
// sent; then the application's resident memory is read. Also times the status check that runs
// when the window is shown, against the serving stand-in.
//
//   app_events_view_bench [SECONDS_AT_10K] [TOTAL_DOCUMENTS]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/install/AgentStatusProbe.h"
#include "app/ipc/EventFeed.h"
#include "app/screenshots/SampleAgent.h"
#include "app/views/EventsView.h"
#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// The child: serves the name, waits for the application, then sends at the given rates.
[[noreturn]] void streamer(double seconds, long total) {
  app::sample::SampleAgent agent{std::string(ipc::kMachServiceName)};
  std::vector<std::string> documents;
  for (std::size_t n = 0; n < 700; ++n) documents.push_back(app::sample::eventDocument(n));
  while (agent.clients() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long sent = 0;
  const auto send = [&](long count, long perSecond) {
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) {
      agent.broadcast(documents[static_cast<std::size_t>(sent++) % documents.size()]);
      if (i % 100 == 99) {
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds((i + 1) * 1000000 / perSecond));
      }
    }
  };
  const long first = static_cast<long>(seconds * 10000);
  auto started = Clock::now();
  send(first, 10000);
  std::printf("stand-in agent: sent %ld documents in %.2f s\n", first,
              std::chrono::duration<double>(Clock::now() - started).count());
  started = Clock::now();
  send(std::max(0L, total - first), 10000);
  std::printf("stand-in agent: sent %ld more in %.2f s\n", std::max(0L, total - first),
              std::chrono::duration<double>(Clock::now() - started).count());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(600));  // until the parent ends us
  std::_Exit(0);
}

class PaintClock : public QObject {
 public:
  std::vector<double> stamps;  // ms
  QElapsedTimer timer;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint)
      stamps.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    return false;
  }
};

void run(QApplication& application, int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) application.processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const long total = argc > 2 ? std::atol(argv[2]) : 1000000;
  QTemporaryDir services;
  // Installed before the fork: the streaming child serves where the application looks.
  xpc::ServicesDirectory servicesDirectory{services.path().toStdString()};
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(servicesDirectory);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  const pid_t child = ::fork();
  if (child == 0) streamer(seconds, total);

  QApplication application(argc, argv);
  {
    // What one document costs the receiving thread: its columns and its packed copy.
    std::vector<QByteArray> documents;
    for (std::size_t n = 0; n < 700; ++n)
      documents.push_back(QByteArray::fromStdString(app::sample::eventDocument(n)));
    QElapsedTimer timer;
    timer.start();
    qint64 sink = 0;
    for (int round = 0; round < 20; ++round)
      for (const QByteArray& document : documents) sink += app::eventRowFromDocument(document)->pid;
    std::printf("conversion: %.1f us per document (%lld bytes each on average)%s\n",
                static_cast<double>(timer.nsecsElapsed()) / 1e3 / (20.0 * 700),
                static_cast<long long>(documents[0].size()), sink ? "" : " ");
  }
  const std::string service(ipc::kMachServiceName);
  // Wait until the stand-in serves, then time the status check the window runs when shown.
  const std::string socket = services.path().toStdString() + "/" + service;
  while (::access(socket.c_str(), F_OK) != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    app::AgentStatusProbe probe(service);
    QElapsedTimer timer;
    timer.start();
    probe.check();
    while (app::ProgramStatus::shared().agentStatus() !=
               app::ProgramStatus::AgentInstalledStatus::WatchagentActive &&
           timer.elapsed() < 5000)
      application.processEvents(QEventLoop::AllEvents, 1);
    std::printf("status check: \"%s\" after %.1f ms\n",
                std::string(app::displayText(app::ProgramStatus::shared().agentStatus())).c_str(),
                static_cast<double>(timer.nsecsElapsed()) / 1e6);
    run(application, 50);
  }

  app::EventMonitor monitor(service);
  app::EventsView view(monitor);
  view.resize(1100, 760);
  view.show();
  PaintClock paints;
  paints.timer.start();
  view.table()->viewport()->installEventFilter(&paints);
  const long baseline = residentKiB();

  // Phase 1: 10,000 documents a second.
  while (monitor.received() == 0) application.processEvents(QEventLoop::AllEvents, 5);
  paints.stamps.clear();
  const auto firstCount = monitor.received();
  run(application, static_cast<int>(seconds * 1000));
  const auto phaseCount = monitor.received() - firstCount;
  std::vector<double> gaps;
  for (std::size_t i = 1; i < paints.stamps.size(); ++i)
    gaps.push_back(paints.stamps[i] - paints.stamps[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  const auto at = [&](double q) {
    return gaps.empty()
               ? 0.0
               : gaps[std::min(gaps.size() - 1, static_cast<std::size_t>(q * gaps.size()))];
  };
  std::printf("stream: %.0f documents/s received over %.1f s\n",
              static_cast<double>(phaseCount) / seconds, seconds);
  std::printf(
      "repaints of the table: %.1f per second; interval p50 %.1f ms, p95 %.1f ms, max %.1f ms\n",
      static_cast<double>(paints.stamps.size()) / seconds, at(0.5), at(0.95),
      gaps.empty() ? 0.0 : gaps.back());

  // Phase 2: on to the total.
  QElapsedTimer waited;
  waited.start();
  std::uint64_t last = 0;
  QElapsedTimer idle;
  idle.start();
  while (monitor.received() < static_cast<std::uint64_t>(total) && idle.elapsed() < 5000) {
    run(application, 100);
    if (monitor.received() != last) {
      last = monitor.received();
      idle.restart();
    }
  }
  run(application, 300);
  std::printf("after %llu documents (%d rows kept, %s): RSS %.1f MB (%.1f MB before the stream)\n",
              static_cast<unsigned long long>(monitor.received()), monitor.model().rowCount(),
              app::EventFeed::State::live == monitor.feed().state() ? "still live" : "not live",
              static_cast<double>(residentKiB()) / 1024.0, static_cast<double>(baseline) / 1024.0);

  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  return monitor.received() >= static_cast<std::uint64_t>(total) ? 0 : 1;
}
