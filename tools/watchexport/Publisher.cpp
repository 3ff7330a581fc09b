// The publishing thread, its windows and the acknowledgement bookkeeping.
#include "tools/watchexport/Publisher.h"

#include <algorithm>
#include <cstdlib>

#include "platform/log/Log.h"

namespace watchexport {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void log(const std::string& line) {
  platform::log::write("watchexport: " + line);
}

// Sleeps for `duration` or until a stop is requested.
void pause(std::stop_token stop, std::chrono::milliseconds duration) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, stop, duration, [] { return false; });
}

// The bytes held for the next connection while disconnected: none to speak of, so a publish
// made while the connection is down fails at once instead of leaving after documents that
// were lost with the old connection.
constexpr int kReconnectBuffer = 1;

}  // namespace

Publisher::Publisher(Spool& spool, Settings settings)
    : spool_(spool),
      settings_(std::move(settings)),
      idPrefix_(settings_.host + "-" + std::to_string(settings_.epoch) + "-"),
      epoch_(std::to_string(settings_.epoch)) {}

Publisher::~Publisher() {
  stop();
}

bool Publisher::start(const fleet::NatsSettings& nats, std::string& error) {
  fleet::Link::Tuning tuning;
  tuning.keepTrying = true;
  tuning.reconnectBufferBytes = kReconnectBuffer;
  tuning.clientName = "watchexport " + settings_.host;
  tuning.connected = [](std::string_view url) { log("connected to NATS at " + std::string(url)); };
  tuning.disconnected = [stopping = stopping_] {
    if (*stopping) {
      log("stopping: closed the NATS connection");
    } else {
      log("lost the NATS connection; spooling until a server answers");
    }
  };
  tuning.ackHandler = &Publisher::onAck;
  tuning.ackClosure = this;
  tuning.maxPendingAcks = static_cast<std::int64_t>(settings_.maxPending) * 2;
  link_ = fleet::Link::open(nats, tuning, error);
  if (!link_) return false;
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

void Publisher::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  spool_.wake();
  resultsArrived_.notify_all();
  thread_.join();
  *stopping_ = true;
  link_.reset();
}

Publisher::Counters Publisher::counters() const {
  std::lock_guard lock(countersMutex_);
  return counters_;
}

void Publisher::onAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* failure, void* closure) {
  auto* self = static_cast<Publisher*>(closure);
  const char* value = nullptr;
  if (natsMsgHeader_Get(msg, fleet::kSequenceHeader, &value) == NATS_OK) {
    Result result;
    result.stored = ack != nullptr;
    result.duplicate = ack != nullptr && ack->Duplicate;
    if (failure) {
      result.error = fleet::describe(failure->Err, failure->ErrCode);
      if (failure->ErrText && *failure->ErrText)
        result.error += ": " + std::string(failure->ErrText);
    }
    const std::uint64_t sequence = std::strtoull(value, nullptr, 10);
    {
      std::lock_guard lock(self->mutex_);
      auto& slot = self->results_[sequence];
      // A late failure of an earlier attempt does not undo a success.
      if (!slot.stored) slot = std::move(result);
    }
    self->resultsArrived_.notify_all();
  }
  natsMsg_Destroy(msg);
}

std::size_t Publisher::send(const std::vector<Record>& batch, std::size_t count,
                            std::stop_token stop, std::string& error) {
  {
    std::lock_guard lock(mutex_);
    results_.clear();
  }
  jsPubOptions options;
  jsPubOptions_Init(&options);
  options.MaxWait = settings_.ackWait.count();
  std::size_t sent = 0;
  for (; sent < count; ++sent) {
    const Record& record = batch[sent];
    const std::string sequence = std::to_string(record.sequence);
    const std::string id = idPrefix_ + sequence;
    natsMsg* msg = nullptr;
    natsStatus s = natsMsg_Create(&msg, record.subject.c_str(), nullptr, record.document.data(),
                                  static_cast<int>(record.document.size()));
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, fleet::kHostHeader, settings_.host.c_str());
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, fleet::kEpochHeader, epoch_.c_str());
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, fleet::kSequenceHeader, sequence.c_str());
    options.MsgId = id.c_str();
    if (s == NATS_OK) s = js_PublishMsgAsync(link_->jetStream(), &msg, &options);
    natsMsg_Destroy(msg);
    if (s != NATS_OK) {
      error = "cannot publish: " + fleet::describe(s);
      break;
    }
  }
  // Wait for every result of what left; what is still missing then counts as failed.
  const auto deadline = Clock::now() + settings_.ackWait + 500ms;
  {
    std::unique_lock lock(mutex_);
    resultsArrived_.wait_until(lock, stop, deadline, [&] { return results_.size() >= sent; });
  }
  if (sent > 0) {
    natsMsgList pending;
    if (js_PublishAsyncGetPendingList(&pending, link_->jetStream()) == NATS_OK) {
      natsMsgList_Destroy(&pending);
    }
  }
  std::lock_guard lock(mutex_);
  std::size_t stored = 0;
  std::uint64_t duplicates = 0;
  while (stored < sent) {
    auto it = results_.find(batch[stored].sequence);
    if (it == results_.end() || !it->second.stored) break;
    duplicates += it->second.duplicate ? 1 : 0;
    ++stored;
  }
  if (stored < sent && error.empty()) {
    auto it = results_.find(batch[stored].sequence);
    error = it == results_.end() ? "no acknowledgement in time" : it->second.error;
  }
  // A document after the first failure that was stored anyway is out of order in the stream.
  std::uint64_t outOfOrder = 0;
  for (std::size_t i = stored + 1; i < sent; ++i) {
    auto it = results_.find(batch[i].sequence);
    if (it != results_.end() && it->second.stored && !it->second.duplicate) ++outOfOrder;
  }
  if (outOfOrder) {
    log("order broken: " + std::to_string(outOfOrder) + " documents after sequence " +
        std::to_string(batch[stored].sequence) + " were stored before it");
  }
  std::lock_guard countersLock(countersMutex_);
  counters_.stored += stored;
  counters_.duplicates += duplicates;
  counters_.failures += stored < count ? 1 : 0;
  counters_.outOfOrder += outOfOrder;
  return stored;
}

void Publisher::noteOutage(std::uint64_t sequence, const std::string& error) {
  if (outage_) return;
  outage_ = true;
  outageSince_ = Clock::now();
  droppedBeforeOutage_ = spool_.droppedTotal();
  log("JetStream did not store document " + std::to_string(sequence) + " (" + error +
      "); spooling and retrying");
}

void Publisher::noteRecovery() {
  if (!outage_) return;
  outage_ = false;
  const auto seconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - outageSince_).count() /
      1000.0;
  const std::uint64_t dropped = spool_.droppedTotal() - droppedBeforeOutage_;
  char line[200];
  std::snprintf(line, sizeof line,
                "JetStream stores again after %.1f s; %llu documents spooled, %llu dropped from "
                "the full spool meanwhile",
                seconds, static_cast<unsigned long long>(spool_.backlog()),
                static_cast<unsigned long long>(dropped));
  log(line);
}

void Publisher::run(std::stop_token stop) {
  std::vector<Record> batch;
  auto backoff = 100ms;
  bool probing = false;
  while (!stop.stop_requested()) {
    const std::size_t window = probing ? 1 : settings_.maxPending;
    if (batch.size() < window) {
      auto more = spool_.take(window - batch.size(), batch.empty() ? 1000ms : 0ms);
      std::move(more.begin(), more.end(), std::back_inserter(batch));
    }
    if (batch.empty()) continue;
    if (!link_->connected()) {
      noteOutage(batch.front().sequence, "not connected");
      probing = true;
      pause(stop, 100ms);
      continue;
    }
    std::string error;
    const std::size_t count = std::min(window, batch.size());
    const std::size_t stored = send(batch, count, stop, error);
    if (stored > 0) {
      spool_.acknowledge(batch[stored - 1].sequence);
      batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(stored));
    }
    if (stored == count) {
      noteRecovery();
      probing = false;
      backoff = 100ms;
      continue;
    }
    noteOutage(batch.front().sequence, error);
    probing = true;
    pause(stop, backoff);
    backoff = std::min(backoff * 2, std::chrono::milliseconds(1000));
  }
}

}  // namespace watchexport
