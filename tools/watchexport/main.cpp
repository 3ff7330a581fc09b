// watchexport: sends every document of this machine's agent to a NATS JetStream stream, in
// order and once, surviving outages of the servers and restarts of the agent or of itself.
// `watchexport create-stream` defines the stream the exporters write to.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/xpc/Transport.h"
#include "shared/ipc/EventKinds.h"
#include "tools/fleet/Nats.h"
#include "tools/watchexport/AgentFollower.h"
#include "tools/watchexport/Epoch.h"
#include "tools/watchexport/Exporter.h"
#include "tools/watchexport/Publisher.h"
#include "tools/watchexport/SequenceFile.h"
#include "tools/watchexport/Spool.h"
#include "tools/watchexport/Subject.h"

namespace {

namespace fs = std::filesystem;
using namespace watchexport;

struct Options {
  fleet::NatsSettings nats;
  std::string host;
  fs::path stateDir = "/var/lib/watchexport";
  std::uint64_t spoolMiB = 256;
  std::size_t maxPending = 256;
  int ackWaitMs = 5000;
  fleet::StreamDefinition stream;
  ipc::Subscription subscription;  // every kind unless --kind is given
};

std::string machineId() {
  std::ifstream in("/etc/machine-id");
  std::string id;
  in >> id;
  return id;
}

int createStream(const Options& options) {
  std::string error;
  auto link = fleet::Link::open(options.nats, {}, error);
  if (!link) {
    std::fprintf(stderr, "watchexport: %s\n", error.c_str());
    return 1;
  }
  fleet::StreamDefinition definition = options.stream;
  definition.name = options.nats.stream;
  error = fleet::createStream(*link, definition);
  if (!error.empty()) {
    std::fprintf(stderr, "watchexport: cannot create stream %s: %s\n", definition.name.c_str(),
                 error.c_str());
    return 1;
  }
  std::printf("stream %s: subjects %.*s.>, %d replicas, limits retention, file storage\n",
              definition.name.c_str(), static_cast<int>(fleet::kSubjectPrefix.size()),
              fleet::kSubjectPrefix.data(), definition.replicas);
  return 0;
}

int run(const Options& options) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::error_code ec;
  fs::create_directories(options.stateDir, ec);
  fs::permissions(options.stateDir, fs::perms::owner_all, ec);
  std::string replaced;
  const auto epoch = loadOrCreateEpoch(options.stateDir / "epoch", replaced, error);
  if (!replaced.empty()) platform::log::write("watchexport: " + replaced);
  auto sequence = epoch ? SequenceFile::open(options.stateDir / "sequence", error) : nullptr;
  Spool::Limits limits;
  limits.maxBytes = options.spoolMiB << 20;
  limits.segmentBytes = std::max<std::uint64_t>(limits.maxBytes / 16, 64 << 10);
  // Every number used is below resumeAt; a new sequence file knows of none.
  const auto lastUsed = sequence && sequence->resumeAt() > 1
                            ? std::optional<std::uint64_t>(sequence->resumeAt() - 1)
                            : std::nullopt;
  auto spool =
      sequence ? Spool::open(options.stateDir / "spool", limits, error, lastUsed) : nullptr;
  if (!spool) {
    platform::log::write("watchexport: " + error);
    return 1;
  }
  if (!sequence->previousRunClean()) {
    platform::log::write(
        "watchexport: the previous run did not stop cleanly; sequence numbers "
        "resume at " +
        std::to_string(sequence->resumeAt()));
  }
  if (spool->backlog() > 0) {
    platform::log::write("watchexport: " + std::to_string(spool->backlog()) +
                         " spooled documents from the previous run will be sent first");
  }

  Publisher publisher(*spool, {options.host, *epoch, options.maxPending,
                               std::chrono::milliseconds(options.ackWaitMs)});
  if (!publisher.start(options.nats, error)) {
    platform::log::write("watchexport: " + error);
    return 1;
  }
  Exporter exporter(*spool, *sequence, options.host);
  AgentFollower follower(exporter, options.subscription);
  follower.start();
  platform::log::write("watchexport: exporting as host " + options.host + " (exporter epoch " +
                       std::to_string(*epoch) + ") to stream " + options.nats.stream);

  int received = 0;
  sigwait(&signals, &received);
  follower.stop();
  publisher.stop();
  const auto counters = publisher.counters();
  if (!sequence->close(exporter.nextSequence(), error))
    platform::log::write("watchexport: " + error);
  platform::log::write("watchexport: stopped; " + std::to_string(counters.stored) +
                       " documents stored this run (" + std::to_string(counters.duplicates) +
                       " of them resends the stream already had), " +
                       std::to_string(spool->backlog()) + " left in the spool");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The one setting of the environment read here: where the services' sockets are.
  auto services = xpc::ServicesDirectory::fromSetting(std::getenv("XPC_SERVICES_DIR"));
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  Options options;
  CLI::App app{
      "Sends every event document of this machine's watchagent to a NATS JetStream stream "
      "(subject corvane.events.<host>.<eventDesc>), spooling to disk while no server answers.",
      "watchexport"};
  fleet::addNatsOptions(app, options.nats);
  app.add_option("--host-id", options.host,
                 "This machine's id in subjects and message ids (default: /etc/machine-id)");
  app.add_option("--state-dir", options.stateDir, "Sequence number and spool")
      ->capture_default_str();
  app.add_option("--spool-size", options.spoolMiB,
                 "Spool limit in MiB; when full, the oldest unpublished documents are dropped")
      ->check(CLI::Range(1, 1 << 20))
      ->capture_default_str();
  app.add_option("--max-pending", options.maxPending,
                 "Publishes awaiting their acknowledgement at once")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  app.add_option("--ack-wait", options.ackWaitMs, "Milliseconds to wait for an acknowledgement")
      ->check(CLI::Range(100, 600000))
      ->capture_default_str();
  std::vector<std::string> kinds;
  app.add_option("--kind", kinds,
                 "Export only this kind (repeatable): EXEC, exec, or its eventType number, 9; "
                 "default: every kind")
      ->type_name("KIND")
      ->check(CLI::Validator(
          [](const std::string& kind) {
            return ipc::parseEventKind(kind) ? std::string()
                                             : "unknown event kind \"" + kind + "\"";
          },
          "KIND"));
  auto* create = app.add_subcommand("create-stream",
                                    "Create the stream (or update it to these settings) and exit");
  // The connection options stay the program's own, given before or after the subcommand.
  create->fallthrough();
  create->add_option("--replicas", options.stream.replicas, "Copies of each message")
      ->check(CLI::Range(1, 5))
      ->capture_default_str();
  create->add_option("--max-age", options.stream.maxAgeSeconds, "Seconds a message is kept")
      ->capture_default_str();
  create->add_option("--max-bytes", options.stream.maxBytes, "Stream size limit (-1: none)")
      ->capture_default_str();
  create
      ->add_option("--duplicate-window", options.stream.duplicateWindowSeconds,
                   "Seconds a message id is remembered to drop resends")
      ->capture_default_str();
  app.require_subcommand(0, 1);
  app.footer(
      "XPC_SERVICES_DIR selects another directory of service sockets (default /run/xpc).\n"
      "Exit status: 0 stopped by a signal or stream created, 1 failure, 2 usage.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (create->parsed()) return createStream(options);
  if (!kinds.empty()) {
    options.subscription.kinds.reset();
    for (const std::string& kind : kinds)
      options.subscription.kinds.set(ipc::eventKindIndex(ipc::parseEventKind(kind)->eventType));
  }

  if (options.host.empty()) options.host = machineId();
  if (!isToken(options.host)) {
    std::fprintf(stderr, "watchexport: the host id \"%s\" cannot be a subject token\n",
                 options.host.c_str());
    return 2;
  }
  return run(options);
}
