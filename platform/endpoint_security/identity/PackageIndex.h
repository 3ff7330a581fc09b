// Which installed Debian package owns a file, from dpkg's file lists. Paths are compared in
// canonical form, so "/bin/echo" as dpkg lists it matches "/usr/bin/echo" on a merged-/usr system.
// Paths are held as keyed 64-bit hashes (about 12 bytes per listed path); the key is random per
// load, so nobody can pick a path that collides with a packaged one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/ReaderThread.h"

namespace platform::es {

class PackageIndex {
 public:
  // Reads every "<package>.list" or "<package>:<arch>.list" file of `infoDir`. A missing or
  // unreadable directory gives an empty index.
  static std::shared_ptr<const PackageIndex> load(const std::string& infoDir);

  // The name of the package that lists `canonicalPath`, or null.
  const std::string* owner(std::string_view canonicalPath) const;
  std::size_t size() const { return hashes_.size(); }

 private:
  std::uint64_t hash(std::string_view path) const;

  std::uint64_t key_[2] = {0, 0};
  std::vector<std::uint64_t> hashes_;  // sorted
  std::vector<std::uint32_t> owners_;  // index into packages_, parallel to hashes_
  std::vector<std::string> packages_;
};

// Holds the current index of `dpkgDir` (its "info" folder) and loads it again, on a thread of
// its own, once the package database has been quiet for `quiet` after a change.
class PackageIndexWatcher {
 public:
  explicit PackageIndexWatcher(std::string dpkgDir,
                               std::chrono::milliseconds quiet = std::chrono::seconds(1));
  ~PackageIndexWatcher();
  PackageIndexWatcher(const PackageIndexWatcher&) = delete;
  PackageIndexWatcher& operator=(const PackageIndexWatcher&) = delete;

  std::shared_ptr<const PackageIndex> current() const;
  // Counts loads; changes whenever current() does.
  std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  void run();
  void reload();

  const std::string dpkgDir_;
  const std::chrono::milliseconds quiet_;
  mutable std::mutex mutex_;
  std::shared_ptr<const PackageIndex> current_;  // guarded by mutex_
  std::atomic<std::uint64_t> generation_{0};
  UniqueFd inotify_;
  ReaderThread thread_;
};

}  // namespace platform::es
