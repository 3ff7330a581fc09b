// The executable of a process as the event source reports it: path, status (with birth time) and
// code identity. Linux has no code signing, so identity means: a file that an installed Debian
// package lists is a platform binary whose signing id is the package's name; the cdhash is the
// first 20 bytes of the SHA-256 of the file's content. Entries are kept per path and file
// identity (device, inode, size, mtime, ctime), so an unchanged file is hashed once.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es {

class PackageIndexWatcher;

struct Executable {
  std::string path;
  bool pathTruncated = false;
  es_stat_t stat{};
  std::array<std::uint8_t, 20> cdhash{};
  std::optional<std::string> package;  // the owning package's name; absent when none
};

// Files larger than this are not hashed; their cdhash is all zeros.
inline constexpr off_t kMaxHashedFileSize = 64 * 1024 * 1024;

// The first 20 bytes of the SHA-256 of the file open at `fd`; zeros when it cannot be read or is
// larger than kMaxHashedFileSize.
std::array<std::uint8_t, 20> contentHash(int fd);

class ExecutableCache {
 public:
  // `packages` may be null (no package identity); `capacity` bounds the number of entries.
  explicit ExecutableCache(const PackageIndexWatcher* packages, std::size_t capacity = 2048);

  // The executable of process `pid`, from /proc/<pid>/exe; null when the process has none or is
  // gone.
  std::shared_ptr<const Executable> forProcess(pid_t pid);
  // The executable at `path` as opened by `fd` (-1: not open); `path` is taken as canonical.
  std::shared_ptr<const Executable> forFile(const std::string& path, bool truncated, int fd);

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
};

}  // namespace platform::es
