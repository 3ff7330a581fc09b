// Code identity: dpkg ownership with canonical paths, the content hash and its cache.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/HashWorker.h"
#include "platform/endpoint_security/identity/PackageIndex.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace platform::es;
using namespace std::chrono_literals;
using platform::UniqueFd;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// A file of `size` bytes that takes no space: hashing it costs as much as a real one of its size.
fs::path sparseFile(const fs::path& path, off_t size) {
  UniqueFd fd(::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd || ::ftruncate(fd.get(), size) != 0) return {};
  return path;
}

std::string hex(const std::array<std::uint8_t, 20>& bytes) {
  std::string out;
  char two[3];
  for (const auto b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

// A dpkg database whose lists name files through a symlinked directory, as on merged /usr:
// <root>/bin -> usr/bin.
class PackageIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path() / "root";
    fs::create_directories(root_ / "usr/bin");
    fs::create_directories(root_ / "usr/lib/tools");
    fs::create_symlink("usr/bin", root_ / "bin");
    fs::create_directories(dir_.path() / "dpkg/info");
    writeList("toolbox:amd64", {"/.", root_.string() + "/bin", root_.string() + "/bin/tool"});
    writeList("helpers", {root_.string() + "/usr/lib/tools/helper"});
    writeFile(dir_.path() / "dpkg/info/toolbox:amd64.md5sums", root_.string() + "/bin/notlisted\n");
  }

  void writeList(const std::string& package, std::initializer_list<std::string> paths) {
    std::string text;
    for (const auto& p : paths) text += p + "\n";
    writeFile(dir_.path() / "dpkg/info" / (package + ".list"), text);
  }

  std::string infoDir() const { return (dir_.path() / "dpkg/info").string(); }

  const test_support::TempDir dir_{"es-identity"};
  fs::path root_;
};

TEST_F(PackageIndexTest, OwnersAreFoundByCanonicalPath) {
  const auto index = PackageIndex::load(infoDir());
  const struct {
    std::string path;
    const char* owner;  // null: not packaged
  } cases[] = {
      {root_.string() + "/usr/bin/tool", "toolbox"},  // listed as <root>/bin/tool; arch dropped
      {root_.string() + "/usr/lib/tools/helper", "helpers"},
      {root_.string() + "/bin/tool", nullptr},  // not canonical: never what the kernel reports
      {root_.string() + "/usr/bin/other", nullptr},
      {root_.string() + "/usr/bin/notlisted", nullptr},  // only in a non-list file
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string* owner = index->owner(c.path);
    if (c.owner == nullptr) {
      EXPECT_EQ(owner, nullptr);
    } else {
      ASSERT_NE(owner, nullptr);
      EXPECT_EQ(*owner, c.owner);
    }
  }
}

TEST_F(PackageIndexTest, MissingDatabaseGivesEmptyIndex) {
  const auto index = PackageIndex::load((dir_.path() / "nothing").string());
  EXPECT_EQ(index->size(), 0u);
  EXPECT_EQ(index->owner("/usr/bin/tool"), nullptr);
}

TEST_F(PackageIndexTest, WatcherReloadsAfterThePackageDatabaseChanges) {
  PackageIndexWatcher watcher((dir_.path() / "dpkg").string(), std::chrono::milliseconds(20));
  const std::string newTool = root_.string() + "/usr/bin/newtool";
  EXPECT_EQ(watcher.current()->owner(newTool), nullptr);
  const auto before = watcher.generation();

  writeList("newpkg", {root_.string() + "/bin/newtool"});
  writeFile(dir_.path() / "dpkg/status", "Package: newpkg\n");  // what dpkg rewrites

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (watcher.generation() == before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(watcher.generation(), before);
  const std::string* owner = watcher.current()->owner(newTool);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(*owner, "newpkg");
}

TEST(ContentHash, IsTheSha256PrefixOrZeros) {
  const test_support::TempDir dir("es-identity");
  const fs::path small = dir.path() / "abc";
  writeFile(small, "abc");
  const fs::path big = dir.path() / "big";
  {
    UniqueFd fd(::open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ASSERT_EQ(::ftruncate(fd.get(), kMaxHashedFileSize + 1), 0);
  }
  const fs::path limit = dir.path() / "limit";
  {
    UniqueFd fd(::open(limit.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ASSERT_EQ(::ftruncate(fd.get(), kMaxHashedFileSize), 0);
  }

  const std::string zeros(40, '0');
  const struct {
    fs::path path;
    std::string expected;
  } cases[] = {
      // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223b00361a3 96177a9c...
      {small, "ba7816bf8f01cfea414140de5dae2223b00361a3"},
      {big, zeros},         // one byte over the limit: not hashed
      {dir.path(), zeros},  // not a regular file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    UniqueFd fd(::open(c.path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    EXPECT_EQ(hex(contentHash(fd.get())), c.expected);
  }
  UniqueFd atLimit(::open(limit.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_NE(hex(contentHash(atLimit.get())), zeros);  // exactly at the limit is still hashed
  EXPECT_EQ(hex(contentHash(-1)), zeros);
}

TEST(ExecutableCache, HashesAFileOnceUntilItChanges) {
  const test_support::TempDir dir("es-identity");
  const fs::path file = dir.path() / "prog";
  writeFile(file, "abc");
  ExecutableCache cache(nullptr);
  auto open = [&] { return UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)); };

  auto first = cache.forFile(file.string(), false, open().get());
  auto second = cache.forFile(file.string(), false, open().get());
  EXPECT_EQ(cache.hashesComputed(), 1u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(hex(first->cdhash), "ba7816bf8f01cfea414140de5dae2223b00361a3");
  EXPECT_EQ(first->stat.st_size, 3);
  EXPECT_FALSE(first->package.has_value());

  writeFile(file, "abcd");  // new size (and mtime/ctime): a new identity
  auto third = cache.forFile(file.string(), false, open().get());
  EXPECT_EQ(cache.hashesComputed(), 2u);
  EXPECT_EQ(hex(third->cdhash), "88d4266fd4e6338d13b845fcf289579d209c8978");
  EXPECT_EQ(third->stat.st_size, 4);

  auto unreadable = cache.forFile((dir.path() / "missing").string(), false, -1);
  EXPECT_EQ(hex(unreadable->cdhash), std::string(40, '0'));
}

TEST(ExecutableCache, ALargeFileChangingAgainAndAgainIsHashedOncePerInterval) {
  const test_support::TempDir dir("es-identity");
  const fs::path file = dir.path() / "big";
  writeFile(file, std::string(kRateLimitedHashSize, 'a'));
  ExecutableCache cache(nullptr);
  auto open = [&] { return UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)); };
  auto first = cache.forFile(file.string(), false, open().get());
  EXPECT_NE(hex(first->cdhash), std::string(40, '0'));

  writeFile(file, std::string(kRateLimitedHashSize, 'b'));  // changed at once: not hashed again
  auto second = cache.forFile(file.string(), false, open().get());
  EXPECT_EQ(hex(second->cdhash), std::string(40, '0'));
  EXPECT_EQ(cache.hashesComputed(), 1u);
  EXPECT_EQ(cache.hashesSkipped(), 1u);
}

TEST(ExecutableCache, DescribesARunningPackagedProgram) {
  PackageIndexWatcher packages("/var/lib/dpkg");
  if (packages.current()->owner("/usr/bin/sleep") == nullptr) {
    GTEST_SKIP() << "coreutils is not listed by dpkg here";
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ExecutableCache cache(&packages);
  std::shared_ptr<const Executable> exe;
  // The child is ours; wait until it runs the new image.
  for (int i = 0; i < 500 && (!exe || exe->path != "/usr/bin/sleep"); ++i) {
    exe = cache.forProcess(child);
    if (!exe || exe->path != "/usr/bin/sleep")
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe->path, "/usr/bin/sleep");  // merged /usr: the canonical path
  ASSERT_TRUE(exe->package.has_value());
  EXPECT_EQ(*exe->package, "coreutils");
  struct stat st {};
  ASSERT_EQ(::stat("/usr/bin/sleep", &st), 0);
  EXPECT_EQ(exe->stat.st_ino, st.st_ino);
  EXPECT_EQ(exe->stat.st_size, st.st_size);
  EXPECT_EQ(exe->stat.st_mtimespec.tv_sec, st.st_mtim.tv_sec);
  UniqueFd fd(::open("/usr/bin/sleep", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(exe->cdhash, contentHash(fd.get()));
  EXPECT_NE(hex(exe->cdhash), std::string(40, '0'));
  EXPECT_EQ(cache.forProcess(child), nullptr);  // reaped: gone
}

TEST(HashWorker, HashesAsContentHashDoesAndASmallFileIsNotStuckBehindALargeOne) {
  const test_support::TempDir dir("es-identity");
  const fs::path large = sparseFile(dir.path() / "large", kMaxHashedFileSize);
  const fs::path small = dir.path() / "small";
  writeFile(small, "abc");
  UniqueFd largeFd(::open(large.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd smallFd(::open(small.c_str(), O_RDONLY | O_CLOEXEC));
  HashWorker worker;
  const auto first = worker.submit(largeFd.get(), 1000, kMaxHashedFileSize);
  const auto second = worker.submit(smallFd.get(), 1001, 3);
  ASSERT_TRUE(first && second);
  const auto smallHash = worker.wait(*second, 2s);
  ASSERT_TRUE(smallHash);
  EXPECT_FALSE(worker.wait(*first, 0us)) << "the small file waited for the large one";
  EXPECT_EQ(hex(*smallHash), "ba7816bf8f01cfea414140de5dae2223b00361a3");
  const auto largeHash = worker.wait(*first, 20s);
  ASSERT_TRUE(largeHash);
  EXPECT_EQ(*largeHash, contentHash(largeFd.get()));
  EXPECT_NE(hex(*largeHash), std::string(40, '0'));
}

TEST(HashWorker, EachOwnerHasABudgetOfBytesAndOfQueuedJobs) {
  const test_support::TempDir dir("es-identity");
  const fs::path large = sparseFile(dir.path() / "large", kMaxHashedFileSize);
  const fs::path small = dir.path() / "small";
  writeFile(small, "abc");
  UniqueFd largeFd(::open(large.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd smallFd(::open(small.c_str(), O_RDONLY | O_CLOEXEC));
  HashWorker::Limits limits;
  limits.jobsPerOwner = 1;
  limits.burstBytes = 10u << 20;
  limits.bytesPerSecond = 1;  // no refill within the test
  HashWorker worker(limits);
  // What is charged is the size given; the large file keeps its owner's one job busy meanwhile.
  const struct {
    uid_t owner;
    int fd;
    std::uint64_t size;
    bool accepted;
  } cases[] = {
      {1000, largeFd.get(), 6u << 20, true},
      {1000, smallFd.get(), 1, false},         // its one job is still running
      {1001, smallFd.get(), 6u << 20, true},   // another owner, a budget of its own
      {1001, smallFd.get(), 6u << 20, false},  // 4 MiB left
      {1001, smallFd.get(), 4u << 20, true},
      {1002, smallFd.get(), 11u << 20, false},  // more than a whole budget
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "owner " << c.owner << ", " << c.size << " bytes");
    const auto job = worker.submit(c.fd, c.owner, c.size);
    EXPECT_EQ(job != nullptr, c.accepted);
    if (job && c.owner != 1000) {
      EXPECT_TRUE(worker.wait(*job, 2s));  // frees the owner's one job
    }
  }
  EXPECT_EQ(worker.refusedBusy(), 1u);
  EXPECT_EQ(worker.refusedOverBudget(), 2u);
}

TEST(ExecutableCache, WithAWorkerALargeFileIsDescribedWithoutItsHashUntilItIsReady) {
  const test_support::TempDir dir("es-identity");
  const fs::path large = sparseFile(dir.path() / "large", kMaxHashedFileSize);
  const fs::path small = dir.path() / "small";
  writeFile(small, "abc");
  HashWorker worker;
  ExecutableCache cache(nullptr);
  cache.hashOn(&worker);
  auto open = [](const fs::path& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  };
  // A small program's hash is ready within the wait.
  const auto smallExe = cache.forFile(small.string(), false, open(small).get());
  EXPECT_EQ(hex(smallExe->cdhash), "ba7816bf8f01cfea414140de5dae2223b00361a3");
  EXPECT_EQ(cache.hashesNotReady(), 0u);

  auto exe = cache.forFile(large.string(), false, open(large).get());
  EXPECT_EQ(hex(exe->cdhash), std::string(40, '0'));
  EXPECT_EQ(cache.hashesNotReady(), 1u);
  for (int i = 0; i < 1000 && hex(exe->cdhash) == std::string(40, '0'); ++i) {
    std::this_thread::sleep_for(10ms);
    exe = cache.forFile(large.string(), false, open(large).get());
  }
  EXPECT_EQ(exe->cdhash, contentHash(open(large).get()));
  EXPECT_NE(hex(exe->cdhash), std::string(40, '0'));
  EXPECT_EQ(cache.hashesComputed(), 2u);  // asked for once while it was being taken
  EXPECT_EQ(cache.forFile(large.string(), false, open(large).get()), exe);  // kept once hashed
}

}  // namespace
