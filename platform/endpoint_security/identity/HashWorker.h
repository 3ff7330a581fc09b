// Hashes executables' content on a thread of its own, so that a thread reading events never reads
// a file. Bounded: a queue of at most a few jobs per file owner, each owner with a budget of bytes
// that refills over time, so that one user rewriting large programs cannot buy the agent's CPU. The
// jobs of different owners take turns a slice at a time: a small file is never stuck behind a
// large one.
//
// Threads: submit(), wait() and cancel() from any thread; the hashing runs on the worker's own.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform::es {

// Files larger than this are not hashed; their cdhash is all zeros.
inline constexpr off_t kMaxHashedFileSize = 64 * 1024 * 1024;

using ContentHashBytes = std::array<std::uint8_t, 20>;

// The first 20 bytes of the SHA-256 of a file's content, taken a slice at a time. The result is
// zeros when the file cannot be read, is not a regular file, is (or grows) larger than
// kMaxHashedFileSize or changes while it is read. Does not own `fd`.
class ContentHasher {
 public:
  explicit ContentHasher(int fd);
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  // Hashes up to `bytes` more of the file; true once finished (whole or failed).
  bool step(std::size_t bytes);
  ContentHashBytes result() const { return result_; }

 private:
  struct Digest;
  int fd_;
  std::unique_ptr<Digest> digest_;  // null once finished
  off_t offset_ = 0;
  ContentHashBytes result_{};
};

class HashWorker {
 public:
  struct Limits {
    std::size_t jobsPerOwner = 4;
    std::size_t jobs = 64;  // all owners together
    // Each owner's budget: full at start, refilled at bytesPerSecond up to burstBytes.
    std::uint64_t burstBytes = 256u << 20;
    std::uint64_t bytesPerSecond = 64u << 20;
    std::size_t sliceBytes = 1u << 20;  // hashed at a time before the next owner's turn
  };
  class Job;

  explicit HashWorker(Limits limits);
  HashWorker() : HashWorker(Limits{}) {}
  // Stops the thread; jobs not finished are abandoned.
  ~HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;

  // Queues the file open at `fd` (the worker keeps a descriptor of its own), `size` bytes long,
  // charged to `owner`; null when the owner's jobs or budget, or the queue, are full.
  std::shared_ptr<Job> submit(int fd, uid_t owner, std::uint64_t size);
  // The job's hash once it is done (zeros for a file that could not be hashed), waiting at most
  // `wait`; nullopt while it is still running.
  std::optional<ContentHashBytes> wait(const Job& job, std::chrono::microseconds wait);
  // Abandons a job whose result nobody needs any more.
  void cancel(const std::shared_ptr<Job>& job);

  // Submissions refused because the owner's budget was spent.
  std::uint64_t refusedOverBudget() const { return overBudget_.load(); }
  // Submissions refused because the owner's jobs or the queue were full.
  std::uint64_t refusedBusy() const { return busy_.load(); }

 private:
  struct Budget {
    double bytes;
    std::chrono::steady_clock::time_point at;
  };
  void run();
  bool spend(uid_t owner, std::uint64_t size);
  std::shared_ptr<Job> nextJob();
  void finish(const std::shared_ptr<Job>& job);

  const Limits limits_;
  std::mutex mutex_;
  std::condition_variable work_;  // a job queued, or stopping
  std::condition_variable done_;  // a job finished
  std::map<uid_t, std::deque<std::shared_ptr<Job>>> queues_;
  std::map<uid_t, Budget> budgets_;
  std::size_t queued_ = 0;
  uid_t lastOwner_ = 0;
  bool stopping_ = false;
  std::atomic<std::uint64_t> overBudget_{0};
  std::atomic<std::uint64_t> busy_{0};
  std::thread thread_;
};

}  // namespace platform::es
