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
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/FileSightings.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/PackageIndex.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"
#include "platform/endpoint_security/launch_items/ItemMarks.h"
#include "platform/endpoint_security/launch_items/ItemReader.h"
#include "platform/endpoint_security/launch_items/LaunchItemRules.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

constexpr std::uint64_t kMarkMask = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO |
                                    FAN_CLOSE_WRITE | FAN_ONDIR | FAN_EVENT_ON_CHILD;

es_string_token_t tokenOf(const std::string& s) {
  return {s.size(), s.data()};
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

Presence presenceOf(const std::string& path, ino_t* inode = nullptr) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Presence::Absent;
  if (inode != nullptr) *inode = st.st_ino;
  return S_ISREG(st.st_mode) ? Presence::RegularFile : Presence::Other;
}

// What identifies one version of an item: the file at its path and that file's content. A
// rewrite that leaves both as they were (a `touch`, a save of the same text) is no change.
struct ItemState {
  ino_t inode = 0;
  ItemDigest digest;
  bool sameAs(const ItemState& other) const {
    return inode == other.inode && digest && digest == other.digest;
  }
};

std::optional<ino_t> inodeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_ino;
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
    // DFID_NAME: the folder and name an action went through; FID: the file written (for a write
    // through a name outside every item folder).
    fan_.reset(::fanotify_init(
        FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_REPORT_FID | FAN_CLOEXEC | FAN_NONBLOCK,
        O_RDONLY | O_CLOEXEC | O_LARGEFILE));
    if (!fan_) {
      const int error = errno;
      why = std::string("fanotify: ") + std::strerror(error);
      return error == EPERM ? ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED
                            : ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    if (!thread_.open()) {
      why = std::string("eventfd: ") + std::strerror(errno);
      fan_.reset();
      return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
    }
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }

  void start(SourceContext& context) override {
    context_ = &context;
    executables_ = std::make_unique<ExecutableCache>(&context.packages);
    marks_ = std::make_unique<ItemMarks>(fan_.get());
    reader_ = std::make_unique<ItemReader>(options_.root, &accounts_);
    rescan(/*seed=*/false);  // before the thread: what exists now is not news
    thread_.start("es-launch-items", [this] { run(); });
  }

  void stop() override { thread_.stop(); }

 private:
  void run() {
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
      pollfd fan{fan_.get(), POLLIN, 0};
      if (!thread_.wait({&fan, 1}, std::max(timeoutMs, 0))) return;
      if ((fan.revents & POLLIN) != 0 && !readRecords(buffer)) return;
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
    std::optional<std::string> named;   // the item the record names by folder and name
    std::optional<std::string> object;  // the written file's key
    const char* at = record + meta.metadata_len;
    while (end - at >= static_cast<std::ptrdiff_t>(sizeof(fanotify_event_info_header))) {
      fanotify_event_info_header header;
      std::memcpy(&header, at, sizeof header);
      if (header.len < sizeof header || header.len > end - at) return;
      if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
        named = handleName(meta, at, at + header.len);
      } else if (header.info_type == FAN_EVENT_INFO_TYPE_FID) {
        object = handleKey(at, at + header.len);
      }
      at += header.len;
    }
    if (object && (meta.mask & (FAN_CLOSE_WRITE | FAN_MODIFY)) != 0) {
      handleWrite(meta, *object, named);
    }
  }

  // The object key of a FID or DFID_NAME part (header, filesystem id, file handle), as
  // objectKey() builds it; `nameAt` is set to where a name would follow.
  static std::optional<std::string> handleKey(const char* at, const char* end,
                                              const char** nameAt = nullptr) {
    constexpr std::size_t kFsid = sizeof(fanotify_event_info_header);
    constexpr std::size_t kHandle = kFsid + sizeof(__kernel_fsid_t);
    constexpr std::size_t kHandleBytes = kHandle + offsetof(file_handle, f_handle);
    if (end - at < static_cast<std::ptrdiff_t>(kHandleBytes)) return std::nullopt;
    unsigned int handleBytes = 0;
    std::memcpy(&handleBytes, at + kHandle + offsetof(file_handle, handle_bytes),
                sizeof handleBytes);
    if (handleBytes > static_cast<std::size_t>(end - at) - kHandleBytes) return std::nullopt;
    std::string key(at + kFsid, sizeof(__kernel_fsid_t));
    key.append(at + kHandle + offsetof(file_handle, handle_type), sizeof(int));
    key.append(at + kHandleBytes, handleBytes);
    if (nameAt != nullptr) *nameAt = at + kHandleBytes + handleBytes;
    return key;
  }

  // One DFID_NAME part; the item path it names, when it names one.
  std::optional<std::string> handleName(const fanotify_event_metadata& meta, const char* at,
                                        const char* end) {
    const char* name = nullptr;
    const std::optional<std::string> key = handleKey(at, end, &name);
    if (!key || name >= end) return std::nullopt;
    const std::size_t nameLength = ::strnlen(name, static_cast<std::size_t>(end - name));
    const auto folder = folderByKey_.find(*key);
    if (folder == folderByKey_.end() || nameLength == 0) return std::nullopt;
    const std::string_view leaf(name, nameLength);
    if (leaf == "." || leaf == "..") return std::nullopt;
    const std::string path = folder->second + "/" + std::string(leaf);
    if ((meta.mask & FAN_ONDIR) != 0) {
      reader_->forgetFolders();  // a drop-in folder may have come or gone
      if ((meta.mask & (FAN_CREATE | FAN_MOVED_TO)) != 0) markSubfolder(folder->second, leaf);
      return std::nullopt;
    }
    if (!classify(folders_, accounts_, path)) return std::nullopt;  // /etc holds much else
    std::uint64_t mask = meta.mask;
    ino_t inode = 0;
    const Presence now = presenceOf(path, &inode);
    if (const auto seeded = seeded_.find(path); seeded != seeded_.end()) {
      // Already reported by listing its new folder; this is the same file's creation.
      if (now != Presence::Absent && seeded->second == inode) mask &= ~(FAN_CREATE | FAN_MOVED_TO);
      seeded_.erase(seeded);
    }
    track(path, mask, meta.pid, now);
    return path;
  }

  // A write to a marked item file, through whatever name: each item path naming the file but the
  // one the record named (handled already) sees the write.
  void handleWrite(const fanotify_event_metadata& meta, const std::string& key,
                   const std::optional<std::string>& named) {
    const std::set<std::string>* paths = marks_->pathsOf(key);
    if (paths == nullptr) return;
    for (const std::string& path : std::set<std::string>(*paths)) {
      if (path != named) {
        track(path, meta.mask & (FAN_CLOSE_WRITE | FAN_MODIFY), meta.pid, presenceOf(path));
      }
    }
  }

  void track(const std::string& path, std::uint64_t mask, pid_t pid, Presence now) {
    for (const LaunchChange& change : tracker_.onRecord(path, mask, pid, now, monotonicNow())) {
      emit(change);
    }
  }

  // The state of the item at `path` now (inode 0 and no digest when it is gone).
  ItemState stateOf(const ItemFacts& facts) const {
    const std::optional<ino_t> inode = inodeOf(facts.path);
    if (!inode) return {};
    return {*inode, reader_->read(facts).digest};
  }

  // Lists every folder again and reports what differs from the inventory: the changes whose
  // records the kernel dropped, without instigator. Returns how many.
  std::size_t recover() {
    std::vector<LaunchChange> changes;
    std::unordered_map<std::string, bool> present;
    for (const ItemFolder& folder : folders_) {
      forEachEntry(folder.path, [&](std::string_view name, bool dir) {
        const std::string item = folder.path + "/" + std::string(name);
        const std::optional<ItemFacts> facts =
            dir ? std::nullopt : classify(folders_, accounts_, item);
        if (!facts || !inodeOf(item)) return;
        present[item] = true;
        const auto known = inventory_.find(item);
        if (known == inventory_.end() || !known->second.sameAs(stateOf(*facts))) {
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

  // Keeps the inventory of items and the marks on their files; false when the change is no news:
  // a removal reported already (after an overflow, by recover()), or an add that leaves the item
  // as the inventory knows it (a rewrite of the same content; a change recover() reported).
  bool note(const LaunchChange& change, const ItemDigest& digest) {
    const auto known = inventory_.find(change.path);
    if (change.action == LaunchAction::Remove) {
      marks_->remove(change.path);
      if (known == inventory_.end()) return !recovering_;
      inventory_.erase(known);
      return true;
    }
    const std::optional<ino_t> inode = inodeOf(change.path);
    const ItemState now{inode.value_or(0), inode ? digest : std::nullopt};
    const bool same = known != inventory_.end() && inode && known->second.sameAs(now);
    inventory_[change.path] = now;
    if (inode) marks_->add(change.path);
    return !same;
  }

  void emit(const LaunchChange& change, bool instigated = true) {
    std::optional<ItemFacts> facts = classify(folders_, accounts_, change.path);
    ItemContent content;
    if (facts && change.action == LaunchAction::Add) content = reader_->read(*facts);
    if (!note(change, content.digest)) return;
    // A change found by listing has no known maker.
    const auto instigator = [&] {
      return instigated ? ProcessLookup(context_->processes, *executables_, options_.catchUpLimit)
                              .find(change.pid, change.atNs)
                        : unknownProcess();
    };
    if (facts && change.action == LaunchAction::Add && context_->sightings.observed()) {
      context_->sightings.written(change.path, instigator());
    }
    const es_event_type_t type = change.action == LaunchAction::Add
                                     ? ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD
                                     : ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE;
    if (!facts || !context_->sink.subscribed(type)) return;
    if (change.action == LaunchAction::Add) {
      facts->executablePath = reader_->executable(*facts, content);
    }
    facts->managed = managed(change.path);
    context_->sink.push(std::make_unique<LaunchItemEvent>(change.action, instigator(), instigated,
                                                          std::move(*facts)));
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
    reader_->forgetFolders();   // and drop-in folders come and go in unwatched ones
    accounts_ = parsePasswd(readWholeFile(options_.passwdFile));
    std::vector<ItemFolder> folders = itemFolders(options_.root, accounts_);
    const std::size_t top = folders.size();
    for (std::size_t i = 0; i < top; ++i) {
      if (folders[i].format != ItemFormat::SystemdUnit) continue;
      forEachEntry(folders[i].path, [&](std::string_view name, bool dir) {
        if (!dir && !isFolder(folders[i].path + "/" + std::string(name))) return;
        if (auto sub = unitSubfolder(folders[i], name)) folders.push_back(std::move(*sub));
      });
    }
    folders_ = folders;
    for (const ItemFolder& folder : folders) mark(folder, seed);
  }

  void markSubfolder(const std::string& parentPath, std::string_view name) {
    for (const ItemFolder& parent : folders_) {
      if (parent.path != parentPath) continue;
      if (auto sub = unitSubfolder(parent, name)) {
        folders_.push_back(*sub);
        mark(*sub, /*seed=*/true);
        return;
      }
    }
  }

  // Whether the folder may be watched where it leads. A link on its path that an account other
  // than root owns (a user's ~/.config/autostart replaced by a link) is followed only to a folder
  // the folder's own account owns: the agent reads and watches nowhere on a user's say that the
  // user does not own. Either way the decision is logged (when it changes).
  bool mayWatch(const ItemFolder& folder) {
    const std::optional<std::string> real = realPath(folder.path);
    if (!real || *real == folder.path) return real.has_value();
    std::optional<uid_t> linkOwner;  // of the last link on the way not owned by root
    std::string prefix;
    for (std::size_t at = 1; at <= folder.path.size(); ++at) {
      if (at < folder.path.size() && folder.path[at] != '/') continue;
      struct stat st {};
      prefix = folder.path.substr(0, at);
      if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != 0) {
        linkOwner = st.st_uid;
      }
    }
    struct stat target {};
    const bool owned = ::stat(real->c_str(), &target) == 0 && target.st_uid == folder.uid;
    const bool follow = !linkOwner || owned;
    std::string decision = (follow ? "+" : "-") + *real;
    if (!linkOwner) return true;  // the system's own links (/lib on a merged /usr)
    if (std::string& last = linkDecisions_[folder.path]; last != decision) {
      last = std::move(decision);
      if (follow) {
        NSLog(
            "EndpointSecurity: source launch items: %s leads to %s through a link; watching it "
            "there",
            folder.path.c_str(), real->c_str());
      } else {
        NSLog(
            "EndpointSecurity: source launch items: %s is a link of uid %u to %s, which uid %u "
            "does not own; not watching it, ignoring",
            folder.path.c_str(), static_cast<unsigned>(*linkOwner), real->c_str(),
            static_cast<unsigned>(folder.uid));
      }
    }
    return follow;
  }

  void mark(const ItemFolder& folder, bool seed) {
    const std::string& path = folder.path;
    const std::optional<std::string> key =
        mayWatch(folder) ? objectKey(path, /*follow=*/true) : std::nullopt;
    const auto known = keyByPath_.find(path);
    if (known != keyByPath_.end() && key && known->second == *key) return;
    if (known != keyByPath_.end()) forget(path, known->second);
    if (!key || folderByKey_.count(*key) != 0) return;  // gone, refused, or watched by another name
    if (::fanotify_mark(fan_.get(), FAN_MARK_ADD | FAN_MARK_ONLYDIR, kMarkMask, AT_FDCWD,
                        path.c_str()) != 0) {
      NSLog("EndpointSecurity: source launch items: cannot watch %s: %s, ignoring", path.c_str(),
            std::strerror(errno));
      return;
    }
    keyByPath_[path] = *key;
    folderByKey_[*key] = path;
    forEachEntry(path, [&](std::string_view name, bool dir) {
      if (dir) return;
      const std::string item = path + "/" + std::string(name);
      const std::optional<ItemFacts> facts = classify(folders_, accounts_, item);
      const std::optional<ino_t> inode = inodeOf(item);
      if (!facts || !inode) return;
      if (!seed) {
        inventory_[item] = stateOf(*facts);
        marks_->add(item);
        return;
      }
      seeded_[item] = *inode;
      emit({LaunchAction::Add, item, 0}, /*instigated=*/false);
    });
  }

  // A watched folder that is gone, replaced or no longer to be followed: what it held is gone
  // from its path (reported without instigator; the folder's own records never say so).
  void forget(const std::string& path, const std::string& key) {
    if (const auto owner = folderByKey_.find(key);
        owner != folderByKey_.end() && owner->second == path) {
      folderByKey_.erase(owner);
    }
    keyByPath_.erase(path);
    std::vector<std::string> gone;
    for (const auto& [item, state] : inventory_) {
      if (item.size() > path.size() && item.compare(0, path.size(), path) == 0 &&
          item[path.size()] == '/' && item.find('/', path.size() + 1) == std::string::npos) {
        gone.push_back(item);
      }
    }
    for (const std::string& item : gone) emit({LaunchAction::Remove, item, 0}, false);
  }

  static bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
  ReaderThread thread_;

  // Source thread only (and start(), before the thread runs).
  SourceContext* context_ = nullptr;
  std::unique_ptr<ExecutableCache> executables_;  // its own thread only
  ChangeTracker tracker_;
  std::vector<Account> accounts_;
  std::vector<ItemFolder> folders_;
  std::unordered_map<std::string, std::string> folderByKey_;
  std::unordered_map<std::string, std::string> keyByPath_;
  std::unordered_map<std::string, ino_t> seeded_;
  std::unordered_map<std::string, std::string> canonicalFolders_;  // item folder → its real path
  std::unordered_map<std::string, std::string> linkDecisions_;     // folder → last one logged
  // Every item known to exist with its content's digest (inode 0: reported added, already gone
  // again): what a rewrite or recover() is compared with.
  std::unordered_map<std::string, ItemState> inventory_;
  std::unique_ptr<ItemMarks> marks_;
  std::unique_ptr<ItemReader> reader_;
  bool recovering_ = false;  // between an overflow and the end of what was queued with it
  std::uint64_t overflows_ = 0;
};

}  // namespace

std::unique_ptr<Source> makeLaunchItemSource(LaunchItemOptions options) {
  return std::make_unique<LaunchItemSource>(std::move(options));
}

}  // namespace platform::es
