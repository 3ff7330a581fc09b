#include "platform/endpoint_security/client/SourceBackend.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <optional>
#include <thread>

#include "platform/ThreadName.h"
#include "platform/WakeBatch.h"
#include "platform/endpoint_security/client/FileSightings.h"
#include "platform/endpoint_security/identity/PackageIndex.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/log/Log.h"
#include "platform/procfs/ProcFs.h"

namespace platform::es {
namespace {

// Every kind a client may subscribe to; the position is the kind's bit.
constexpr std::array kKnownKinds = {
    ES_EVENT_TYPE_NOTIFY_EXEC,
    ES_EVENT_TYPE_NOTIFY_FORK,
    ES_EVENT_TYPE_NOTIFY_EXIT,
    ES_EVENT_TYPE_NOTIFY_AUTHENTICATION,
    ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED,
    ES_EVENT_TYPE_NOTIFY_XP_MALWARE_REMEDIATED,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGOUT,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOCK,
    ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK,
    ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH,
    ES_EVENT_TYPE_NOTIFY_SCREENSHARING_DETACH,
    ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN,
    ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGOUT,
    ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN,
    ES_EVENT_TYPE_NOTIFY_LOGIN_LOGOUT,
    ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD,
    ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE,
};

constexpr std::size_t kTrimAfterBytes = 1 << 20;

class Client;
// The client whose handler this thread is running, if any.
thread_local const Client* tHandling = nullptr;

int indexOf(es_event_type_t type) {
  for (std::size_t i = 0; i < kKnownKinds.size(); ++i) {
    if (kKnownKinds[i] == type) return static_cast<int>(i);
  }
  return -1;
}

// The bits of a list of kinds; nullopt when one is unknown, which rejects the whole call.
std::optional<std::uint32_t> bitsOf(const es_event_type_t* events, std::uint32_t count) {
  std::uint32_t bits = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const int index = indexOf(events[i]);
    if (index < 0) return std::nullopt;
    bits |= 1u << index;
  }
  return bits;
}

// A source with the state its client keeps of it.
struct Attached {
  std::unique_ptr<Source> source;
  std::uint32_t kinds = 0;  // bits of the kinds it produces
  bool tried = false;       // opened (and started, when it could be) already
  bool running = false;
};

class Client final : public es_client_t, public EventSink {
 public:
  Client(SourceBackend& owner, es_handler_block_t handler, const SourceBackendOptions& options,
         const PackageIndexWatcher& packages)
      : es_client_t(owner),
        handler_(std::move(handler)),
        options_(options),
        context_{*this, options.processes ? *options.processes : ownProcesses_, packages,
                 sightings_},
        self_(::getpid()) {}

  ~Client() override { stop(); }

  void attach(std::unique_ptr<Source> source) {
    Attached attached;
    for (std::size_t i = 0; i < kKnownKinds.size(); ++i) {
      if (source->produces(kKnownKinds[i])) attached.kinds |= 1u << i;
    }
    attached.source = std::move(source);
    sources_.push_back(std::move(attached));
  }

  // Opens and starts the process source (the first attached); its refusal is the client's.
  es_new_client_result_t startProcessSource() {
    Attached& process = sources_.front();
    std::string why;
    const es_new_client_result_t rc = process.source->open(why);
    process.tried = true;
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) return rc;
    delivery_ = std::thread([this] { deliverLoop(); });
    process.source->start(context_);
    process.running = true;
    context_.processes.startKeeping();
    keeping_ = true;
    return ES_NEW_CLIENT_RESULT_SUCCESS;
  }

  void changeSubscription(std::uint32_t bits, bool on) {
    std::lock_guard lock(sourcesMutex_);
    if (!on) {
      subscribed_.fetch_and(~bits, std::memory_order_acq_rel);
      return;
    }
    subscribed_.fetch_or(bits, std::memory_order_acq_rel);
    for (Attached& attached : sources_) {
      if (attached.tried || (attached.kinds & bits) == 0) continue;
      attached.tried = true;
      std::string why;
      if (attached.source->open(why) != ES_NEW_CLIENT_RESULT_SUCCESS) {
        NSLog("EndpointSecurity: source %.*s: unavailable (%s)",
              static_cast<int>(attached.source->name().size()), attached.source->name().data(),
              why.c_str());
        continue;
      }
      attached.source->start(context_);
      attached.running = true;
      logOpened(attached.source->name(), why);
    }
  }

  // A source that opened waiting for what it watches gave the reason it is not active yet.
  static void logOpened(std::string_view name, const std::string& why) {
    if (why.empty()) {
      NSLog("EndpointSecurity: source %.*s: active", static_cast<int>(name.size()), name.data());
    } else {
      NSLog("EndpointSecurity: source %.*s: unavailable (%s)", static_cast<int>(name.size()),
            name.data(), why.c_str());
    }
  }

  // Whether the caller is inside this client's handler (on the delivery thread or a source's).
  bool inHandler() const { return tHandling == this; }

  bool subscribed(es_event_type_t type) const override {
    const int index = indexOf(type);
    return index >= 0 && (subscribed_.load(std::memory_order_acquire) & (1u << index)) != 0;
  }

  bool push(std::unique_ptr<PendingEvent> event) override {
    std::unique_lock lock(queueMutex_);
    return enqueue(lock, std::move(event));
  }

  bool deliverNow(std::unique_ptr<PendingEvent> event) override {
    {
      std::unique_lock lock(queueMutex_);
      if (stopping_) return false;
      // Events queued, or one being handled, go first: the handler sees every event in order.
      if (!queue_.empty() || handling_) return enqueue(lock, std::move(event));
      handling_ = true;
    }
    handle(*event);
    event.reset();
    bool wake;
    {
      std::lock_guard lock(queueMutex_);
      handling_ = false;
      wake = !queue_.empty() && deliveryWaiting_;
    }
    if (wake) notEmpty_.notify_one();
    return true;
  }

 private:
  // Queues `event` (see push); `lock` holds queueMutex_.
  bool enqueue(std::unique_lock<std::mutex>& lock, std::unique_ptr<PendingEvent> event) {
    const std::size_t bytes = event->bytes();
    ++producersWaiting_;
    notFull_.wait(lock, [&] {
      return stopping_ || queue_.empty() ||
             (queue_.size() < options_.queueCapacity && queueBytes_ + bytes <= options_.queueBytes);
    });
    --producersWaiting_;
    if (stopping_) return false;
    queueBytes_ += bytes;
    queue_.push_back(std::move(event));
    const bool wake = deliveryWaiting_ && !handling_;
    lock.unlock();
    if (wake) notEmpty_.notify_one();
    return true;
  }

  // One handler call, on whichever thread holds the turn (handling_).
  void handle(PendingEvent& event) {
    const Client* const outer = tHandling;
    tHandling = this;
    deliver(event);
    tHandling = outer;
  }

  void stop() {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
    }
    notEmpty_.notify_all();
    notFull_.notify_all();
    for (Attached& attached : sources_) {
      if (attached.running) attached.source->stop();
      attached.running = false;
    }
    if (keeping_) context_.processes.stopKeeping();
    keeping_ = false;
    if (delivery_.joinable()) delivery_.join();
  }

  void deliverLoop() {
    platform::nameThisThread("es-delivery");
    // The events of one backlog are delivered in a row: the threads they are handed to are
    // woken once the queue is empty.
    std::optional<platform::WakeBatch> run;
    for (;;) {
      std::unique_ptr<PendingEvent> event;
      bool wake = false;
      bool drained = false;
      {
        std::unique_lock lock(queueMutex_);
        deliveryWaiting_ = true;
        notEmpty_.wait(lock, [&] { return stopping_ || (!queue_.empty() && !handling_); });
        deliveryWaiting_ = false;
        if (stopping_) return;
        handling_ = true;
        event = std::move(queue_.front());
        queue_.pop_front();
        queueBytes_ -= event->bytes();
        wake = producersWaiting_ > 0;
        peakBytes_ = std::max(peakBytes_, queueBytes_ + event->bytes());
        drained = queue_.empty();
      }
      if (wake) notFull_.notify_all();
      if (!run) run.emplace();
      handle(*event);
      event.reset();
      {
        std::lock_guard lock(queueMutex_);
        handling_ = false;
      }
      if (drained) run.reset();
      // A storm's backlog is given back to the system once it has been delivered.
      if (drained && peakBytes_ >= kTrimAfterBytes) {
        peakBytes_ = 0;
        ::malloc_trim(0);
      }
    }
  }

  void deliver(PendingEvent& event) {
    const int index = indexOf(event.type);
    if (index < 0 || !subscribed(event.type)) return;
    es_message_t message{};
    message.version = kEsMessageVersion;
    message.time = event.time;
    message.mach_time = event.monotonicNs;
    message.deadline = 0;
    message.action_type = ES_ACTION_TYPE_NOTIFY;
    message.event_type = event.type;
    message.seq_num = typeSeq_[static_cast<std::size_t>(index)]++;
    message.global_seq_num = globalSeq_++;
    event.fill(message, self_);
    if (message.process == nullptr) return;  // a source fault; the handler must not see it
    handler_(this, &message);
  }

  const es_handler_block_t handler_;
  const SourceBackendOptions options_;
  ProcessTable ownProcesses_;
  FileSightings sightings_;
  SourceContext context_;
  const pid_t self_;

  std::mutex sourcesMutex_;
  std::vector<Attached> sources_;  // the process source first
  std::atomic<std::uint32_t> subscribed_{0};

  std::mutex queueMutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<std::unique_ptr<PendingEvent>> queue_;
  std::size_t queueBytes_ = 0;
  bool stopping_ = false;
  int producersWaiting_ = 0;      // only then does a pop need to wake a source
  bool deliveryWaiting_ = false;  // only then does a push need to wake the delivery thread
  bool handling_ = false;  // a handler call is running (on the delivery thread or a source's)

  // Delivery thread only.
  std::size_t peakBytes_ = 0;  // the most the queue held since memory was last given back
  // The thread that holds the turn to handle (handling_) only.
  std::uint64_t globalSeq_ = 0;
  std::array<std::uint64_t, kKnownKinds.size()> typeSeq_{};

  std::thread delivery_;
  bool keeping_ = false;  // the process source keeps the table
};

}  // namespace

timespec wallClockOf(std::uint64_t monotonicNs) {
  const std::int64_t ns = static_cast<std::int64_t>(monotonicNs) + monotonicWallClockNs();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

std::uint64_t monotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

SourceBackend::SourceBackend(SourceFactory processSource, std::vector<SourceFactory> otherSources,
                             SourceBackendOptions options)
    : processSource_(std::move(processSource)),
      otherSources_(std::move(otherSources)),
      options_(std::move(options)) {}

SourceBackend::~SourceBackend() = default;

const PackageIndexWatcher& SourceBackend::packages() {
  std::lock_guard lock(mutex_);
  if (!packages_) {
    packages_ = std::make_unique<PackageIndexWatcher>(options_.dpkgDir, options_.dpkgQuiet);
  }
  return *packages_;
}

es_new_client_result_t SourceBackend::newClient(es_client_t** client, es_handler_block_t handler) {
  auto created = std::make_unique<Client>(*this, std::move(handler), options_, packages());
  created->attach(processSource_());
  for (const SourceFactory& make : otherSources_) created->attach(make());
  const es_new_client_result_t rc = created->startProcessSource();
  if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) return rc;
  *client = created.release();
  return ES_NEW_CLIENT_RESULT_SUCCESS;
}

es_clear_cache_result_t SourceBackend::clearCache(es_client_t* client) {
  // No source keeps authorization results, so there is nothing to drop.
  return dynamic_cast<Client*>(client) ? ES_CLEAR_CACHE_RESULT_SUCCESS
                                       : ES_CLEAR_CACHE_RESULT_ERR_INTERNAL;
}

es_return_t SourceBackend::subscribe(es_client_t* client, const es_event_type_t* events,
                                     std::uint32_t count) {
  auto* sourced = dynamic_cast<Client*>(client);
  const std::optional<std::uint32_t> bits = bitsOf(events, count);
  if (sourced == nullptr || !bits) return ES_RETURN_ERROR;
  sourced->changeSubscription(*bits, true);
  return ES_RETURN_SUCCESS;
}

es_return_t SourceBackend::unsubscribe(es_client_t* client, const es_event_type_t* events,
                                       std::uint32_t count) {
  auto* sourced = dynamic_cast<Client*>(client);
  const std::optional<std::uint32_t> bits = bitsOf(events, count);
  if (sourced == nullptr || !bits) return ES_RETURN_ERROR;
  sourced->changeSubscription(*bits, false);
  return ES_RETURN_SUCCESS;
}

es_return_t SourceBackend::deleteClient(es_client_t* client) {
  auto* sourced = dynamic_cast<Client*>(client);
  // The handler cannot wait for its own thread to end.
  if (sourced == nullptr || sourced->inHandler()) return ES_RETURN_ERROR;
  delete sourced;
  return ES_RETURN_SUCCESS;
}

es_respond_result_t SourceBackend::respondAuthResult(es_client_t* client,
                                                     const es_message_t* message, es_auth_result_t,
                                                     bool) {
  if (dynamic_cast<Client*>(client) == nullptr) return ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT;
  // The sources deliver notifications only; no message awaits an answer.
  return message->action_type == ES_ACTION_TYPE_AUTH ? ES_RESPOND_RESULT_NOT_FOUND
                                                     : ES_RESPOND_RESULT_ERR_EVENT_TYPE;
}

}  // namespace platform::es
