// The tail loop: an ordered consumer on the filtered subjects, each message written out as soon
// as it arrives. A reader that goes away (`| head`) ends it normally.
#include "tools/watchctl/FleetCommand.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "shared/ipc/EventKinds.h"
#include "tools/fleet/Nats.h"
#include "tools/fleet/Reader.h"
#include "tools/watchctl/WriteLine.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

// JSON string of a header value (host ids and subjects hold no characters that need escapes,
// but a foreign writer's might).
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

// The stream's kinds that are not event kinds, in any case.
std::optional<std::string_view> storedKind(std::string_view typed) {
  for (const std::string_view kind : {fleet::kNoticeKind, fleet::kUnknownKind}) {
    if (typed.size() == kind.size() && ::strncasecmp(typed.data(), kind.data(), kind.size()) == 0) {
      return kind;
    }
  }
  return std::nullopt;
}

}  // namespace

FleetCommand::FleetCommand(CLI::App& app) {
  fleet_ = app.add_subcommand("fleet", "Read the fleet's JetStream stream (see watchexport)");
  fleet_->require_subcommand(1, 1);
  tail_ = fleet_->add_subcommand(
      "tail", "Print the stored documents of every machine, one JSON document per line");
  fleet::addNatsOptions(*tail_, nats_);
  tail_->add_option("--host", host_, "Only this machine (its machine id)");
  tail_->add_option("--kind", kind_, "Only this kind: EXEC, exec, or its eventType number, 9");
  tail_->add_flag("--new", onlyNew_, "Only documents stored from now on (default: from the start)");
  tail_->add_flag("--envelope", envelope_,
                  "Wrap each document as {\"host\":...,\"epoch\":...,\"sequence\":...,"
                  "\"subject\":...,\"document\":...}; a host's documents are in the order of "
                  "(epoch, sequence)");
  tail_
      ->add_option("--idle", idleSeconds_,
                   "Stop once nothing has arrived for this many seconds (default: never)")
      ->check(CLI::PositiveNumber);
}

bool FleetCommand::parsed() const {
  return fleet_->parsed();
}

int FleetCommand::run() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, [](int) { gStop = 1; });
  std::signal(SIGTERM, [](int) { gStop = 1; });
  for (const auto* token : {&host_, &kind_}) {
    if (token->find_first_of(".*> \t") != std::string::npos) {
      std::fprintf(stderr, "watchctl: \"%s\" cannot be part of a subject\n", token->c_str());
      return 2;
    }
  }
  if (!kind_.empty()) {
    // Stored under the document's eventDesc; typed as people type kinds anywhere else.
    if (const ipc::EventKindName* kind = ipc::parseEventKind(kind_)) {
      kind_ = kind->eventDesc;
    } else if (const auto stored = storedKind(kind_)) {
      kind_ = *stored;
    } else {
      std::fprintf(stderr, "watchctl: unknown kind \"%s\" (EXEC, exec, 9, EXPORTER, ...)\n",
                   kind_.c_str());
      return 2;
    }
  }
  std::string error;
  auto link = fleet::Link::open(nats_, {}, error);
  auto reader = link ? fleet::Reader::open(*link, nats_.stream, fleet::subjectFilter(host_, kind_),
                                           onlyNew_, error)
                     : nullptr;
  if (!reader) {
    std::fprintf(stderr, "watchctl: %s\n", error.c_str());
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  auto lastArrival = Clock::now();
  while (!gStop) {
    auto message = reader->next(std::chrono::milliseconds(250), error);
    if (!error.empty()) {
      std::fprintf(stderr, "watchctl: %s\n", error.c_str());
      return 1;
    }
    if (!message) {
      const std::chrono::duration<double> idle = Clock::now() - lastArrival;
      if (idleSeconds_ && idle.count() >= *idleSeconds_) break;
      continue;
    }
    lastArrival = Clock::now();
    std::string line = envelope_ ? R"({"host":)" + jsonString(message->host) + R"(,"epoch":)" +
                                       std::to_string(message->epoch) + R"(,"sequence":)" +
                                       std::to_string(message->sequence) + R"(,"subject":)" +
                                       jsonString(message->subject) + R"(,"document":)" +
                                       message->document + "}"
                                 : std::move(message->document);
    if (!watchctl::writeLine(line)) return errno == EPIPE ? 0 : 1;
  }
  return 0;
}
