#include "platform/endpoint_security/screen_sharing/ScreenSharingSource.h"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/bpf/ScreenSharingRecords.h"
#include "platform/endpoint_security/client/BpfSupport.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/PackageIndex.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/endpoint_security/process/ProcessImage.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/endpoint_security/screen_sharing/ListeningSockets.h"
#include "platform/endpoint_security/screen_sharing/ScreenSharingServers.h"
#include "platform/log/Log.h"
#include "platform/procfs/ProcFs.h"
#include "viewers.skel.h"

namespace platform::es {
namespace {

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
}

// The kernel's encoding of a device number (major << 20 | minor).
std::uint64_t kernelDev(dev_t dev) {
  return (static_cast<std::uint64_t>(major(dev)) << 20) | minor(dev);
}

// Where the cgroup v2 hierarchy is mounted ("" when it is not): connections of every cgroup
// below it reach a program attached there.
std::string cgroup2Mount() {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    return field;  // the fifth: the mount point
  }
  return {};
}

// The graphical session a server belongs to: its login session's number (the audit session id
// that PAM and logind give a login), 0 when it has none.
es_graphical_session_id_t sessionOf(pid_t pid) {
  std::string text;
  if (readProcFile(("/proc/" + std::to_string(pid) + "/sessionid").c_str(), text) < 0) return 0;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  return value >= 0xffffffffUL ? 0 : static_cast<es_graphical_session_id_t>(value);
}

// What a document says about one viewer beside the server's process.
struct ViewerAttach {
  std::string address;
  es_address_type_t addressType = ES_ADDRESS_TYPE_NONE;
  std::string sessionUser;
  bool success = false;
  bool existingSession = false;
  es_graphical_session_id_t session = 0;
};

class ScreenSharingEvent final : public PendingEvent {
 public:
  ScreenSharingEvent(std::uint64_t monotonicNs, ProcessImage server, ViewerAttach attach)
      : PendingEvent(ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH, monotonicNs,
                     wallClockOf(monotonicNs)),
        server_(std::move(server)),
        attach_(std::move(attach)) {
    event_.success = attach_.success;
    event_.source_address_type = attach_.addressType;
    event_.existing_session = attach_.existingSession;
    event_.graphical_session_id = attach_.session;
  }

  void fill(es_message_t& message, pid_t self) override {
    view_.fill(server_, self);
    event_.source_address = tokenOf(attach_.address);
    event_.viewer_appleid = {0, nullptr};
    event_.authentication_type = {0, nullptr};
    event_.authentication_username = {0, nullptr};
    event_.session_username =
        attach_.sessionUser.empty() ? es_string_token_t{0, nullptr} : tokenOf(attach_.sessionUser);
    message.process = &view_.process;
    message.event.screensharing_attach = &event_;
  }

 private:
  ProcessImage server_;
  ViewerAttach attach_;
  es_event_screensharing_attach_t event_{};
  ProcessView view_{};
};

struct SkeletonDeleter {
  void operator()(viewers_bpf* skeleton) const { viewers_bpf::destroy(skeleton); }
};

struct LinkDeleter {
  void operator()(bpf_link* link) const { bpf_link__destroy(link); }
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
    skeleton_.reset(viewers_bpf::open_and_load());
    if (!skeleton_) {
      why = std::string("the kernel refused the programs: ") + std::strerror(errno);
      return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
    }
    ring_.reset(ring_buffer__new(bpf_map__fd(skeleton_->maps.viewers),
                                 &ScreenSharingSource::onRecord, this, nullptr));
    if (!ring_ || !attach(why)) {
      ring_.reset();
      skeleton_.reset();
      return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
    }
    return reader_.open() ? ES_NEW_CLIENT_RESULT_SUCCESS : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }

  void start(SourceContext& context) override {
    context_ = &context;
    exes_ = std::make_unique<ExecutableCache>(&context.packages);
    reader_.start("es-screen", [this] { readLoop(); });
  }

  void stop() override {
    reader_.stop();
    if (skeleton_) {
      ::bpf_prog_detach2(bpf_program__fd(skeleton_->progs.on_server_send),
                         bpf_map__fd(skeleton_->maps.watched), BPF_SK_MSG_VERDICT);
    }
    cgroupLink_.reset();
    ring_.reset();
    skeleton_.reset();
  }

 private:
  // The connection program on the whole cgroup hierarchy, the send program on the watched
  // connections.
  bool attach(std::string& why) {
    const std::string cgroups = cgroup2Mount();
    const UniqueFd root(cgroups.empty() ? -1 : ::open(cgroups.c_str(), O_RDONLY | O_DIRECTORY));
    if (!root) {
      why = "no cgroup v2 hierarchy is mounted";
      return false;
    }
    cgroupLink_.reset(bpf_program__attach_cgroup(skeleton_->progs.on_sock_ops, root.get()));
    if (!cgroupLink_ ||
        ::bpf_prog_attach(bpf_program__fd(skeleton_->progs.on_server_send),
                          bpf_map__fd(skeleton_->maps.watched), BPF_SK_MSG_VERDICT, 0) != 0) {
      why = std::string("the kernel refused to attach the programs: ") + std::strerror(errno);
      cgroupLink_.reset();
      return false;
    }
    return true;
  }

  static int onRecord(void* self, void* data, std::size_t size) {
    if (size < sizeof(watch_viewer_record)) return 0;
    watch_viewer_record record{};
    std::memcpy(&record, data, sizeof record);  // ring records are read-only
    static_cast<ScreenSharingSource*>(self)->handle(record);
    return 0;
  }

  void readLoop() {
    refreshServers();
    const int ringFd = ring_buffer__epoll_fd(ring_.get());
    for (;;) {
      pollfd ring{ringFd, POLLIN, 0};
      if (!reader_.wait({&ring, 1}, 1000)) return;
      ring_buffer__consume(ring_.get());
      checkLosses();
      if (context_->packages.generation() != packagesGeneration_) refreshServers();
    }
  }

  // Tells the kernel which files are servers, and which ports their running processes already
  // listen on (listen() calls from now on are seen in the kernel).
  void refreshServers() {
    packagesGeneration_ = context_->packages.generation();
    servers_ = findPackagedServers(*context_->packages.current());
    bpf_map* files = skeleton_->maps.servers;
    watch_file_id key{};
    while (bpf_map__get_next_key(files, nullptr, &key, sizeof key) == 0) {
      bpf_map__delete_elem(files, &key, sizeof key, 0);
    }
    for (const ScreenSharingServer& server : servers_) {
      const watch_file_id id{kernelDev(server.dev), server.ino};
      const std::uint8_t yes = 1;
      bpf_map__update_elem(files, &id, sizeof id, &yes, sizeof yes, BPF_ANY);
    }
    for (const pid_t pid : listPids()) {
      struct stat st {};
      const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
      if (::stat(exe.c_str(), &st) != 0 || !serverOfFile(servers_, st.st_dev, st.st_ino)) continue;
      for (const ListeningSocket& socket : listeningTcpSockets(pid)) {
        const watch_listener_key key{socket.netnsCookie, socket.port, 0};
        const watch_listener listener{static_cast<std::uint32_t>(pid), 0};
        bpf_map__update_elem(skeleton_->maps.listeners, &key, sizeof key, &listener,
                             sizeof listener, BPF_ANY);
      }
    }
  }

  void checkLosses() {
    const std::optional<std::uint64_t> lost = sumPerCpu(skeleton_->maps.viewers_lost);
    if (!lost) return;
    const std::uint64_t total = *lost;
    if (total <= lost_) return;
    NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
          static_cast<unsigned long long>(total - lost_));
    lost_ = total;
  }

  void handle(const watch_viewer_record& record) {
    // The server has answered: the rest of the connection is not looked at.
    bpf_map__delete_elem(skeleton_->maps.watched, &record.cookie, sizeof record.cookie, 0);
    if (record.outcome == WATCH_VIEWER_UNDECIDED) return;
    if (!context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH)) return;
    const pid_t pid = static_cast<pid_t>(record.pid);
    ProcessImage server = ProcessLookup(context_->processes, *exes_).find(pid, record.monotonic_ns);
    // The listener was a server's; the process must still be one.
    const ScreenSharingServer* known =
        server.exe ? serverOfFile(servers_, server.exe->stat.st_dev, server.exe->stat.st_ino)
                   : nullptr;
    if (known == nullptr) return;
    ViewerAttach attach;
    char text[INET6_ADDRSTRLEN] = {};
    const bool v4 = record.family == AF_INET;
    if (::inet_ntop(v4 ? AF_INET : AF_INET6, record.address, text, sizeof text) == nullptr) return;
    attach.address = text;
    attach.addressType = v4 ? ES_ADDRESS_TYPE_IPV4 : ES_ADDRESS_TYPE_IPV6;
    if (const passwd* entry = ::getpwuid(server.ruid)) attach.sessionUser = entry->pw_name;
    attach.success = record.outcome == WATCH_VIEWER_ACCEPTED;
    attach.existingSession = !known->startsSession;
    attach.session = sessionOf(pid);
    context_->sink.push(
        std::make_unique<ScreenSharingEvent>(record.monotonic_ns, std::move(server), attach));
  }

  std::unique_ptr<viewers_bpf, SkeletonDeleter> skeleton_;
  std::unique_ptr<bpf_link, LinkDeleter> cgroupLink_;
  UniqueRingBuffer ring_;
  ReaderThread reader_;
  SourceContext* context_ = nullptr;
  // Reader thread only.
  std::unique_ptr<ExecutableCache> exes_;
  std::vector<ScreenSharingServer> servers_;
  std::uint64_t packagesGeneration_ = 0;
  std::uint64_t lost_ = 0;
};

}  // namespace

std::unique_ptr<Source> makeScreenSharingSource() {
  return std::make_unique<ScreenSharingSource>();
}

}  // namespace platform::es
