#include "platform/endpoint_security/launch_items/LaunchItemSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/EventFd.h"
#include "platform/ThreadName.h"
#include "platform/UniqueFd.h"
#include "platform/endpoint_security/ExecutableCache.h"
#include "platform/endpoint_security/PackageIndex.h"
#include "platform/endpoint_security/ProcessLookup.h"
#include "platform/endpoint_security/launch_items/LaunchItemRules.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

constexpr std::uint64_t kMarkMask = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO |
                                    FAN_CLOSE_WRITE | FAN_ONDIR | FAN_EVENT_ON_CHILD;
constexpr std::size_t kMaxItemText = 64 * 1024;

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
}

// A small file's first kMaxItemText bytes (following links); empty when it cannot be read.
std::string readItemText(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return {};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::string text(kMaxItemText, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  return text;
}

std::string readWholeFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!fd) return text;
  char buffer[8192];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

std::optional<std::string> realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// The fanotify object id of a folder: its filesystem id and file handle, as fanotify reports
// them in a DFID_NAME record.
std::optional<std::string> folderKey(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return std::nullopt;
  alignas(file_handle) char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<file_handle*>(storage);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId, 0) != 0) return std::nullopt;
  std::string key(reinterpret_cast<const char*>(&fs.f_fsid), sizeof fs.f_fsid);
  key.append(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
  key.append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
  return key;
}

Presence presenceOf(const std::string& path, ino_t* inode = nullptr) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Presence::Absent;
  if (inode != nullptr) *inode = st.st_ino;
  return S_ISREG(st.st_mode) ? Presence::RegularFile : Presence::Other;
}

// What identifies one version of an item file.
struct ItemState {
  ino_t inode = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const ItemState&) const = default;
};

std::optional<ItemState> statItem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return ItemState{st.st_ino,
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

class LaunchItemEvent final : public PendingEvent {
 public:
  LaunchItemEvent(LaunchAction action, ProcessImage process, bool instigated, ItemFacts facts)
      : PendingEvent(action == LaunchAction::Add ? ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD
                                                 : ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE,
                     monotonicNow(), wallClockOf(monotonicNow())),
        process_(std::move(process)),
        instigated_(instigated),
        facts_(std::move(facts)) {}

  std::size_t bytes() const override {
    return 512 + facts_.url.size() + (facts_.executablePath ? facts_.executablePath->size() : 0);
  }

  void fill(es_message_t& message, pid_t self) override {
    view_.fill(process_, self);
    item_ = es_btm_launch_item_t{};
    item_.item_type = facts_.type;
    item_.legacy = facts_.legacy;
    item_.managed = facts_.managed;
    item_.uid = facts_.uid;
    item_.item_url = tokenOf(facts_.url);
    item_.app_url = {0, nullptr};
    es_process_t* instigator = instigated_ ? &view_.process : nullptr;
    message.process = &view_.process;
    if (type == ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD) {
      add_ = {
          instigator, nullptr, &item_,
          facts_.executablePath ? tokenOf(*facts_.executablePath) : es_string_token_t{0, nullptr}};
      message.event.btm_launch_item_add = &add_;
    } else {
      remove_ = {instigator, nullptr, &item_};
      message.event.btm_launch_item_remove = &remove_;
    }
  }

 private:
  const ProcessImage process_;
  const bool instigated_;
  const ItemFacts facts_;
  ProcessView view_{};
  es_btm_launch_item_t item_{};
  es_event_btm_launch_item_add_t add_{};
  es_event_btm_launch_item_remove_t remove_{};
};

class LaunchItemSource final : public Source {
 public:
  explicit LaunchItemSource(LaunchItemOptions options)
      : options_(std::move(options)),
        tracker_(static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(options_.writeWait).count())) {}
  ~LaunchItemSource() override { stop(); }

  std::string_view name() const override { return "launch items"; }
  bool produces(es_event_type_t type) const override {
    return type == ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD ||
           type == ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE;
  }

  es_new_client_result_t open(std::string& why) override {
    fan_.reset(::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_CLOEXEC | FAN_NONBLOCK,
                               O_RDONLY | O_CLOEXEC | O_LARGEFILE));
    if (!fan_) {
      const int error = errno;
      why = std::string("fanotify: ") + std::strerror(error);
      return error == EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED
                            : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    wake_ = platform::makeEventFd();
    if (!wake_) {
      why = std::string("eventfd: ") + std::strerror(errno);
      fan_.reset();
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }

  void start(SourceContext& context) override {
    context_ = &context;
    executables_ = std::make_unique<ExecutableCache>(&context.packages);
    self_ = ::getpid();
    rescan(/*seed=*/false);  // before the thread: what exists now is not news
    thread_ = std::thread([this] { run(); });
  }

  void stop() override {
    if (!thread_.joinable()) return;
    platform::signalEventFd(wake_);
    thread_.join();
  }

 private:
  struct Marked {
    std::string path;
    std::string key;
  };

  void run() {
    platform::nameThisThread("es-launch-items");
    auto nextRescan = std::chrono::steady_clock::now() + options_.rescan;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
      int timeoutMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           nextRescan - std::chrono::steady_clock::now())
                                           .count());
      if (const auto deadline = tracker_.nextDeadline()) {
        const std::uint64_t now = monotonicNow();
        const int wait = *deadline > now ? static_cast<int>((*deadline - now) / 1000000 + 1) : 0;
        timeoutMs = std::min(timeoutMs, wait);
      }
      pollfd fds[2] = {{fan_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int ready = ::poll(fds, 2, std::max(timeoutMs, 0));
      if (ready < 0 && errno != EINTR) {
        NSLog("EndpointSecurity: source launch items: poll failed: %s", std::strerror(errno));
        return;
      }
      if ((fds[1].revents & POLLIN) != 0) return;
      if ((fds[0].revents & POLLIN) != 0 && !readRecords(buffer)) return;
      for (const LaunchChange& change : tracker_.expire(monotonicNow())) emit(change);
      if (std::chrono::steady_clock::now() >= nextRescan) {
        rescan(/*seed=*/true);
        nextRescan = std::chrono::steady_clock::now() + options_.rescan;
      }
    }
  }

  // Handles what fanotify has queued; false when reading failed for good.
  bool readRecords(std::vector<char>& buffer) {
    for (;;) {
      const ssize_t n = ::read(fan_.get(), buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          recovering_ = false;  // what was queued at the overflow has been read
          return true;
        }
        NSLog("EndpointSecurity: source launch items: read failed: %s", std::strerror(errno));
        return false;
      }
      // Records are packed without padding: each part is copied out before it is read.
      const char* at = buffer.data();
      const char* const end = at + n;
      while (end - at >= static_cast<std::ptrdiff_t>(sizeof(fanotify_event_metadata))) {
        fanotify_event_metadata meta;
        std::memcpy(&meta, at, sizeof meta);
        if (meta.event_len < sizeof meta || meta.event_len > static_cast<std::size_t>(end - at)) {
          break;
        }
        handle(meta, at, at + meta.event_len);
        at += meta.event_len;
      }
    }
  }

  void handle(const fanotify_event_metadata& meta, const char* record, const char* end) {
    if (meta.fd >= 0) ::close(meta.fd);  // never with DFID_NAME; closed should one come
    if ((meta.mask & FAN_Q_OVERFLOW) != 0) {
      ++overflows_;
      recovering_ = true;
      const std::size_t found = recover();
      NSLog(
          "EndpointSecurity: source launch items: fanotify queue overflow (%llu so far), changes "
          "lost; %zu found again by listing the folders",
          static_cast<unsigned long long>(overflows_), found);
      return;
    }
    const char* at = record + meta.metadata_len;
    while (end - at >= static_cast<std::ptrdiff_t>(sizeof(fanotify_event_info_header))) {
      fanotify_event_info_header header;
      std::memcpy(&header, at, sizeof header);
      if (header.len < sizeof header || header.len > end - at) return;
      if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) handleName(meta, at, at + header.len);
      at += header.len;
    }
  }

  // One DFID_NAME part: header, filesystem id, file handle (bytes, type, handle), name.
  void handleName(const fanotify_event_metadata& meta, const char* at, const char* end) {
    constexpr std::size_t kFsid = sizeof(fanotify_event_info_header);
    constexpr std::size_t kHandle = kFsid + sizeof(__kernel_fsid_t);
    constexpr std::size_t kHandleBytes = kHandle + offsetof(file_handle, f_handle);
    if (end - at < static_cast<std::ptrdiff_t>(kHandleBytes)) return;
    unsigned int handleBytes = 0;
    std::memcpy(&handleBytes, at + kHandle + offsetof(file_handle, handle_bytes),
                sizeof handleBytes);
    if (handleBytes > static_cast<std::size_t>(end - at) - kHandleBytes) return;
    const char* name = at + kHandleBytes + handleBytes;
    if (name >= end) return;
    const std::size_t nameLength = ::strnlen(name, static_cast<std::size_t>(end - name));
    // The key as folderKey() builds it: fsid, handle type, handle.
    std::string key(at + kFsid, sizeof(__kernel_fsid_t));
    key.append(at + kHandle + offsetof(file_handle, handle_type), sizeof(int));
    key.append(at + kHandleBytes, handleBytes);
    const auto folder = folderByKey_.find(key);
    if (folder == folderByKey_.end() || nameLength == 0) return;
    const std::string_view leaf(name, nameLength);
    if (leaf == "." || leaf == "..") return;
    const std::string path = folder->second + "/" + std::string(leaf);
    if ((meta.mask & FAN_ONDIR) != 0) {
      if ((meta.mask & (FAN_CREATE | FAN_MOVED_TO)) != 0) markLinkFolder(folder->second, leaf);
      return;
    }
    if (!classify(folders_, accounts_, path)) return;  // /etc holds much besides crontab
    std::uint64_t mask = meta.mask;
    ino_t inode = 0;
    const Presence now = presenceOf(path, &inode);
    if (const auto seeded = seeded_.find(path); seeded != seeded_.end()) {
      // Already reported by listing its new folder; this is the same file's creation.
      if (now != Presence::Absent && seeded->second == inode) mask &= ~(FAN_CREATE | FAN_MOVED_TO);
      seeded_.erase(seeded);
    }
    for (const LaunchChange& change :
         tracker_.onRecord(path, mask, meta.pid, now, monotonicNow())) {
      emit(change);
    }
  }

  // Lists every folder again and reports what differs from the inventory: the changes whose
  // records the kernel dropped, without instigator. Returns how many.
  std::size_t recover() {
    std::vector<LaunchChange> changes;
    std::unordered_map<std::string, bool> present;
    for (const ItemFolder& folder : folders_) {
      forEachEntry(folder.path, [&](std::string_view name, bool dir) {
        const std::string item = folder.path + "/" + std::string(name);
        if (dir || !classify(folders_, accounts_, item)) return;
        const auto now = statItem(item);
        if (!now) return;
        present[item] = true;
        const auto known = inventory_.find(item);
        if (known == inventory_.end() || !(known->second == *now)) {
          changes.push_back({LaunchAction::Add, item, 0});
        }
      });
    }
    for (const auto& [path, seen] : inventory_) {
      if (present.count(path) == 0) changes.push_back({LaunchAction::Remove, path, 0});
    }
    for (const LaunchChange& change : changes) {
      tracker_.forget(change.path);  // its close may have been among the dropped records
      emit(change, /*instigated=*/false);
    }
    return changes.size();
  }

  // Keeps the inventory of items; false when the change was reported already (after an
  // overflow, by recover()).
  bool note(const LaunchChange& change) {
    const auto known = inventory_.find(change.path);
    if (change.action == LaunchAction::Remove) {
      if (known == inventory_.end()) return !recovering_;
      inventory_.erase(known);
      return true;
    }
    const auto now = statItem(change.path);
    const bool same = recovering_ && known != inventory_.end() && now && known->second == *now;
    inventory_[change.path] = now.value_or(ItemState{});
    return !same;
  }

  void emit(const LaunchChange& change, bool instigated = true) {
    if (!note(change)) return;
    std::optional<ItemFacts> facts = classify(folders_, accounts_, change.path);
    const es_event_type_t type = change.action == LaunchAction::Add
                                     ? ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD
                                     : ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE;
    if (!facts || !context_->sink.subscribed(type)) return;
    if (change.action == LaunchAction::Add) {
      facts->executablePath = itemExecutable(facts->format, change.path, readItemText(change.path));
    }
    facts->managed = managed(change.path);
    ProcessImage process =
        ProcessLookup(context_->processes, *executables_).find(instigated ? change.pid : self_);
    context_->sink.push(std::make_unique<LaunchItemEvent>(change.action, std::move(process),
                                                          instigated, std::move(*facts)));
  }

  // Owned by a package: the item itself, or the unit a link points to.
  bool managed(const std::string& path) {
    const auto index = context_->packages.current();
    if (!index) return false;
    const std::size_t slash = path.rfind('/');
    const std::string folder = path.substr(0, slash);
    auto canonical = canonicalFolders_.find(folder);
    if (canonical == canonicalFolders_.end()) {
      canonical = canonicalFolders_.emplace(folder, realPath(folder).value_or(folder)).first;
    }
    if (index->owner(canonical->second + path.substr(slash)) != nullptr) return true;
    if (presenceOf(path) != Presence::Other) return false;
    const auto target = realPath(path);
    return target && index->owner(*target) != nullptr;
  }

  // Marks every item folder that exists and is not marked yet (or was replaced); with `seed`,
  // the items already in a newly marked folder are reported as added.
  void rescan(bool seed) {
    seeded_.clear();            // their creations, if any, were read long ago
    canonicalFolders_.clear();  // a folder may have become a link since
    accounts_ = parsePasswd(readWholeFile(options_.passwdFile));
    std::vector<ItemFolder> folders = itemFolders(options_.root, accounts_);
    const std::size_t top = folders.size();
    for (std::size_t i = 0; i < top; ++i) {
      if (folders[i].format != ItemFormat::SystemdUnit) continue;
      forEachEntry(folders[i].path, [&](std::string_view name, bool dir) {
        if (!dir) return;
        if (auto links = unitLinkFolder(folders[i], name)) folders.push_back(std::move(*links));
      });
    }
    folders_ = folders;
    for (const ItemFolder& folder : folders) mark(folder.path, seed);
  }

  void markLinkFolder(const std::string& parentPath, std::string_view name) {
    for (const ItemFolder& parent : folders_) {
      if (parent.path != parentPath) continue;
      if (auto links = unitLinkFolder(parent, name)) {
        folders_.push_back(*links);
        mark(links->path, /*seed=*/true);
        return;
      }
    }
  }

  void mark(const std::string& path, bool seed) {
    const std::optional<std::string> key = folderKey(path);
    if (!key) return;
    const auto known = keyByPath_.find(path);
    if (known != keyByPath_.end() && known->second == *key) return;
    if (::fanotify_mark(fan_.get(), FAN_MARK_ADD | FAN_MARK_ONLYDIR, kMarkMask, AT_FDCWD,
                        path.c_str()) != 0) {
      NSLog("EndpointSecurity: source launch items: cannot watch %s: %s, ignoring", path.c_str(),
            std::strerror(errno));
      return;
    }
    if (known != keyByPath_.end()) folderByKey_.erase(known->second);
    keyByPath_[path] = *key;
    folderByKey_[*key] = path;
    forEachEntry(path, [&](std::string_view name, bool dir) {
      if (dir) return;
      const std::string item = path + "/" + std::string(name);
      const auto now = statItem(item);
      if (!classify(folders_, accounts_, item) || !now) return;
      if (!seed) {
        inventory_[item] = *now;
        return;
      }
      seeded_[item] = now->inode;
      emit({LaunchAction::Add, item, 0}, /*instigated=*/false);
    });
  }

  template <class Visit>
  static void forEachEntry(const std::string& path, Visit visit) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name(entry->d_name);
      if (name == "." || name == "..") continue;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st {};
        isDir = ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode);
      }
      visit(name, isDir);
    }
    ::closedir(dir);
  }

  const LaunchItemOptions options_;
  UniqueFd fan_;
  UniqueFd wake_;
  std::thread thread_;

  // Source thread only (and start(), before the thread runs).
  SourceContext* context_ = nullptr;
  std::unique_ptr<ExecutableCache> executables_;  // its own thread only
  pid_t self_ = 0;
  ChangeTracker tracker_;
  std::vector<Account> accounts_;
  std::vector<ItemFolder> folders_;
  std::unordered_map<std::string, std::string> folderByKey_;
  std::unordered_map<std::string, std::string> keyByPath_;
  std::unordered_map<std::string, ino_t> seeded_;
  std::unordered_map<std::string, std::string> canonicalFolders_;  // item folder → its real path
  // Every item known to exist (inode 0: reported added, already gone again), for recover().
  std::unordered_map<std::string, ItemState> inventory_;
  bool recovering_ = false;  // between an overflow and the end of what was queued with it
  std::uint64_t overflows_ = 0;
};

}  // namespace

std::unique_ptr<Source> makeLaunchItemSource(LaunchItemOptions options) {
  return std::make_unique<LaunchItemSource>(std::move(options));
}

}  // namespace platform::es
