// What the exporter's tests and benchmark run against: a three-node nats-server JetStream
// cluster on loopback ports (servers can be killed and started again on the same ports and
// storage), a stand-in agent that serves the real service protocol (the agent's own service
// class) and broadcasts numbered documents at a chosen rate, the watchexport program as a child
// process, and a reader of one host's messages.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"
#include "tools/fleet/Reader.h"

namespace agent {
class IPCForAgent;
}

namespace export_test {

namespace fs = std::filesystem;

using TempDir = test_support::TempDir;

class NatsCluster {
 public:
  static constexpr int kSize = 3;

  explicit NatsCluster(const fs::path& directory);
  ~NatsCluster();
  NatsCluster(const NatsCluster&) = delete;
  NatsCluster& operator=(const NatsCluster&) = delete;

  // Starts server `i` (again), and waits until it accepts clients.
  bool start(int i);
  // SIGKILL, as a crash or a cut cable would leave it.
  void kill(int i);
  bool startAll();
  // What server `i` wrote to its log.
  std::string log(int i) const;
  // Creates the stream with three replicas, retrying while the cluster elects its leaders.
  // Returns the last error, or nothing.
  std::string createStream(std::chrono::seconds timeout);

  std::vector<std::string> urls() const;
  std::string urlList() const;  // comma-separated

 private:
  fs::path directory_;
  int clientPorts_[kSize];
  int routePorts_[kSize];
  pid_t pids_[kSize] = {-1, -1, -1};
};

// The agent's service on the services directory given, broadcasting documents of kind FORK
// whose process.pid is a running number.
class StormAgent {
 public:
  // Serves under `servicesDir`.
  explicit StormAgent(const fs::path& servicesDir);
  ~StormAgent();

  // Waits until exactly `clients` clients are connected.
  bool waitForClients(std::size_t clients, std::chrono::milliseconds timeout);
  // Broadcasts documents numbered first, first+1, ... at `perSecond` on a thread of its own
  // until stop() or `limit` documents; returns at once.
  void startStorm(std::uint64_t first, double perSecond,
                  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());
  // Waits for a storm with a limit to end; returns the next number it would have sent.
  std::uint64_t wait();
  // Ends the storm; returns the next number it would have sent.
  std::uint64_t stop();
  std::uint64_t sent() const { return next_.load(); }
  // One document with number `n`, sent now.
  void send(std::uint64_t n);
  // The size of a storm document as the agent encodes it.
  static std::size_t documentSize();

 private:
  std::unique_ptr<agent::IPCForAgent> agent_;
  std::atomic<std::uint64_t> next_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// watchexport as a child process; its log goes to `log`.
class ExporterProcess {
 public:
  ExporterProcess(fs::path binary, std::vector<std::string> arguments, fs::path servicesDir,
                  fs::path log);
  ~ExporterProcess();
  void start();
  // SIGTERM (a clean stop) or SIGKILL; waits for the end. Returns the exit status.
  int stop(bool kill = false);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::vector<std::string> logLines() const;

 private:
  fs::path binary_;
  std::vector<std::string> arguments_;
  fs::path servicesDir_;
  fs::path log_;
  pid_t pid_ = -1;
};

// The messages stored for `host`, read until `documents` of them are not exporter notices and
// nothing more arrives for `settle`, or until `timeout`.
std::vector<fleet::FleetMessage> readHost(const std::vector<std::string>& urls,
                                          const std::string& host, std::size_t documents,
                                          std::chrono::seconds timeout,
                                          std::chrono::milliseconds settle);

// The number a storm document carries, or -1 for anything else (notices).
std::int64_t stormNumber(const fleet::FleetMessage& message);

}  // namespace export_test
