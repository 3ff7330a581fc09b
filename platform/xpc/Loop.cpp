#include "platform/xpc/Loop.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "platform/EventFd.h"
#include "platform/Scheduling.h"
#include "platform/ThreadName.h"
#include "platform/WakeBatch.h"

namespace xpc {

namespace {
// The loop whose writes this thread runs while that loop's thread sleeps (see postWrite).
thread_local const Loop* tHelping = nullptr;
}  // namespace

std::uint64_t monotonicMicroseconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::shared_ptr<Loop> Loop::create() {
  std::shared_ptr<Loop> loop(new Loop());
  if (!loop->wakeFd_) return nullptr;
  return loop;
}

Loop::Loop() : wakeFd_(platform::makeEventFd()) {}

Loop::~Loop() {
  if (thread_.joinable()) {
    // The thread has ended (it holds a reference to the loop while it runs).
    if (onLoopThread() || thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  bool ended;
  {
    std::lock_guard lock(mutex_);
    ended = ended_;
  }
  if (!ended) finish();
}

void Loop::start() {
  std::lock_guard lock(mutex_);
  if (started_ || stopping_) return;
  started_ = true;
  thread_ = std::thread([self = shared_from_this()] { self->main(); });
}

void Loop::stop() {
  bool started;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    started = started_;
  }
  if (!started) {
    finish();
    return;
  }
  wake();
  if (onLoopThread()) {
    thread_.detach();  // the thread keeps the loop alive until it has finished
    return;
  }
  thread_.join();
}

bool Loop::onLoopThread() const {
  return threadId_.load() == std::this_thread::get_id();
}

bool Loop::helping() const {
  return tHelping == this;
}

bool Loop::inLoopContext() const {
  if (onLoopThread() || helping()) return true;
  std::lock_guard lock(mutex_);
  return !started_ || ended_;
}

void Loop::run(std::function<void()> task) {
  if (onLoopThread()) {
    task();
    return;
  }
  post(std::move(task));
}

void Loop::post(std::function<void()> task) {
  enqueue({std::move(task), false});
}

void Loop::postWrite(std::function<void()> task) {
  enqueue({std::move(task), true});
}

void Loop::enqueue(Task task) {
  bool needWake = false;
  bool queued = false;
  const bool write = task.write;
  {
    std::lock_guard lock(mutex_);
    if (!ended_) {
      tasks_.push_back(std::move(task));
      queued = true;
      needWake = !wakePending_;
      wakePending_ = true;
    }
  }
  if (!queued) {  // the loop has ended
    std::lock_guard lock(afterEndMutex_);
    task.run();
    return;
  }
  if (!needWake) return;
  if (platform::WakeBatch::open()) {
    // The caller is handing over a run of work: the loop is woken once, when the run ends, or
    // not at all when the caller can write out what it handed over itself.
    platform::WakeBatch::defer([weak = weak_from_this(), write] {
      const auto loop = weak.lock();
      if (!loop) return;
      if (write) {
        loop->writeOrWake();
      } else {
        loop->wake();
      }
    });
    return;
  }
  wake();
}

void Loop::writeOrWake() {
  // Never inside another loop's work: a thread runs one loop's tasks at a time.
  if (tHelping == nullptr && !onLoopThread()) {
    std::unique_lock turn(turn_, std::try_to_lock);
    if (turn) {
      std::vector<Task> writes;
      bool left = true;
      {
        std::lock_guard lock(mutex_);
        if (started_ && !stopping_ && !ended_) {
          // Only the writes at the head: whatever was posted before another task runs before it.
          const auto end =
              std::find_if(tasks_.begin(), tasks_.end(), [](const Task& t) { return !t.write; });
          writes.assign(std::make_move_iterator(tasks_.begin()), std::make_move_iterator(end));
          tasks_.erase(tasks_.begin(), end);
          left = !tasks_.empty();
          if (!left) wakePending_ = false;
        }
      }
      if (!writes.empty()) {
        tHelping = this;
        for (Task& write : writes) write.run();
        writes.clear();  // what they held is let go in the loop's context too
        const bool changed = waitingChanged();
        tHelping = nullptr;
        turn.unlock();
        if (!left && !changed) return;
      }
    }
  }
  wake();
}

bool Loop::waitingChanged() {
  if (pollables_ != waiting_.pollables) return true;
  std::uint64_t deadline = UINT64_MAX;
  for (std::size_t i = 0; i < pollables_.size(); ++i) {
    if (pollables_[i]->pollEvents() != waiting_.events[i]) return true;
    deadline = std::min(deadline, pollables_[i]->deadline());
  }
  return deadline < waiting_.deadline;
}

void Loop::wake() {
  platform::signalEventFd(wakeFd_);
}

void Loop::add(std::shared_ptr<Pollable> pollable) {
  pollables_.push_back(std::move(pollable));
}

void Loop::remove(const Pollable* pollable) {
  std::erase_if(pollables_, [&](const auto& p) { return p.get() == pollable; });
}

void Loop::runTasks() {
  std::vector<Task> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
    wakePending_ = false;
  }
  for (auto& task : tasks) task.run();
}

void Loop::main() {
  platform::nameThisThread("xpc-loop");
  // Its work comes in short bursts that others wait for (a document for every client, a reply):
  // a short slice gets it a CPU soon after it wakes. It keeps its nice value: a higher priority
  // made it preempt a busy producer and write smaller batches, at more CPU per document.
  platform::runPromptly();
  threadId_ = std::this_thread::get_id();
  std::vector<pollfd> fds;
  std::unique_lock turn(turn_);
  for (;;) {
    runTasks();
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    std::vector<std::shared_ptr<Pollable>>& active = waiting_.pollables;
    active = pollables_;
    waiting_.events.clear();
    waiting_.deadline = UINT64_MAX;
    fds.clear();
    fds.push_back({wakeFd_.get(), POLLIN, 0});
    std::uint64_t now = monotonicMicroseconds();
    int timeout = -1;
    for (const auto& p : active) {
      const short events = p->pollEvents();
      waiting_.events.push_back(events);
      fds.push_back({events ? p->pollFd() : -1, events, 0});
      const std::uint64_t deadline = p->deadline();
      if (deadline == UINT64_MAX) continue;
      waiting_.deadline = std::min(waiting_.deadline, deadline);
      const std::uint64_t waitMs = deadline <= now ? 0 : (deadline - now + 999) / 1000;
      const int ms = static_cast<int>(std::min<std::uint64_t>(waitMs, 60'000));
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    // Asleep, the loop's work is open to a thread that hands it writes (see postWrite).
    turn.unlock();
    const int polled = ::poll(fds.data(), fds.size(), timeout);
    const int pollError = errno;
    turn.lock();
    if (polled < 0 && pollError != EINTR) {
      // Only resource exhaustion gets here; retry without spinning.
      ::poll(nullptr, 0, 10);
      continue;
    }
    if (fds[0].revents) {
      std::uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_.get(), &count, sizeof count);
    }
    now = monotonicMicroseconds();
    // What a write did meanwhile leaves these events stale at worst: every handler reads and
    // writes without blocking.
    for (std::size_t i = 0; i < active.size(); ++i) {
      const short revents = fds[i + 1].revents;
      if (revents || active[i]->deadline() <= now) active[i]->handle(revents);
    }
  }
  waiting_ = {};
  finish();
}

void Loop::finish() {
  std::lock_guard afterEnd(afterEndMutex_);
  auto pollables = std::move(pollables_);
  pollables_.clear();
  for (const auto& p : pollables) p->shutdown();
  pollables.clear();
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  // Tasks queued before the end still run, on this thread.
  for (;;) {
    std::vector<Task> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    if (tasks.empty()) break;
    for (auto& task : tasks) task.run();
  }
  threadId_ = std::thread::id{};
}

}  // namespace xpc
