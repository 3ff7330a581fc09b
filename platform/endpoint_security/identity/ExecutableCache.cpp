#include "platform/endpoint_security/identity/ExecutableCache.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/identity/PackageIndex.h"
#include "platform/procfs/ProcFs.h"

namespace platform::es {
namespace {

timespec toTimespec(const statx_timestamp& t) {
  return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
}

std::int64_t ns(const statx_timestamp& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

es_stat_t toEsStat(const struct statx& sx) {
  es_stat_t st{};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_ino = sx.stx_ino;
  st.st_mode = sx.stx_mode;
  st.st_nlink = sx.stx_nlink;
  st.st_uid = sx.stx_uid;
  st.st_gid = sx.stx_gid;
  st.st_size = static_cast<off_t>(sx.stx_size);
  st.st_atimespec = toTimespec(sx.stx_atime);
  st.st_mtimespec = toTimespec(sx.stx_mtime);
  st.st_ctimespec = toTimespec(sx.stx_ctime);
  if (sx.stx_mask & STATX_BTIME) st.st_birthtimespec = toTimespec(sx.stx_btime);
  return st;
}

std::int64_t monotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

std::array<std::uint8_t, 20> contentHash(int fd) {
  ContentHasher hasher(fd);
  while (!hasher.step(kMaxHashedFileSize)) {
  }
  return hasher.result();
}

std::size_t ExecutableCache::KeyHash::operator()(const Key& k) const {
  std::size_t h = std::hash<std::string>()(k.path);
  for (const std::uint64_t v :
       {static_cast<std::uint64_t>(k.dev), static_cast<std::uint64_t>(k.ino),
        static_cast<std::uint64_t>(k.size), static_cast<std::uint64_t>(k.mtimeNs),
        static_cast<std::uint64_t>(k.ctimeNs)}) {
    h ^= std::hash<std::uint64_t>()(v) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  }
  return h;
}

ExecutableCache::ExecutableCache(const PackageIndexWatcher* packages, std::size_t capacity)
    : packages_(packages), capacity_(capacity) {}

std::shared_ptr<const Executable> ExecutableCache::forProcess(pid_t pid,
                                                              std::string_view procRoot) {
  char link[PATH_MAX];
  std::snprintf(link, sizeof link, "%.*s/%d/exe", static_cast<int>(procRoot.size()),
                procRoot.data(), static_cast<int>(pid));
  std::string path;
  bool truncated = false;
  const int rc = readLinkPath(link, path, truncated);
  if (rc < 0 && rc != -ENAMETOOLONG) return nullptr;
  UniqueFd fd(::open(link, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (rc == -ENAMETOOLONG) {
    // Longer than the link can show: the process's maps name the file whole.
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 ||
        ProcReader(std::string(procRoot)).mappedPath(pid, st.st_dev, st.st_ino, path) < 0) {
      return nullptr;
    }
  }
  if (!fd) {
    // Not openable (gone, or no access): report the path with what statx still gives.
    auto exe = std::make_shared<Executable>();
    exe->path = std::move(path);
    exe->pathTruncated = truncated;
    struct statx sx {};
    if (::statx(AT_FDCWD, link, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
      exe->stat = toEsStat(sx);
    }
    return exe;
  }
  return forFile(path, truncated, fd.get());
}

std::shared_ptr<const Executable> ExecutableCache::forFile(const std::string& path, bool truncated,
                                                           int fd) {
  struct statx sx {};
  const bool haveStat = fd >= 0 ? ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT,
                                          STATX_BASIC_STATS | STATX_BTIME, &sx) == 0
                                : ::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT,
                                          STATX_BASIC_STATS | STATX_BTIME, &sx) == 0;
  const std::uint64_t generation = packages_ ? packages_->generation() : 0;
  if (generation != packagesGeneration_) {  // package ownership may have changed
    entries_.clear();
    packagesGeneration_ = generation;
  }
  Key key{path, 0, 0, 0, 0, 0};
  if (haveStat) {
    key = Key{path,
              makedev(sx.stx_dev_major, sx.stx_dev_minor),
              sx.stx_ino,
              static_cast<off_t>(sx.stx_size),
              ns(sx.stx_mtime),
              ns(sx.stx_ctime)};
    if (auto it = entries_.find(key); it != entries_.end()) return it->second;
  }

  auto exe = std::make_shared<Executable>();
  exe->path = path;
  exe->pathTruncated = truncated;
  if (haveStat) exe->stat = toEsStat(sx);
  bool hashed = true;
  if (fd >= 0) {
    const auto hash = hashWithinBudget(fd, key, haveStat ? sx.stx_uid : 0);
    exe->cdhash = hash.value_or(ContentHashBytes{});
    hashed = hash.has_value();
  }
  if (haveStat) exe->package = packageOwning(path, truncated, key.dev, key.ino);
  if (haveStat && hashed) {  // without its hash, the next use looks again
    if (entries_.size() >= capacity_) entries_.clear();
    entries_.emplace(std::move(key), exe);
  }
  return exe;
}

std::shared_ptr<const Executable> ExecutableCache::forExec(const std::string& path, bool truncated,
                                                           const es_stat_t& stat, pid_t pid) {
  const std::uint64_t generation = packages_ ? packages_->generation() : 0;
  if (generation != packagesGeneration_) {
    entries_.clear();
    packagesGeneration_ = generation;
  }
  const auto nsOf = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  Key key{path,
          stat.st_dev,
          stat.st_ino,
          stat.st_size,
          nsOf(stat.st_mtimespec),
          nsOf(stat.st_ctimespec)};
  if (auto it = entries_.find(key); it != entries_.end()) return it->second;

  auto exe = std::make_shared<Executable>();
  exe->path = path;
  exe->pathTruncated = truncated;
  exe->stat = stat;
  // The file that ran, if it can still be opened: the process's own image first (right in any
  // mount namespace), else the path as the agent sees it.
  const auto sameFile = [&](int fd, struct statx& sx) {
    return fd >= 0 &&
           ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
                   &sx) == 0 &&
           makedev(sx.stx_dev_major, sx.stx_dev_minor) == stat.st_dev && sx.stx_ino == stat.st_ino;
  };
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  struct statx sx {};
  UniqueFd fd(::open(link, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!sameFile(fd.get(), sx)) {
    fd.reset(truncated ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!sameFile(fd.get(), sx)) fd.reset();
  }
  bool hashed = true;
  if (fd) {
    if (sx.stx_mask & STATX_BTIME) exe->stat.st_birthtimespec = toTimespec(sx.stx_btime);
    const auto hash = hashWithinBudget(fd.get(), key, stat.st_uid);
    exe->cdhash = hash.value_or(ContentHashBytes{});
    hashed = hash.has_value();
  }
  exe->package = packageOwning(path, truncated, stat.st_dev, stat.st_ino);
  if (!hashed) return exe;  // not kept: the next exec of this file finds the worker's hash
  if (entries_.size() >= capacity_) entries_.clear();
  entries_.emplace(std::move(key), exe);
  return exe;
}

std::optional<ContentHashBytes> ExecutableCache::hashWithinBudget(int fd, const Key& identity,
                                                                  uid_t owner) {
  const std::int64_t nowNs = monotonicNs();
  const std::uint64_t file = (static_cast<std::uint64_t>(identity.dev) << 40) ^ identity.ino;
  collect(file);
  const auto same = [&](const auto& taken) {
    return taken.size == identity.size && taken.mtimeNs == identity.mtimeNs &&
           taken.ctimeNs == identity.ctimeNs;
  };
  std::optional<std::int64_t> lastNs;  // when this file was last hashed or asked for
  if (const auto it = hashes_.find(file); it != hashes_.end()) {
    if (same(it->second)) return it->second.hash;
    lastNs = it->second.atNs;
  }
  if (const auto it = pending_.find(file); it != pending_.end()) {
    if (same(it->second)) {
      ++hashesNotReady_;
      return std::nullopt;
    }
    lastNs = std::max(lastNs.value_or(it->second.atNs), it->second.atNs);
  }
  if (lastNs && identity.size >= kRateLimitedHashSize && nowNs - *lastNs < kRehashIntervalNs) {
    ++hashesSkipped_;
    return ContentHashBytes{};
  }
  if (worker_ != nullptr) return hashOnWorker(fd, identity, owner, nowNs);
  if (hashes_.size() >= 4 * capacity_) hashes_.clear();
  ++hashesComputed_;
  const ContentHashBytes hash = contentHash(fd);
  hashes_.insert_or_assign(file,
                           Hashed{identity.size, identity.mtimeNs, identity.ctimeNs, nowNs, hash});
  return hash;
}

std::optional<ContentHashBytes> ExecutableCache::hashOnWorker(int fd, const Key& identity,
                                                              uid_t owner, std::int64_t nowNs) {
  const std::uint64_t file = (static_cast<std::uint64_t>(identity.dev) << 40) ^ identity.ino;
  if (const auto it = pending_.find(file); it != pending_.end()) {  // of the file's old content
    worker_->cancel(it->second.job);
    pending_.erase(it);
  }
  std::shared_ptr<HashWorker::Job> job =
      worker_->submit(fd, owner, static_cast<std::uint64_t>(std::max<off_t>(identity.size, 0)));
  if (!job) {
    ++hashesNotReady_;
    return std::nullopt;
  }
  ++hashesComputed_;
  if (pending_.size() >= 64) collectAll();
  const std::optional<ContentHashBytes> hash = worker_->wait(*job, kHashWait);
  pending_.insert_or_assign(
      file, Pending{identity.size, identity.mtimeNs, identity.ctimeNs, nowNs, std::move(job)});
  collect(file);
  if (!hash) ++hashesNotReady_;
  return hash;
}

void ExecutableCache::collect(std::uint64_t file) {
  const auto it = pending_.find(file);
  if (it == pending_.end()) return;
  const Pending& p = it->second;
  const std::optional<ContentHashBytes> hash = worker_->wait(*p.job, {});
  if (!hash) return;
  if (hashes_.size() >= 4 * capacity_) hashes_.clear();
  hashes_.insert_or_assign(file, Hashed{p.size, p.mtimeNs, p.ctimeNs, p.atNs, *hash});
  pending_.erase(it);
}

void ExecutableCache::collectAll() {
  std::vector<std::uint64_t> files;
  for (const auto& [file, pending] : pending_) files.push_back(file);
  for (const std::uint64_t file : files) collect(file);
}

std::optional<std::string> ExecutableCache::packageOwning(const std::string& path, bool truncated,
                                                          dev_t dev, ino_t ino) const {
  if (packages_ == nullptr || truncated) return std::nullopt;
  const auto index = packages_->current();
  const std::string* owner = index ? index->owner(path) : nullptr;
  if (owner == nullptr) return std::nullopt;
  // The package's file is the one at this path in the agent's own view; a process that put
  // another file there (a bind mount in its own namespace) ran something else.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_dev != dev || st.st_ino != ino) return std::nullopt;
  return *owner;
}

}  // namespace platform::es
