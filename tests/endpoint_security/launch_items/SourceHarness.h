// A client of a SourceBackend built from one source under test and a process source (by default
// one that opens and produces nothing); every message it receives is converted to a record and a
// JSON document as the agent does, so tests check the exact form a client gets.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/capture/Conversion.h"
#include "agent/model/JsonEncoding.h"
#include "platform/Override.h"
#include "platform/endpoint_security/client/SourceBackend.h"

namespace es_test {

using namespace platform::es;

class IdleProcessSource final : public Source {
 public:
  std::string_view name() const override { return "idle processes"; }
  bool produces(es_event_type_t type) const override {
    return type == ES_EVENT_TYPE_NOTIFY_EXEC || type == ES_EVENT_TYPE_NOTIFY_FORK ||
           type == ES_EVENT_TYPE_NOTIFY_EXIT;
  }
  es_new_client_result_t open(std::string&) override { return ES_NEW_CLIENT_RESULT_SUCCESS; }
  void start(SourceContext&) override {}
  void stop() override {}
};

struct Document {
  model::EsMessage record;
  std::string json;
  std::chrono::steady_clock::time_point arrived;
};

class SourceHarness {
 public:
  // `processes`: the process source keeping the table the sources under test name their
  // processes from; by default one that keeps nothing.
  SourceHarness(SourceFactory source, std::string dpkgDir, SourceFactory processes = {})
      : SourceHarness(std::vector<SourceFactory>{std::move(source)}, std::move(dpkgDir),
                      std::move(processes)) {}
  SourceHarness(std::vector<SourceFactory> sources, std::string dpkgDir,
                SourceFactory processes = {})
      : backend_(
            processes ? std::move(processes)
                      : SourceFactory([] { return std::make_unique<IdleProcessSource>(); }),
            std::move(sources),
            SourceBackendOptions{4096, 8 << 20, std::move(dpkgDir), std::chrono::milliseconds(50)}),
        override_(backend_) {}

  ~SourceHarness() {
    if (client_ != nullptr) {
      EXPECT_EQ(es_delete_client(client_), ES_RETURN_SUCCESS);
    }
  }

  void start(std::vector<es_event_type_t> kinds) {
    ASSERT_EQ(es_new_client(&client_, [this](es_client_t*, const es_message_t* m) { record(*m); }),
              ES_NEW_CLIENT_RESULT_SUCCESS);
    ASSERT_EQ(es_subscribe(client_, kinds.data(), static_cast<std::uint32_t>(kinds.size())),
              ES_RETURN_SUCCESS);
  }

  // The first document matching `match` (waiting up to `wait`).
  std::optional<Document> waitFor(const std::function<bool(const model::EsMessage&)>& match,
                                  std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    std::optional<Document> found;
    changed_.wait_for(lock, wait, [&] {
      for (const Document& d : documents_) {
        if (match(d.record)) {
          found = d;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  // While held, the handler waits before recording: the client's queue fills and the source
  // stalls, as behind a slow client.
  void hold() {
    std::lock_guard lock(gateMutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(gateMutex_);
      held_ = false;
    }
    gateChanged_.notify_all();
  }

  // Whether `n` documents arrived within `wait`.
  bool waitForCount(std::size_t n, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] { return documents_.size() >= n; });
  }

  std::vector<Document> all() const {
    std::lock_guard lock(mutex_);
    return documents_;
  }

  std::size_t count(const std::function<bool(const model::EsMessage&)>& match) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const Document& d : documents_) n += match(d.record) ? 1 : 0;
    return n;
  }

 private:
  void record(const es_message_t& message) {
    {
      std::unique_lock lock(gateMutex_);
      gateChanged_.wait(lock, [&] { return !held_; });
    }
    Document d{agent::makeEsMessage(message), {}, std::chrono::steady_clock::now()};
    d.json = model::encode(d.record).value_or("");
    std::lock_guard lock(mutex_);
    documents_.push_back(std::move(d));
    changed_.notify_all();
  }

  SourceBackend backend_;
  platform::ScopedOverride<platform::es::Backend> override_;
  es_client_t* client_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Document> documents_;
  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool held_ = false;
};

}  // namespace es_test
