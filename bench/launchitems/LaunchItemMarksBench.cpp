// What watching the launch-item files themselves costs (needs root), against the alternative of
// one filesystem-wide mark filtered by path in user space. Prints, for a writer that rewrites a
// file no one watches (the rest of the machine) and one item file, the time per open-write-close
// with no watcher, with a folder mark plus an inode mark on each of N item files (the source's
// way), and with a filesystem mark for writes (every write on the filesystem reaches the agent,
// which would then find the path and throw almost all away); the records the agent had to read;
// the time to place N inode marks and the kernel memory they take (slab growth, a rough figure on
// a shared machine).
//
//   launch_item_marks [--items N] [--writes K]
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kFolderMask = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO |
                                      FAN_CLOSE_WRITE | FAN_ONDIR | FAN_EVENT_ON_CHILD;
constexpr std::uint64_t kWriteMask = FAN_CLOSE_WRITE | FAN_MODIFY;

// Nanoseconds per open, 64-byte write and close of `path`, best of three runs of `writes`.
double writeCost(const std::string& path, int writes) {
  const char data[64] = "[Service]\nExecStart=/usr/bin/true\n";
  double best = 1e18;
  for (int run = 0; run < 3; ++run) {
    const auto began = Clock::now();
    for (int i = 0; i < writes; ++i) {
      // In place, no truncation: ext4 with online discard makes each truncation a disk trip.
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || ::pwrite(fd, data, sizeof data, 0) != sizeof data) std::abort();
      ::close(fd);
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - began).count();
    best = std::min(best, ns / writes);
  }
  return best;
}

// Drains a fanotify group on its own thread, counting records, until stopped.
class Drain {
 public:
  explicit Drain(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~Drain() {
    stop_ = true;
    thread_.join();
  }
  std::uint64_t records() const { return records_; }

 private:
  void run() {
    std::vector<char> buffer(64 * 1024);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      for (ssize_t at = 0; n > 0 && at < n;) {
        fanotify_event_metadata meta;
        std::memcpy(&meta, buffer.data() + at, sizeof meta);
        if (meta.event_len == 0) break;
        ++records_;
        at += meta.event_len;
      }
    }
  }
  const int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> records_{0};
  std::thread thread_;
};

long slabKb() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  long value = 0;
  std::string unit;
  while (in >> key >> value >> unit) {
    if (key == "Slab:") return value;
  }
  return 0;
}

int group() {
  const int fd = ::fanotify_init(
      FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_REPORT_FID | FAN_CLOEXEC | FAN_NONBLOCK,
      O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("fanotify_init (needs root)");
    std::exit(1);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  int items = 1000;
  int writes = 20000;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--items") == 0) items = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--writes") == 0) writes = std::atoi(argv[i + 1]);
  }
  char dir[] = "/var/tmp/launch-item-marks-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string root = dir;
  fs::create_directories(root + "/items");
  fs::create_directories(root + "/elsewhere");
  const std::string other = root + "/elsewhere/log";
  std::ofstream(other) << "x";
  for (int i = 0; i < items; ++i) {
    std::ofstream(root + "/items/" + std::to_string(i) + ".service") << "[Service]\n";
  }
  const std::string item = root + "/items/0.service";
  ::sync();

  const double bareOther = writeCost(other, writes);
  const double bareItem = writeCost(item, writes);
  std::printf("[ marks ] %d items, %d writes per run, best of 3, on %s\n", items, writes, dir);
  std::printf(
      "[ marks ] no watcher:                 %7.0f ns/write elsewhere, %7.0f ns/write to an item\n",
      bareOther, bareItem);
  {
    const int fd = group();
    Drain drain(fd);
    ::fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_ONLYDIR, kFolderMask, AT_FDCWD,
                    (root + "/items").c_str());
    const long slabBefore = slabKb();
    const auto began = Clock::now();
    for (int i = 0; i < items; ++i) {
      const std::string path = root + "/items/" + std::to_string(i) + ".service";
      if (::fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_DONT_FOLLOW, kWriteMask, AT_FDCWD,
                          path.c_str()) != 0) {
        std::perror("fanotify_mark");
        return 1;
      }
    }
    const double markUs =
        std::chrono::duration<double, std::micro>(Clock::now() - began).count() / items;
    const long slabAfter = slabKb();
    const double other1 = writeCost(other, writes);
    const std::uint64_t before = drain.records();
    const double item1 = writeCost(item, writes);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf(
        "[ marks ] inode marks (the source):  %7.0f ns/write elsewhere, %7.0f ns/write to an item"
        " (%llu records read for %d item writes)\n",
        other1, item1, static_cast<unsigned long long>(drain.records() - before), 3 * writes);
    std::printf(
        "[ marks ] placing an inode mark: %.2f us; slab growth %ld kB for %d marks (%.0f B each)\n",
        markUs, slabAfter - slabBefore, items,
        1024.0 * static_cast<double>(slabAfter - slabBefore) / items);
    ::close(fd);
  }
  {
    const int fd = group();
    Drain drain(fd);
    if (::fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kWriteMask, AT_FDCWD, dir) != 0) {
      std::perror("fanotify_mark FAN_MARK_FILESYSTEM");
      return 1;
    }
    const std::uint64_t before = drain.records();
    const double other2 = writeCost(other, writes);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::uint64_t unrelated = drain.records() - before;
    const double item2 = writeCost(item, writes);
    std::printf(
        "[ marks ] filesystem mark:            %7.0f ns/write elsewhere, %7.0f ns/write to an item"
        " (%llu records read for %d writes elsewhere, all to be thrown away)\n",
        other2, item2, static_cast<unsigned long long>(unrelated), 3 * writes);
    ::close(fd);
  }
  fs::remove_all(root);
  return 0;
}
