#include "platform/endpoint_security/yara/YaraSource.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/FileSightings.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/malware/MalwareEvent.h"
#include "platform/endpoint_security/yara/YaraRules.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

using Clock = std::chrono::steady_clock;

// What makes a file the same file for scanning: once scanned under a rule set, a file with the
// same identity is not scanned again.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& f) const {
    std::size_t h = 0;
    for (const std::uint64_t v :
         {static_cast<std::uint64_t>(f.dev), static_cast<std::uint64_t>(f.ino),
          static_cast<std::uint64_t>(f.size), static_cast<std::uint64_t>(f.mtimeNs),
          static_cast<std::uint64_t>(f.ctimeNs)}) {
      h ^= std::hash<std::uint64_t>()(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    return h;
  }
};

std::int64_t nsOf(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileIdentity identityOf(const es_stat_t& st) {
  return {st.st_dev, st.st_ino, st.st_size, nsOf(st.st_mtimespec), nsOf(st.st_ctimespec)};
}

FileIdentity identityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, nsOf(st.st_mtim), nsOf(st.st_ctim)};
}

// A set bounded in size: emptied when full (what was forgotten is only scanned again).
class IdentitySet {
 public:
  explicit IdentitySet(std::size_t capacity) : capacity_(capacity) {}
  // Whether `identity` was not in the set; it is from now on.
  bool insert(const FileIdentity& identity) {
    if (set_.size() >= capacity_) set_.clear();
    return set_.insert(identity).second;
  }
  void erase(const FileIdentity& identity) { set_.erase(identity); }
  void clear() { set_.clear(); }

 private:
  const std::size_t capacity_;
  std::unordered_set<FileIdentity, FileIdentityHash> set_;
};

// A file to scan and the process a detection names.
struct Sighting {
  ProcessImage process;
  std::string path;
  std::optional<FileIdentity> identity;  // as the exec saw it; none: as found when opened
  std::vector<std::string> scripts;      // what an interpreter may have been started for
};

// The arguments that may name the script of a "#!" exec. For such an exec the kernel makes the
// interpreter line's path argv[0] and puts the script's path as the caller gave it after the
// line's optional argument: argv[1] or argv[2]. A shell passes a command's name as typed, so an
// absolute argv[0] is the sign worth a look; the worker reads the file's first bytes to be sure.
std::vector<std::string> scriptCandidates(const std::shared_ptr<const std::string>& args) {
  std::vector<std::string> argv;
  if (!args) return {};
  for (std::size_t at = 0; at < args->size() && argv.size() < 3;) {
    const std::size_t end = std::min(args->find('\0', at), args->size());
    argv.push_back(args->substr(at, end - at));
    at = end + 1;
  }
  if (argv.size() < 2 || argv[0].empty() || argv[0][0] != '/') return {};
  std::vector<std::string> candidates;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i].find('/') != std::string::npos && argv[i][0] != '-') candidates.push_back(argv[i]);
  }
  return candidates;
}

// Counts of one interval.
struct Counts {
  std::uint64_t scanned = 0;
  std::uint64_t detections = 0;
  std::uint64_t tooLarge = 0;
  std::uint64_t timedOut = 0;
  std::uint64_t unreadable = 0;  // gone, changed since it ran, or refused by libyara
  std::uint64_t dropped = 0;     // the queue was full
  bool any() const { return scanned + tooLarge + timedOut + unreadable + dropped > 0; }
};

class YaraSource final : public Source, public FileObserver {
 public:
  explicit YaraSource(YaraOptions options) : options_(std::move(options)) {}
  ~YaraSource() override { stop(); }

  std::string_view name() const override { return "YARA rules"; }
  bool produces(es_event_type_t type) const override {
    return type == ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED;
  }

  es_new_client_result_t open(std::string& why) override {
    struct stat st {};
    if (::stat(options_.rulesFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      why = "no rules folder " + options_.rulesFolder;
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    const bool wakeable = thread_.open();
    inotify_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!wakeable || !inotify_) {
      why = std::string("eventfd or inotify: ") + std::strerror(errno);
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    constexpr std::uint32_t kChanges = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                       IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    if (::inotify_add_watch(inotify_.get(), options_.rulesFolder.c_str(), kChanges) < 0) {
      why = "cannot watch " + options_.rulesFolder + ": " + std::strerror(errno);
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    reload();
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }

  void start(SourceContext& context) override {
    context_ = &context;
    thread_.start("es-yara", [this] { run(); });
    context.sightings.add(this);
  }

  void stop() override {
    if (!thread_.running()) return;
    context_->sightings.remove(this);
    thread_.stop();
  }

  // The process source's thread: a first sighting of an executable is queued, and an exec that
  // may have started a script.
  void executed(const ProcessImage& process) override {
    if (!process.exe) return;
    std::vector<std::string> scripts = scriptCandidates(process.args);
    const FileIdentity identity = identityOf(process.exe->stat);
    std::lock_guard lock(mutex_);
    if (!armed_) return;
    const bool fresh = seen_.insert(identity);
    if (!fresh && scripts.empty()) return;
    if (!enqueue({process, fresh ? process.exe->path : std::string(),
                  fresh ? std::optional(identity) : std::nullopt, std::move(scripts)})) {
      if (fresh) seen_.erase(identity);  // tried again at its next exec
    }
  }

  // The launch-item source's thread.
  void written(const std::string& path, const ProcessImage& writer) override {
    std::lock_guard lock(mutex_);
    if (armed_) enqueue({writer, path, std::nullopt, {}});
  }

 private:
  // Holds mutex_.
  bool enqueue(Sighting sighting) {
    if (queue_.size() >= options_.queueCapacity) {
      ++dropped_;
      return false;
    }
    queue_.push_back(std::move(sighting));
    thread_.wake();
    return true;
  }

  void run() {
    // Linux gives each thread its own nice value: only the scanning yields to everything else.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), options_.niceness);
    Clock::time_point nextReport = Clock::now() + options_.reportInterval;
    constexpr Clock::time_point kNoReload = Clock::time_point::max();
    Clock::time_point reloadAt = kNoReload;  // the folder changed: compile again then
    for (;;) {
      const Clock::time_point due = std::min(reloadAt, nextReport);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
      pollfd folder{inotify_.get(), POLLIN, 0};
      if (!thread_.wait({&folder, 1},
                        static_cast<int>(std::max<std::int64_t>(0, wait.count()) + 1))) {
        break;
      }
      if ((folder.revents & POLLIN) != 0) {
        drainInotify();
        reloadAt = Clock::now() + options_.reloadQuiet;
      }
      if (reloadAt != kNoReload && Clock::now() >= reloadAt) {
        reloadAt = kNoReload;
        reload();
      }
      while (!thread_.stopping() && reloadAt == kNoReload) {
        std::optional<Sighting> next = pop();
        if (!next) break;
        scan(*next);
      }
      if (Clock::now() >= nextReport) {
        report();
        nextReport = Clock::now() + options_.reportInterval;
      }
    }
    report();
  }

  void drainInotify() {
    alignas(inotify_event) char buffer[4096];
    while (::read(inotify_.get(), buffer, sizeof buffer) > 0) {
    }
  }

  std::optional<Sighting> pop() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    Sighting next = std::move(queue_.front());
    queue_.pop_front();
    return next;
  }

  // Compiles the folder's rules; a new version makes every file eligible again.
  void reload() {
    std::vector<std::string> problems;
    std::shared_ptr<const YaraRules> loaded = YaraRules::load(options_.rulesFolder, problems);
    for (const std::string& problem : problems) {
      NSLog("EndpointSecurity: source YARA rules: %s, skipped", problem.c_str());
    }
    if (rules_ && rules_->version() == loaded->version()) return;
    NSLog("EndpointSecurity: source YARA rules: %zu rules from %zu files in %s, version %s",
          loaded->ruleCount(), loaded->fileCount(), options_.rulesFolder.c_str(),
          loaded->version().c_str());
    rules_ = std::move(loaded);
    scanned_.clear();
    std::lock_guard lock(mutex_);
    seen_.clear();
    armed_ = rules_->ruleCount() > 0;  // no rules: nothing is queued
    if (!armed_) queue_.clear();
  }

  void scan(const Sighting& sighting) {
    if (!sighting.path.empty()) {
      UniqueFd fd = openSame(sighting);
      scanFile(fd, sighting.path, sighting.process);
    }
    for (const std::string& candidate : sighting.scripts) {
      const std::string path =
          candidate[0] == '/' ? candidate : cwdOf(sighting.process.pid) + '/' + candidate;
      UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
      char magic[2];
      if (fd && ::pread(fd.get(), magic, 2, 0) == 2 && magic[0] == '#' && magic[1] == '!') {
        scanFile(fd, path, sighting.process);
      }
    }
  }

  // The file of `sighting`, when it still is the one that was seen: the process's image first
  // (right in any mount namespace), else its path.
  static UniqueFd openSame(const Sighting& sighting) {
    const auto same = [&](const UniqueFd& fd) {
      struct stat st {};
      return fd && ::fstat(fd.get(), &st) == 0 &&
             (!sighting.identity || identityOf(st) == *sighting.identity);
    };
    if (sighting.identity) {
      char link[64];
      std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(sighting.process.pid));
      UniqueFd fd(::open(link, O_RDONLY | O_CLOEXEC | O_NOCTTY));
      if (same(fd)) return fd;
    }
    UniqueFd fd(::open(sighting.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    return same(fd) ? std::move(fd) : UniqueFd();
  }

  static std::string cwdOf(pid_t pid) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/cwd", static_cast<int>(pid));
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string("/nonexistent");
  }

  void scanFile(const UniqueFd& fd, const std::string& path, const ProcessImage& process) {
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      ++counts_.unreadable;
      return;
    }
    if (!scanned_.insert(identityOf(st))) return;
    if (st.st_size > options_.maxFileBytes) {
      ++counts_.tooLarge;
      return;
    }
    const YaraScan result = rules_->scan(fd.get(), options_.scanTimeoutSeconds);
    switch (result.status) {
      case YaraScan::Status::Scanned:
        ++counts_.scanned;
        break;
      case YaraScan::Status::TimedOut:
        ++counts_.timedOut;
        break;
      case YaraScan::Status::Failed:
        ++counts_.unreadable;
        break;
    }
    for (const std::string& match : result.matches) {
      ++counts_.detections;
      if (!context_->sink.subscribed(ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED)) continue;
      context_->sink.push(std::make_unique<MalwareEvent>(process, rules_->version(),
                                                         MalwareDetection{path, match}));
    }
  }

  void report() {
    {
      std::lock_guard lock(mutex_);
      counts_.dropped += std::exchange(dropped_, 0);
    }
    if (!counts_.any()) return;
    NSLog(
        "EndpointSecurity: source YARA rules: %llu files scanned, %llu detections, %llu over the "
        "size limit (%lld bytes), %llu timed out (%d s), %llu unreadable, %llu not queued (queue "
        "full)",
        static_cast<unsigned long long>(counts_.scanned),
        static_cast<unsigned long long>(counts_.detections),
        static_cast<unsigned long long>(counts_.tooLarge),
        static_cast<long long>(options_.maxFileBytes),
        static_cast<unsigned long long>(counts_.timedOut), options_.scanTimeoutSeconds,
        static_cast<unsigned long long>(counts_.unreadable),
        static_cast<unsigned long long>(counts_.dropped));
    counts_ = {};
  }

  const YaraOptions options_;
  UniqueFd inotify_;
  ReaderThread thread_;  // woken for each sighting queued
  SourceContext* context_ = nullptr;

  // Shared with the threads that report sightings.
  std::mutex mutex_;
  std::deque<Sighting> queue_;
  IdentitySet seen_{1 << 16};  // executables queued under the current rules
  bool armed_ = false;         // rules are loaded
  std::uint64_t dropped_ = 0;

  // The worker thread only (and open(), before it runs).
  std::shared_ptr<const YaraRules> rules_;
  IdentitySet scanned_{1 << 16};
  Counts counts_;
};

}  // namespace

std::unique_ptr<Source> makeYaraSource(YaraOptions options) {
  return std::make_unique<YaraSource>(std::move(options));
}

}  // namespace platform::es
