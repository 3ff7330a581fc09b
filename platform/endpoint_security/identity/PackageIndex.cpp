#include "platform/endpoint_security/identity/PackageIndex.h"

#include <dirent.h>
#include <malloc.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/procfs/ProcFs.h"

namespace platform::es {
namespace {

// SipHash-2-4: a keyed hash, so collisions cannot be chosen without the key.
inline std::uint64_t rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

std::uint64_t siphash24(const std::uint64_t key[2], std::string_view data) {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key[0];
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key[1];
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key[0];
  std::uint64_t v3 = 0x7465646279746573ULL ^ key[1];
  auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t whole = n - n % 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = 0;
    for (int j = 7; j >= 0; --j) m = (m << 8) | p[i + static_cast<std::size_t>(j)];
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n & 0xff) << 56;
  for (std::size_t j = 0; j < n % 8; ++j)
    last |= static_cast<std::uint64_t>(p[whole + j]) << (8 * j);
  v3 ^= last;
  round();
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// Canonical form of directories, each resolved once: the parent's canonical form plus the last
// component, following it when it is a symbolic link.
class DirectoryResolver {
 public:
  const std::string& canonical(const std::string& dir) {
    if (auto it = memo_.find(dir); it != memo_.end()) return it->second;
    std::string result;
    if (dir.empty() || dir == "/") {
      result = "/";
    } else {
      const std::size_t slash = dir.rfind('/');
      const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
      const std::string& canonicalParent = canonical(parent);
      result = canonicalParent == "/" ? dir.substr(slash) : canonicalParent + dir.substr(slash);
      struct stat st {};
      if (::lstat(result.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(result.c_str(), resolved) != nullptr) result = resolved;
      }
    }
    return memo_.emplace(dir, std::move(result)).first->second;
  }

 private:
  std::unordered_map<std::string, std::string> memo_;
};

// Builds the canonical form of listed paths into one reused buffer; consecutive lines of a list
// mostly share their directory, which is then resolved only once.
class PathCanonicalizer {
 public:
  std::string_view operator()(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view dir = path.substr(0, slash == 0 ? 1 : slash);
    if (dir != lastDir_) {
      lastDir_.assign(dir);
      prefix_ = resolver_.canonical(lastDir_);
      if (prefix_.back() != '/') prefix_.push_back('/');
    }
    out_.assign(prefix_);
    out_.append(path.substr(slash + 1));
    return out_;
  }

 private:
  DirectoryResolver resolver_;
  std::string lastDir_;
  std::string prefix_;
  std::string out_;
};

}  // namespace

std::uint64_t PackageIndex::hash(std::string_view path) const {
  return siphash24(key_, path);
}

std::shared_ptr<const PackageIndex> PackageIndex::load(const std::string& infoDir) {
  auto index = std::make_shared<PackageIndex>();
  if (::getrandom(index->key_, sizeof index->key_, 0) != sizeof index->key_) {
    // Without randomness the index still works; the key is only fixed.
    index->key_[0] = 0x0123456789abcdefULL;
    index->key_[1] = static_cast<std::uint64_t>(::getpid());
  }
  DIR* dir = ::opendir(infoDir.c_str());
  if (dir == nullptr) return index;

  std::vector<std::pair<std::uint64_t, std::uint32_t>> entries;
  PathCanonicalizer canonical;
  std::string text;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    constexpr std::string_view kSuffix = ".list";
    if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
      continue;
    }
    std::string_view package = name.substr(0, name.size() - kSuffix.size());
    if (const std::size_t colon = package.find(':'); colon != std::string_view::npos) {
      package = package.substr(0, colon);
    }
    if (readProcFile((infoDir + "/" + std::string(name)).c_str(), text) < 0) continue;
    const auto owner = static_cast<std::uint32_t>(index->packages_.size());
    index->packages_.emplace_back(package);
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t eol = std::min(text.find('\n', at), text.size());
      const std::string_view line(text.data() + at, eol - at);
      at = eol + 1;
      if (line.empty() || line.front() != '/' || line == "/.") continue;
      entries.emplace_back(index->hash(canonical(line)), owner);
    }
  }
  ::closedir(dir);

  // Stable order keeps the first-read owner for a path that several lists name (directories).
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                entries.end());
  index->hashes_.reserve(entries.size());
  index->owners_.reserve(entries.size());
  for (const auto& [h, owner] : entries) {
    index->hashes_.push_back(h);
    index->owners_.push_back(owner);
  }
  return index;
}

const std::string* PackageIndex::owner(std::string_view canonicalPath) const {
  const std::uint64_t h = hash(canonicalPath);
  const auto it = std::lower_bound(hashes_.begin(), hashes_.end(), h);
  if (it == hashes_.end() || *it != h) return nullptr;
  return &packages_[owners_[static_cast<std::size_t>(it - hashes_.begin())]];
}

PackageIndexWatcher::PackageIndexWatcher(std::string dpkgDir, std::chrono::milliseconds quiet)
    : dpkgDir_(std::move(dpkgDir)), quiet_(quiet) {
  reload();
  inotify_ = UniqueFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (inotify_ && thread_.open() &&
      ::inotify_add_watch(inotify_.get(), dpkgDir_.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) >= 0) {
    thread_.start("es-packages", [this] { run(); });
  }
}

PackageIndexWatcher::~PackageIndexWatcher() {
  thread_.stop();
}

std::shared_ptr<const PackageIndex> PackageIndexWatcher::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void PackageIndexWatcher::reload() {
  auto index = PackageIndex::load(dpkgDir_ + "/info");
  {
    std::lock_guard lock(mutex_);
    current_ = std::move(index);
  }
  generation_.fetch_add(1, std::memory_order_acq_rel);
  // Loading churns through several times the index's size; give that back to the system.
  ::malloc_trim(0);
}

void PackageIndexWatcher::run() {
  bool dirty = false;
  for (;;) {
    pollfd changes{inotify_.get(), POLLIN, 0};
    const int timeout = dirty ? static_cast<int>(quiet_.count()) : -1;
    const ReaderThread::Wakeup seen = thread_.wait({&changes, 1}, timeout);
    if (!seen) return;
    if (seen.timedOut()) {  // quiet since the last change
      dirty = false;
      reload();
      continue;
    }
    if (changes.revents & POLLIN) {
      alignas(inotify_event) char buffer[4096];
      while (::read(inotify_.get(), buffer, sizeof buffer) > 0) {
      }
      dirty = true;
    }
  }
}

}  // namespace platform::es
