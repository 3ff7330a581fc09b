// watchctl: talks to the agent's service the way any client does (docs/service.md has the wire
// form). `stream` prints each event as one JSON line, `ps` the process table, `ping` checks that
// the agent answers.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/Scheduling.h"
#include "platform/WakeBatch.h"
#include "platform/xpc/NSXPC.h"
#include "platform/xpc/Transport.h"
#include "tools/watchctl/FleetCommand.h"
#include "tools/watchctl/ProcessView.h"
#include "tools/watchctl/StreamView.h"
#include "tools/watchctl/WriteLine.h"

namespace {

enum ExitCode : int {
  kOk = 0,
  kFailure = 1,
  kUsage = 2,
  kNotRunning = 3,
  kDenied = 4,
  kNoProcessTable = 5,
  kInterrupted = 130,
};

// The outcome of a command, set once from the connection's thread; the main thread waits for it
// together with the terminating signals.
class Outcome {
 public:
  Outcome() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Outcome() { ::close(event_); }
  Outcome(const Outcome&) = delete;
  Outcome& operator=(const Outcome&) = delete;

  void finish(int code, std::string message = {}) {
    {
      std::lock_guard lock(mutex_);
      if (code_) return;
      code_ = code;
      message_ = std::move(message);
    }
    notify();
  }

  void markEstablished() {
    {
      std::lock_guard lock(mutex_);
      established_ = true;
    }
    notify();
  }

  // The exit code once the command is over: kInterrupted on a signal, kFailure when `timeout`
  // passes first. With `orEstablished`, nothing as soon as the handshake is answered.
  std::optional<int> wait(int signalFd, std::optional<double> timeout, bool orEstablished) {
    using Clock = std::chrono::steady_clock;
    const auto end =
        timeout ? Clock::now() + std::chrono::duration<double>(*timeout) : Clock::time_point::max();
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (code_) return *code_;
        if (orEstablished && established_) return std::nullopt;
      }
      int ms = -1;
      if (timeout) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
          finish(kFailure, "watchctl: no answer from the agent in time");
          continue;
        }
        ms = static_cast<int>(left.count());
      }
      pollfd fds[2] = {{event_, POLLIN, 0}, {signalFd, POLLIN, 0}};
      if (::poll(fds, 2, ms) < 0 && errno != EINTR) return kFailure;
      if (fds[1].revents) return kInterrupted;
      std::uint64_t count;
      [[maybe_unused]] auto n = ::read(event_, &count, sizeof count);
    }
  }

  std::string message() const {
    std::lock_guard lock(mutex_);
    return message_;
  }

  bool established() const {
    std::lock_guard lock(mutex_);
    return established_;
  }

 private:
  void notify() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(event_, &one, sizeof one);
  }

  int event_;
  mutable std::mutex mutex_;
  std::optional<int> code_;
  bool established_ = false;
  std::string message_;
};

std::string servicePath() {
  return xpc::socketPathForService(ipc::kMachServiceName);
}

// Turns a connection or call failure into the message and exit code the user sees.
void fail(Outcome& outcome, const NSError& error) {
  switch (error.code) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
      outcome.finish(kNotRunning,
                     "watchctl: the agent is not running (nothing serves " + servicePath() + ")");
      return;
    case xpc::kUntrustedServer:
      outcome.finish(kDenied, "watchctl: " + servicePath() +
                                  " is not served by root: not trusted (impostor?)");
      return;
    case ECONNABORTED:
      if (::geteuid() == 0) {
        outcome.finish(kFailure, "watchctl: the agent refused the connection (too many clients)");
        return;
      }
      [[fallthrough]];
    case EACCES:
    case EPERM:
      outcome.finish(
          kDenied, "watchctl: access to " + servicePath() + " denied: run as root" +
                       (ipc::kAllowedClientGroup.empty()
                            ? std::string()
                            : " or as a member of group " + std::string(ipc::kAllowedClientGroup)));
      return;
    default:
      outcome.finish(kFailure, "watchctl: " + error.localizedDescription);
  }
}

// Writes each endpoint report the view keeps to standard output as one line. The lines of one
// read from the agent go out together, in one write, once the read's reports are dispatched; a
// lone report is written at once.
class LinePrinter final : public ipc::SystemExtensionsToApp {
 public:
  LinePrinter(Outcome& outcome, watchctl::StreamView& view)
      : outcome_(outcome), view_(view), header_(view.header()) {}

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    if (view_.printsEverythingAsIs()) return print(msg);
    const auto line = view_.lineFor(msg);
    if (!line) return;
    // A table's header goes just before its first row, from this thread like every row.
    if (auto header = std::exchange(header_, std::nullopt)) print(*header);
    print(*line);
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  static constexpr std::size_t kFlushBytes = 256 * 1024;

  void print(std::string_view line) {
    if (!platform::WakeBatch::open()) return written(watchctl::writeLine(line));
    if (!pending_.empty()) pending_ += '\n';
    pending_.append(line);
    if (!flushQueued_) {
      flushQueued_ = true;
      platform::WakeBatch::defer([this] {
        flushQueued_ = false;
        flush();
      });
    }
    if (pending_.size() >= kFlushBytes) flush();
  }

  void flush() {
    if (pending_.empty()) return;
    written(watchctl::writeLine(pending_));
    pending_.clear();
    if (pending_.capacity() > 4 * kFlushBytes) std::string().swap(pending_);
  }

  void written(bool ok) {
    if (ok) return;
    // The reader is gone (`| head`): that ends the stream normally.
    if (errno == EPIPE) {
      outcome_.finish(kOk);
    } else {
      outcome_.finish(kFailure, std::string("watchctl: cannot write: ") + std::strerror(errno));
    }
  }

  Outcome& outcome_;
  watchctl::StreamView& view_;
  std::optional<std::string> header_;
  std::string pending_;  // lines of the current read, joined by newlines
  bool flushQueued_ = false;
};

// `ps` and `ping` print their answer only: events the agent sends meanwhile are dropped.
class ReportDropper final : public ipc::SystemExtensionsToApp {
 public:
  void reportEndpointMessageWithMsg(const ipc::NSData&) override {}
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}
};

// Seconds to wait: a positive number of reasonable size, explained in words when not.
std::string checkTimeout(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(seconds > 0) || seconds > 86400)
    return "the timeout is a number of seconds, more than 0 and at most 86400";
  return {};
}

std::string writeOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  return std::fflush(stdout) == 0 ? std::string() : std::string(std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
  // The one setting of the environment read here: where the services' sockets are.
  auto services = xpc::ServicesDirectory::fromSetting(std::getenv("XPC_SERVICES_DIR"));
  const platform::ScopedOverride<xpc::ServicesDirectory> servicesInstalled(services);
  CLI::App app{"Command-line client of the watchagent service (" + servicePath() + ")", "watchctl"};
  app.require_subcommand(1, 1);
  // Options of watchctl itself are also taken after the subcommand (`watchctl ping --timeout 2`).
  app.fallthrough();
  double timeout = 10;
  app.add_option("--timeout", timeout,
                 "Seconds to wait for the agent's answer (ping, ps, and the stream's handshake)")
      ->check(CLI::Validator(checkTimeout, "SECONDS"))
      ->capture_default_str();
  auto* stream = app.add_subcommand(
      "stream", "Print the events the agent reports, one JSON document per line, until Ctrl-C");
  watchctl::StreamOptions streamOptions;
  stream
      ->add_option("--kind", streamOptions.kinds,
                   "Only this kind (repeatable): EXEC, exec, or its eventType number, 9")
      ->type_name("KIND");
  stream->add_option("--pid", streamOptions.pids, "Only events of this process (repeatable)");
  stream->add_option("--path", streamOptions.pathGlob,
                     "Only events whose process executable, or for an exec the program "
                     "executed, matches this glob (e.g. '/usr/bin/*')");
  stream->add_option("--user", streamOptions.user,
                     "Only events of processes running as this user (name or uid)");
  stream
      ->add_option("--format", streamOptions.format,
                   "json: each document as sent; table: one row per event (time, kind, pid, "
                   "ppid, user, executable, detail; rows cut at 200 bytes)")
      ->capture_default_str();
  auto* ps = app.add_subcommand(
      "ps", "Print the agent's process table: pid, parent, user, executable, arguments");
  std::string psFormat = "json";
  ps->add_option("--format", psFormat,
                 "json: the table as the agent sent it; table: one row per process")
      ->check(CLI::IsMember({"json", "table"}))
      ->capture_default_str();
  auto* ping = app.add_subcommand("ping", "Check that the agent answers; prints \"established\"");
  FleetCommand fleet(app);
  app.footer(
      "Exit status: 0 success, 1 failure, 2 usage, 3 agent not running, 4 access denied,\n"
      "5 the agent could not read the process table.\n"
      "XPC_SERVICES_DIR selects another directory of service sockets (default /run/xpc).");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
  }
  if (fleet.parsed()) return fleet.run();
  std::string viewError;
  watchctl::StreamView view = watchctl::StreamView::make(streamOptions, viewError);
  if (!viewError.empty()) {
    std::fprintf(stderr, "watchctl: %s\n", viewError.c_str());
    return kUsage;
  }

  // Signals are taken through a descriptor; a vanished reader shows up as EPIPE on write.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

  Outcome outcome;
  LinePrinter printer(outcome, view);
  ReportDropper dropper;
  // A stream keeps up with the agent while a storm takes the CPUs: its connection's thread,
  // started below, inherits the nice value (root only) and asks for a short slice itself.
  if (stream->parsed()) platform::runPromptly(platform::kEventPathNice);
  auto connection = NSXPCConnection::initWithMachServiceName(ipc::kMachServiceName);
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  if (stream->parsed()) {
    connection->setExportedObject(&printer);
  } else {
    connection->setExportedObject(&dropper);
  }
  // Before the handshake is answered, a failing call reports why; afterwards only the end of the
  // connection can tell that the agent went away.
  auto ended = [&outcome] {
    if (outcome.established())
      outcome.finish(kFailure, "watchctl: the agent closed the connection");
  };
  connection->setInterruptionHandler(ended);
  connection->setInvalidationHandler(ended);
  connection->resume();
  auto agent = connection->remoteObjectProxyWithErrorHandler(
      [&outcome](const NSError& error) { fail(outcome, error); });

  // The agent is asked for no more than is printed: a stream's filters, nothing at all for `ps`
  // and `ping`. Calls are answered in order, so this holds before the next call's answer.
  ipc::Subscription wanted = view.subscription();
  if (!stream->parsed()) wanted.kinds.reset();
  if (wanted != ipc::Subscription{}) {
    agent->subscribeToEventsWithFilter(
        ipc::encodeSubscription(wanted), [&outcome](const ipc::NSString& reply) {
          if (reply != ipc::kSubscribedReply)
            outcome.finish(kFailure, "watchctl: the agent refused the filter: " + reply);
        });
  }

  std::optional<int> code;
  if (ps->parsed()) {
    agent->establishConnectionAndGetProcTableWithMessage(
        "watchctl", [&outcome, &psFormat](const ipc::NSData& table) {
          if (table == ipc::kProcTableFailureReply) {
            outcome.finish(kNoProcessTable, "watchctl: the agent could not read the process table");
            return;
          }
          std::optional<std::string> rows;
          if (psFormat == "table" && !(rows = watchctl::processTableRows(table))) {
            outcome.finish(kFailure, "watchctl: the agent's answer is not a process table");
            return;
          }
          if (rows) rows->pop_back();  // writeOut ends the text
          const std::string error = writeOut(rows ? *rows : table);
          outcome.finish(error.empty() ? kOk : kFailure,
                         error.empty() ? "" : "watchctl: cannot write: " + error);
        });
    code = outcome.wait(signalFd, timeout, false);
  } else {
    const bool pingOnly = ping->parsed();
    agent->establishConnection2WithMessage(
        "watchctl", [&outcome, pingOnly](const ipc::NSString& reply) {
          if (reply != ipc::kEstablishedReply) {
            outcome.finish(kFailure, "watchctl: unexpected answer from the agent: " + reply);
            return;
          }
          if (pingOnly) {
            const std::string error = writeOut(reply);
            outcome.finish(error.empty() ? kOk : kFailure,
                           error.empty() ? "" : "watchctl: cannot write: " + error);
            return;
          }
          outcome.markEstablished();
        });
    // A stream waits for the handshake within the timeout, then for as long as it lasts.
    code = outcome.wait(signalFd, timeout, stream->parsed());
    if (!code) code = outcome.wait(signalFd, std::nullopt, false);
  }

  if (*code == kInterrupted) {
    // Ctrl-C ends a stream normally. Leave without waiting for the connection's thread, which
    // may be stuck writing to a reader that stopped reading.
    std::_Exit(stream->parsed() ? kOk : kInterrupted);
  }
  const std::string message = outcome.message();
  if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
  connection->invalidate();
  return *code;
}
