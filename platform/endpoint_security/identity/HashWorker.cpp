#include "platform/endpoint_security/identity/HashWorker.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ThreadName.h"
#include "platform/UniqueFd.h"

namespace platform::es {
namespace {

constexpr std::size_t kReadBytes = 1 << 16;

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Whether the file is still as it was when its hashing began.
bool unchanged(int fd, const struct stat& before) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

}  // namespace

struct ContentHasher::Digest {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx{EVP_MD_CTX_new()};
  struct stat before {};
};

ContentHasher::ContentHasher(int fd) : fd_(fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxHashedFileSize) {
    return;
  }
  auto digest = std::make_unique<Digest>();
  digest->before = st;
  if (!digest->ctx || EVP_DigestInit_ex(digest->ctx.get(), EVP_sha256(), nullptr) != 1) return;
  digest_ = std::move(digest);
}

ContentHasher::~ContentHasher() = default;

bool ContentHasher::step(std::size_t bytes) {
  if (!digest_) return true;
  static thread_local std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadBytes]);
  for (std::size_t taken = 0; taken < bytes;) {
    const ssize_t n = ::pread(fd_, buffer.get(), std::min(kReadBytes, bytes - taken), offset_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || offset_ + n > kMaxHashedFileSize ||  // unreadable, or grew while being read
        EVP_DigestUpdate(digest_->ctx.get(), buffer.get(), static_cast<std::size_t>(n)) != 1) {
      digest_.reset();
      return true;
    }
    if (n == 0) {
      // A file written meanwhile has no content of its own: its hash would be of neither version.
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (EVP_DigestFinal_ex(digest_->ctx.get(), digest, &length) == 1 &&
          length >= result_.size() && unchanged(fd_, digest_->before)) {
        std::copy(digest, digest + result_.size(), result_.begin());
      }
      digest_.reset();
      return true;
    }
    offset_ += n;
    taken += static_cast<std::size_t>(n);
  }
  return false;
}

class HashWorker::Job {
 public:
  Job(UniqueFd file, uid_t owner) : fd(std::move(file)), owner(owner), hasher(fd.get()) {}

  const UniqueFd fd;
  const uid_t owner;
  ContentHasher hasher;  // the worker's thread only
  // Under the worker's mutex.
  bool done = false;
  bool cancelled = false;
  ContentHashBytes hash{};
};

HashWorker::HashWorker(Limits limits) : limits_(limits), thread_([this] { run(); }) {}

HashWorker::~HashWorker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  thread_.join();
}

std::shared_ptr<HashWorker::Job> HashWorker::submit(int fd, uid_t owner, std::uint64_t size) {
  std::unique_lock lock(mutex_);
  const auto queue = queues_.find(owner);
  if (queued_ >= limits_.jobs ||
      (queue != queues_.end() && queue->second.size() >= limits_.jobsPerOwner)) {
    ++busy_;
    return nullptr;
  }
  if (!spend(owner, size)) {
    ++overBudget_;
    return nullptr;
  }
  UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!own) return nullptr;
  auto job = std::make_shared<Job>(std::move(own), owner);
  queues_[owner].push_back(job);
  ++queued_;
  lock.unlock();
  work_.notify_one();
  return job;
}

bool HashWorker::spend(uid_t owner, std::uint64_t size) {
  const auto now = std::chrono::steady_clock::now();
  const double burst = static_cast<double>(limits_.burstBytes);
  if (budgets_.size() > 1024) {  // forget owners whose budget has refilled: they start full
    std::erase_if(budgets_, [&](const auto& entry) {
      const std::chrono::duration<double> idle = now - entry.second.at;
      return entry.second.bytes + idle.count() * static_cast<double>(limits_.bytesPerSecond) >=
             burst;
    });
  }
  auto [it, fresh] = budgets_.try_emplace(owner, Budget{burst, now});
  Budget& budget = it->second;
  const std::chrono::duration<double> elapsed = now - budget.at;
  budget.bytes =
      std::min(burst, budget.bytes + elapsed.count() * static_cast<double>(limits_.bytesPerSecond));
  budget.at = now;
  if (budget.bytes < static_cast<double>(size)) return false;
  budget.bytes -= static_cast<double>(size);
  return true;
}

std::optional<ContentHashBytes> HashWorker::wait(const Job& job, std::chrono::microseconds wait) {
  std::unique_lock lock(mutex_);
  if (!done_.wait_for(lock, wait, [&] { return job.done; })) return std::nullopt;
  return job.hash;
}

void HashWorker::cancel(const std::shared_ptr<Job>& job) {
  std::lock_guard lock(mutex_);
  job->cancelled = true;
}

std::shared_ptr<HashWorker::Job> HashWorker::nextJob() {
  while (!queues_.empty()) {
    auto it = queues_.upper_bound(lastOwner_);
    if (it == queues_.end()) it = queues_.begin();
    std::deque<std::shared_ptr<Job>>& queue = it->second;
    if (queue.front()->cancelled) {
      queue.pop_front();
      --queued_;
      if (queue.empty()) queues_.erase(it);
      continue;
    }
    lastOwner_ = it->first;
    return queue.front();
  }
  return nullptr;
}

void HashWorker::finish(const std::shared_ptr<Job>& job) {
  job->done = true;
  job->hash = job->hasher.result();
  // A job is at the front of its owner's queue from its first slice to its last.
  const auto it = queues_.find(job->owner);
  it->second.pop_front();
  --queued_;
  if (it->second.empty()) queues_.erase(it);
  done_.notify_all();
}

void HashWorker::run() {
  platform::nameThisThread("es-hash");
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return stopping_ || queued_ > 0; });
      if (stopping_) return;
      job = nextJob();
    }
    if (!job) continue;
    const bool finished = job->hasher.step(limits_.sliceBytes);
    if (finished) {
      std::lock_guard lock(mutex_);
      finish(job);
    }
  }
}

}  // namespace platform::es
