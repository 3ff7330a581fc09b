#include "platform/endpoint_security/process/BpfSource.h"

#include <bpf/libbpf.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Scheduling.h"
#include "platform/WakeBatch.h"
#include "platform/endpoint_security/bpf/ProcessRecords.h"
#include "platform/endpoint_security/client/BpfSupport.h"
#include "platform/endpoint_security/client/ReaderThread.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/identity/HashWorker.h"
#include "platform/endpoint_security/process/BpfTracker.h"
#include "platform/endpoint_security/process/EventRing.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/log/Log.h"
#include "platform/procfs/ProcFs.h"
#include "process.skel.h"

namespace platform::es {
namespace {

// While records stream in (more than kStormRecords in about the last 10 ms), the reader pauses
// after each read, so that one wake-up (and one write to each client) serves many records: 1 ms
// for every kRecordsPerGatherMs records in about the last 10 ms, at most kGather. Otherwise it
// reads again at once: the fork, exec and exit of a program or two follow each other within a
// millisecond and are not held back. Each read costs tens of microseconds besides its records (the
// wake-up, the code and the buffers the storm pushed out of the caches, a write per client): a
// full storm (several thousand records a second) pauses 12 ms, which spends about a fifth less CPU
// per event than 8 ms for 4 ms more delay (the reader runs promptly, so the pause is most of a
// storm's delay, about 14 ms at the 99th percentile), while a burst of a few programs pauses a
// millisecond or two.
constexpr std::chrono::milliseconds kGather{12};
constexpr double kStormRecords = 6.5;
constexpr double kRecordsPerGatherMs = 6;
constexpr double kRateWindowNs = 10e6;
// A read's events are handed over in runs of this many: each run's reports are written (or the
// transport's thread woken) as it ends, so that the buffers they took come back, still in the
// cache, for the next run. One write per storm read left a read's worth of buffers (a fifth of a
// megabyte) for the storm to push out of the cache before they came round again.
constexpr int kRunEvents = 32;

// Records read recently, each counting less as it ages (an exponential decay over the window).
class RecentRecords {
 public:
  double add(int records, std::uint64_t nowNs) {
    const double age = static_cast<double>(nowNs - lastNs_);
    count_ = count_ * std::exp(-age / kRateWindowNs) + records;
    lastNs_ = nowNs;
    return count_;
  }

 private:
  double count_ = 0;
  std::uint64_t lastNs_ = 0;
};

struct SkeletonDeleter {
  void operator()(process_bpf* skeleton) const { process_bpf::destroy(skeleton); }
};

class BpfSource final : public Source {
 public:
  explicit BpfSource(BpfOptions options) : options_(options) {}
  ~BpfSource() override { stop(); }

  std::string_view name() const override { return "bpf"; }
  bool produces(es_event_type_t type) const override { return isProcessKind(type); }

  es_new_client_result_t open(std::string& why) override;
  void start(SourceContext& context) override;
  void stop() override;

 private:
  static int onRecord(void* self, void* data, std::size_t size);
  void readLoop();
  // Reads what the ring holds; false when the thread is to end.
  bool readRing(int& records);
  void checkLosses();
  void reportCuts(bool force);
  void reportPressedCuts(const std::map<uid_t, std::uint64_t>& pressed);
  void reportHashes();
  bool push(std::unique_ptr<PendingEvent> event);

  const BpfOptions options_;
  std::unique_ptr<process_bpf, SkeletonDeleter> skeleton_;
  UniqueRingBuffer ring_;
  // Woken by another source's lookup that waits for the table to catch up.
  ReaderThread reader_;
  SourceContext* context_ = nullptr;

  std::unique_ptr<HashWorker> hasher_;  // outlives exes_, which hands it files
  // Reader thread only (and start(), before it runs).
  std::unique_ptr<ExecutableCache> exes_;
  std::unique_ptr<BpfTracker> tracker_;
  std::uint64_t lostSeen_ = 0;
  std::uint64_t skippedHashesSeen_ = 0;
  std::uint64_t lateHashesSeen_ = 0;
  std::uint64_t overBudgetSeen_ = 0;
  std::int64_t lastReportNs_ = 0;
  RecentRecords recent_;
  std::optional<platform::WakeBatch> run_;  // open while a read delivers
  int inRun_ = 0;                           // events delivered in it
  bool stopping_ = false;
};

es_new_client_result_t BpfSource::open(std::string& why) {
  if (const es_new_client_result_t rc = mayLoadBpf(why); rc != ES_NEW_CLIENT_RESULT_SUCCESS) {
    return rc;
  }
  if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    why = "the kernel has no BTF";
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  quietLibbpf();
  skeleton_.reset(process_bpf::open());
  if (!skeleton_) {
    why = std::string("cannot open the programs: ") + std::strerror(errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  // Kernels before 6.10 have no tracepoint at the start of an exec: an exec's process then
  // carries the ids of its last fork or exec.
  if (libbpf_find_vmlinux_btf_id("sched_prepare_exec", BPF_TRACE_RAW_TP) < 0) {
    bpf_program__set_autoload(skeleton_->progs.on_prepare_exec, false);
  }
  const int cpus = libbpf_num_possible_cpus();
  const std::size_t ringBytes = options_.ringBytes ? options_.ringBytes : eventRingBytes(nullptr);
  if (cpus <= 0 ||
      bpf_map__set_max_entries(skeleton_->maps.scratch, static_cast<__u32>(cpus)) != 0 ||
      bpf_map__set_max_entries(skeleton_->maps.events, static_cast<__u32>(ringBytes)) != 0) {
    why = "cannot size the maps";
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (const int rc = process_bpf::load(skeleton_.get()); rc != 0) {
    why = std::string("the kernel refused the programs: ") + std::strerror(-rc);
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  ring_.reset(
      ring_buffer__new(bpf_map__fd(skeleton_->maps.events), &BpfSource::onRecord, this, nullptr));
  if (!ring_) {
    why = std::string("cannot map the ring buffer: ") + std::strerror(errno);
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  if (const int rc = process_bpf::attach(skeleton_.get()); rc != 0) {
    why = std::string("the kernel refused to attach the programs: ") + std::strerror(-rc);
    ring_.reset();
    skeleton_.reset();
    return ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }
  if (!reader_.open()) {
    why = std::strerror(errno);
    return ES_NEW_CLIENT_RESULT_ERR_INTERNAL;
  }
  NSLog("EndpointSecurity: kernel event ring of %zu KiB", ringBytes >> 10);
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

void BpfSource::start(SourceContext& context) {
  context_ = &context;
  exes_ = std::make_unique<ExecutableCache>(&context.packages);
  tracker_ = std::make_unique<BpfTracker>(
      context.processes, *exes_, context.sightings,
      [&sink = context.sink](es_event_type_t type) { return sink.subscribed(type); });
  // Records already in the ring describe processes the scan below will also find; reading the
  // table first and the ring after keeps every later change. The scan hashes on this thread, not
  // the reader's, so the running programs start with their hashes.
  tracker_->rescan();
  hasher_ = std::make_unique<HashWorker>();
  exes_->hashOn(hasher_.get());
  context.processes.addReader(this, [this] { reader_.wake(); });
  reader_.start("es-bpf", [this] { readLoop(); });
}

void BpfSource::stop() {
  if (context_ != nullptr) context_->processes.removeReader(this);
  reader_.stop();
  ring_.reset();
  skeleton_.reset();
}

bool BpfSource::push(std::unique_ptr<PendingEvent> event) {
  // The kernel keeps records in the ring while this thread is busy: handing events over to the
  // delivery thread would only add a thread switch and a second core's cache misses per event.
  if (!context_->sink.deliverNow(std::move(event))) {
    stopping_ = true;
    return false;
  }
  return true;
}

void BpfSource::readLoop() {
  // The reader races the storm it reports: the ring fills while it waits for a CPU.
  platform::runPromptly(platform::kEventPathNice);
  const int ringFd = ring_buffer__epoll_fd(ring_.get());
  bool waitFirst = true;  // false: a lookup asked during the pause, read at once
  for (;;) {
    pollfd ring{ringFd, POLLIN, 0};
    if (waitFirst && !reader_.wait({&ring, 1}, 1000)) break;
    waitFirst = true;
    if (options_.paused != nullptr && options_.paused->load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    int records = 0;
    if (!readRing(records)) return;
    // The kernel wakes the reader only once it has caught up: in a storm, a pause lets the
    // records gather; not while the ring is past its fill mark. A lookup waiting for the table
    // ends the pause.
    const bool pressed = tracker_->takeCutUnderPressure();
    const double recent = records > 0 ? recent_.add(records, monotonicNow()) : 0;
    if (recent > kStormRecords && !pressed) {
      const auto pauseMs =
          std::min(static_cast<std::int64_t>(kGather.count()),
                   static_cast<std::int64_t>(std::ceil(recent / kRecordsPerGatherMs)));
      const ReaderThread::Wakeup paused = reader_.wait(static_cast<int>(pauseMs));
      if (!paused) break;
      waitFirst = !paused.woken;
    }
  }
  // What the last interval counted is not lost with the source.
  if (reader_.stopping()) reportCuts(true);
}

bool BpfSource::readRing(int& records) {
  tracker_->syncClocks();
  // The records of changes before this moment are in the ring, and the consume below reads
  // them (but one still being written in these microseconds, read next time).
  const std::uint64_t upTo = monotonicNow();
  // The events of one read are delivered here in a row, in runs: the threads they are handed to
  // (the transport's) are woken, or their writes done here, once per run.
  run_.emplace();
  inRun_ = 0;
  records = ring_buffer__consume(ring_.get());
  run_.reset();
  if (records < 0 && records != -EINTR) {
    NSLog("EndpointSecurity: ring buffer read failed: %s", std::strerror(-records));
    return false;
  }
  if (stopping_) return false;
  context_->processes.reached(upTo);
  checkLosses();
  reportCuts(false);
  return true;
}

int BpfSource::onRecord(void* self, void* data, std::size_t size) {
  auto* source = static_cast<BpfSource*>(self);
  if (source->stopping_) return -1;  // ends the consume loop
  if (std::unique_ptr<PendingEvent> event = source->tracker_->handle(data, size)) {
    source->push(std::move(event));
    if (++source->inRun_ == kRunEvents) {
      source->run_.reset();
      source->run_.emplace();
      source->inRun_ = 0;
    }
  }
  return source->stopping_ ? -1 : 0;
}

void BpfSource::checkLosses() {
  const std::uint64_t total =
      std::atomic_ref(skeleton_->bss->lost_records).load(std::memory_order_relaxed);
  if (total <= lostSeen_) return;
  NSLog("EndpointSecurity: kernel event overrun, %llu events lost",
        static_cast<unsigned long long>(total - lostSeen_));
  lostSeen_ = total;
  tracker_->rescan();  // what the lost records would have told is read from /proc instead
}

void BpfSource::reportCuts(bool force) {
  const std::int64_t now = static_cast<std::int64_t>(monotonicNow());
  if (!force && now - lastReportNs_ < std::chrono::nanoseconds(options_.reportInterval).count()) {
    return;
  }
  lastReportNs_ = now;
  const BpfTracker::CaptureLosses losses = tracker_->takeCaptureLosses();
  if (losses.cut > 0) {
    NSLog(
        "EndpointSecurity: %llu execs cut at the capture limits (path %d bytes, arguments and "
        "environment %d bytes)",
        static_cast<unsigned long long>(losses.cut), WATCH_PATH_CAP, WATCH_ARGS_ENV_CAP);
  }
  if (losses.incomplete > 0) {
    NSLog("EndpointSecurity: %llu execs captured incomplete (the new image could not be read)",
          static_cast<unsigned long long>(losses.incomplete));
  }
  reportPressedCuts(losses.pressed);
  reportHashes();
}

void BpfSource::reportPressedCuts(const std::map<uid_t, std::uint64_t>& pressed) {
  if (pressed.empty()) return;
  // The users who cut most first; a handful say who floods.
  std::vector<std::pair<uid_t, std::uint64_t>> byUid(pressed.begin(), pressed.end());
  std::sort(byUid.begin(), byUid.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  std::uint64_t total = 0;
  std::string users;
  for (std::size_t i = 0; i < byUid.size(); ++i) {
    total += byUid[i].second;
    if (i < 8) {
      users += (i ? ", uid " : "uid ") + std::to_string(byUid[i].first) + ": " +
               std::to_string(byUid[i].second);
    }
  }
  if (byUid.size() > 8) users += ", ...";
  NSLog(
      "EndpointSecurity: %llu execs cut to %d bytes of arguments and environment while the kernel "
      "ring was over %d%% full, %d bytes over %d%% (%s)",
      static_cast<unsigned long long>(total), WATCH_ARGS_ENV_PRESSED_CAP,
      WATCH_RING_FILL_MARK_PERCENT, WATCH_ARGS_ENV_HIGH_PRESSED_CAP, WATCH_RING_HIGH_MARK_PERCENT,
      users.c_str());
}

void BpfSource::reportHashes() {
  const std::uint64_t skipped = exes_->hashesSkipped();
  if (skipped > skippedHashesSeen_) {
    NSLog("EndpointSecurity: %llu executable hashes skipped (file changed again within 2 s)",
          static_cast<unsigned long long>(skipped - skippedHashesSeen_));
    skippedHashesSeen_ = skipped;
  }
  const std::uint64_t late = exes_->hashesNotReady();
  const std::uint64_t overBudget = hasher_->refusedOverBudget();
  if (late > lateHashesSeen_) {
    NSLog(
        "EndpointSecurity: %llu executable hashes not ready within %lld ms, reported as zeros "
        "(%llu refused over their file owner's hashing budget)",
        static_cast<unsigned long long>(late - lateHashesSeen_),
        static_cast<long long>(kHashWait.count() / 1000),
        static_cast<unsigned long long>(overBudget - overBudgetSeen_));
  }
  lateHashesSeen_ = late;
  overBudgetSeen_ = overBudget;
}

}  // namespace

std::unique_ptr<Source> makeBpfSource(BpfOptions options) {
  return std::make_unique<BpfSource>(options);
}

}  // namespace platform::es
