// The executable of a process as the event source reports it: path, status (with birth time) and
// code identity. Linux has no code signing, so identity means: a file that an installed Debian
// package lists is a platform binary whose signing id is the package's name; the cdhash is the
// first 20 bytes of the SHA-256 of the file's content. Entries are kept per path and file
// identity (device, inode, size, mtime, ctime), so an unchanged file is hashed once. With a
// HashWorker, no file is read on the caller's thread: a hash not ready within kHashWait leaves the
// executable's cdhash zeros, and the file's next use finds the hash the worker took meanwhile.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/identity/HashWorker.h"

namespace platform::es {

class PackageIndexWatcher;

struct Executable {
  std::string path;
  bool pathTruncated = false;
  es_stat_t stat{};
  std::array<std::uint8_t, 20> cdhash{};
  std::optional<std::string> package;  // the owning package's name; absent when none
};

// How long a caller with a HashWorker waits for a hash it has just asked for: a small program's
// is ready well within it; an event is never held for a large one.
inline constexpr std::chrono::microseconds kHashWait{4000};

// The first 20 bytes of the SHA-256 of the file open at `fd`; zeros when it cannot be read or is
// larger than kMaxHashedFileSize.
std::array<std::uint8_t, 20> contentHash(int fd);

class ExecutableCache {
 public:
  // `packages` may be null (no package identity); `capacity` bounds the number of entries.
  explicit ExecutableCache(const PackageIndexWatcher* packages, std::size_t capacity = 2048);

  // The executable of process `pid`, from <procRoot>/<pid>/exe; null when the process has none or
  // is gone.
  std::shared_ptr<const Executable> forProcess(pid_t pid, std::string_view procRoot = "/proc");
  // The executable at `path` as opened by `fd` (-1: not open); `path` is taken as canonical.
  std::shared_ptr<const Executable> forFile(const std::string& path, bool truncated, int fd);
  // The file process `pid` just executed, as the kernel described it at that moment: `path` as
  // seen from the process's mount tree and the inode's status. Content and package identity
  // come only from a file with the same device and inode, opened through /proc/<pid>/exe or
  // at `path`; a different file at that path (another mount namespace) gets neither.
  std::shared_ptr<const Executable> forExec(const std::string& path, bool truncated,
                                            const es_stat_t& stat, pid_t pid);

  // From now on, files are hashed by `worker` (which must outlive this cache), never on the
  // caller's thread.
  void hashOn(HashWorker* worker) { worker_ = worker; }

  // Hashes of large files skipped because the same file changed again within the interval.
  std::uint64_t hashesSkipped() const { return hashesSkipped_; }
  // Executables described without their hash because the worker had not taken it in time (or
  // refused it: the owner's budget spent, its queue full).
  std::uint64_t hashesNotReady() const { return hashesNotReady_; }

  std::size_t hashesComputed() const { return hashesComputed_; }

 private:
  struct Key {
    std::string path;
    dev_t dev;
    ino_t ino;
    off_t size;
    std::int64_t mtimeNs;
    std::int64_t ctimeNs;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const;
  };

  const PackageIndexWatcher* packages_;
  const std::size_t capacity_;
  std::uint64_t packagesGeneration_ = 0;
  std::unordered_map<Key, std::shared_ptr<const Executable>, KeyHash> entries_;
  std::size_t hashesComputed_ = 0;
  std::uint64_t hashesSkipped_ = 0;
  // The last hash of each file (device, inode) with the content identity it was taken of: one
  // hash serves every path of a file, and a file rewritten again and again is hashed at most
  // once per interval, so touching a large binary cannot buy the agent's CPU.
  struct Hashed {
    off_t size;
    std::int64_t mtimeNs;
    std::int64_t ctimeNs;
    std::int64_t atNs;
    std::array<std::uint8_t, 20> hash;
  };
  std::unordered_map<std::uint64_t, Hashed> hashes_;
  // Hashes the worker is taking, per file; at most the worker's queue of them unfinished.
  struct Pending {
    off_t size;
    std::int64_t mtimeNs;
    std::int64_t ctimeNs;
    std::int64_t atNs;
    std::shared_ptr<HashWorker::Job> job;
  };
  std::unordered_map<std::uint64_t, Pending> pending_;
  HashWorker* worker_ = nullptr;
  std::uint64_t hashesNotReady_ = 0;

  // The file's hash; nullopt when the worker has not taken it yet.
  std::optional<ContentHashBytes> hashWithinBudget(int fd, const Key& identity, uid_t owner);
  std::optional<ContentHashBytes> hashOnWorker(int fd, const Key& identity, uid_t owner,
                                               std::int64_t nowNs);
  // Moves the worker's finished hashes (of `file`, or of all files) to `hashes_`.
  void collect(std::uint64_t file);
  void collectAll();
  std::optional<std::string> packageOwning(const std::string& path, bool truncated, dev_t dev,
                                           ino_t ino) const;
};

// A file of at least this size is hashed at most once per interval, whatever its changes.
inline constexpr off_t kRateLimitedHashSize = 1 << 20;
inline constexpr std::int64_t kRehashIntervalNs = 2'000'000'000;

}  // namespace platform::es
