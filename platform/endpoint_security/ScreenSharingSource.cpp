#include "platform/endpoint_security/ScreenSharingSource.h"

#include <arpa/inet.h>
#include <bpf/libbpf.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "accept.skel.h"
#include "platform/EventFd.h"
#include "platform/ThreadName.h"
#include "platform/UniqueFd.h"
#include "platform/endpoint_security/BpfSupport.h"
#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/ProcFs.h"
#include "platform/endpoint_security/ProcessImage.h"
#include "platform/endpoint_security/ProcessLookup.h"
#include "platform/endpoint_security/ProcessTable.h"
#include "platform/endpoint_security/bpf/ScreenSharingRecords.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
}

bool isServerExecutable(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (const std::string_view server : kScreenSharingServers) {
    if (name == server) return true;
  }
  return false;
}

// The graphical session a server belongs to: its login session's number (the audit session id
// that PAM and logind give a login), 0 when it has none.
es_graphical_session_id_t sessionOf(pid_t pid) {
  std::string text;
  if (readProcFile(("/proc/" + std::to_string(pid) + "/sessionid").c_str(), text) < 0) return 0;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  return value >= 0xffffffffUL ? 0 : static_cast<es_graphical_session_id_t>(value);
}

class ScreenSharingEvent final : public PendingEvent {
 public:
  ScreenSharingEvent(std::uint64_t monotonicNs, ProcessImage server, std::string address,
                     es_address_type_t addressType, std::string sessionUser, bool existing,
                     es_graphical_session_id_t session)
      : PendingEvent(ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH, monotonicNs,
                     wallClockOf(monotonicNs)),
        server_(std::move(server)),
        address_(std::move(address)),
        sessionUser_(std::move(sessionUser)) {
    event_.success = true;
    event_.source_address_type = addressType;
    event_.existing_session = existing;
    event_.graphical_session_id = session;
  }

  void fill(es_message_t& message, pid_t self) override {
    view_.fill(server_, self);
    event_.source_address = tokenOf(address_);
    event_.viewer_appleid = {0, nullptr};
    event_.authentication_type = {0, nullptr};
    event_.authentication_username = {0, nullptr};
    event_.session_username =
        sessionUser_.empty() ? es_string_token_t{0, nullptr} : tokenOf(sessionUser_);
    message.process = &view_.process;
    message.event.screensharing_attach = &event_;
  }

 private:
  ProcessImage server_;
  std::string address_;
  std::string sessionUser_;
  es_event_screensharing_attach_t event_{};
  ProcessView view_{};
};

struct SkeletonDeleter {
  void operator()(accept_bpf* skeleton) const { accept_bpf::destroy(skeleton); }
};

class ScreenSharingSource final : public Source {
 public:
  ~ScreenSharingSource() override { stop(); }

  std::string_view name() const override { return "screen sharing"; }
  bool produces(es_event_type_t type) const override {
    return type == ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH;
  }

  es_new_client_result_t open(std::string& why) override {
    if (const es_new_client_result_t rc = mayLoadBpf(why); rc != ES_NEW_CLIENT_RESULT_SUCCESS) {
      return rc;
    }
    quietLibbpf();
    skeleton_.reset(accept_bpf::open_and_load());
    if (!skeleton_) {
      why = std::string("the kernel refused the programs: ") + std::strerror(errno);
      return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
    }
    // The kernel compares command names, which are cut at 15 bytes.
    for (const std::string_view server : kScreenSharingServers) {
      char comm[WATCH_COMM_BYTES] = {};
      std::memcpy(comm, server.data(), std::min<std::size_t>(server.size(), WATCH_COMM_BYTES - 1));
      const std::uint8_t yes = 1;
      bpf_map__update_elem(skeleton_->maps.servers, comm, sizeof comm, &yes, sizeof yes, BPF_ANY);
    }
    ring_.reset(ring_buffer__new(bpf_map__fd(skeleton_->maps.accepts),
                                 &ScreenSharingSource::onRecord, this, nullptr));
    if (!ring_ || accept_bpf::attach(skeleton_.get()) != 0) {
      why = std::string("the kernel refused to attach the programs: ") + std::strerror(errno);
      ring_.reset();
      skeleton_.reset();
      return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
    }
    wake_ = platform::makeEventFd();
    return wake_ ? ES_NEW_CLIENT_RESULT_SUCCESS : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }

  void start(SourceContext& context) override {
    context_ = &context;
    exes_ = std::make_unique<ExecutableCache>(&context.packages);
    reader_ = std::thread([this] { readLoop(); });
  }

  void stop() override {
    platform::signalEventFd(wake_);
    if (reader_.joinable()) reader_.join();
    ring_.reset();
    skeleton_.reset();
  }

 private:
  static int onRecord(void* self, void* data, std::size_t size) {
    if (size < sizeof(watch_accept_record)) return 0;
    watch_accept_record record{};
    std::memcpy(&record, data, sizeof record);  // ring records are read-only
    static_cast<ScreenSharingSource*>(self)->handle(record);
    return 0;
  }

  void readLoop() {
    platform::nameThisThread("es-screen");
    const int ringFd = ring_buffer__epoll_fd(ring_.get());
    for (;;) {
      pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {ringFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      ring_buffer__consume(ring_.get());
      checkLosses();
    }
  }

  void checkLosses() {
    const std::optional<std::uint64_t> lost = sumPerCpu(skeleton_->maps.accepts_lost);
    if (!lost) return;
    const std::uint64_t total = *lost;
    if (total <= lost_) return;
    NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
          static_cast<unsigned long long>(total - lost_));
    lost_ = total;
  }

  void handle(const watch_accept_record& record) {
    if (!context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH)) return;
    const pid_t pid = static_cast<pid_t>(record.pid);
    ProcessImage server = ProcessLookup(context_->processes, *exes_).find(pid);
    // The kernel matched the command name only; the executable decides.
    if (!server.exe || !isServerExecutable(server.exe->path)) return;
    char text[INET6_ADDRSTRLEN] = {};
    const bool v4 = record.family == AF_INET;
    if (::inet_ntop(v4 ? AF_INET : AF_INET6, record.address, text, sizeof text) == nullptr) return;
    std::string user;
    if (const passwd* entry = ::getpwuid(server.ruid)) user = entry->pw_name;
    // x11vnc, x0vncserver, krfb, wayvnc and gnome-remote-desktop share a session that already
    // runs; Xvnc, Xtigervnc and xrdp start one for the viewer.
    const std::string& path = server.exe->path;
    const bool existing = path.find("Xvnc") == std::string::npos &&
                          path.find("Xtigervnc") == std::string::npos &&
                          path.find("xrdp") == std::string::npos;
    context_->sink.push(
        std::make_unique<ScreenSharingEvent>(record.monotonic_ns, std::move(server), text,
                                             v4 ? ES_ADDRESS_TYPE_IPV4 : ES_ADDRESS_TYPE_IPV6,
                                             std::move(user), existing, sessionOf(pid)));
  }

  std::unique_ptr<accept_bpf, SkeletonDeleter> skeleton_;
  UniqueRingBuffer ring_;
  UniqueFd wake_;
  std::thread reader_;
  SourceContext* context_ = nullptr;
  std::unique_ptr<ExecutableCache> exes_;  // reader thread only
  std::uint64_t lost_ = 0;
};

}  // namespace

std::unique_ptr<Source> makeScreenSharingSource() {
  return std::make_unique<ScreenSharingSource>();
}

}  // namespace platform::es
