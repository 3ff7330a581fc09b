// A client of a SourceBackend made of a stub process source and the source under test, driven
// through es_new_client/es_subscribe as the agent drives it. Every message the handler receives
// is copied out during the call (kind, acting pid, arrival time) together with its JSON document,
// made by the agent's converter and encoder; tests wait for documents matching a predicate.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/capture/Conversion.h"
#include "agent/model/JsonEncoding.h"
#include "platform/Override.h"
#include "platform/endpoint_security/Backend.h"
#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/process/ProcessImage.h"
#include "platform/log/Log.h"

namespace harness {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// The process source's place, taken by a stub: it opens, and with `forkEvery` set it reports a
// fork of the test process at that pace, so a test can see the stream go on.
class StubProcessSource final : public platform::es::Source {
 public:
  explicit StubProcessSource(std::chrono::milliseconds forkEvery = 0ms) : forkEvery_(forkEvery) {}
  ~StubProcessSource() override { stop(); }
  std::string_view name() const override { return "stub-process"; }
  bool produces(es_event_type_t type) const override {
    return type == ES_EVENT_TYPE_NOTIFY_EXEC || type == ES_EVENT_TYPE_NOTIFY_FORK ||
           type == ES_EVENT_TYPE_NOTIFY_EXIT;
  }
  es_new_client_result_t open(std::string&) override { return ES_NEW_CLIENT_RESULT_SUCCESS; }
  void start(platform::es::SourceContext& context) override {
    if (forkEvery_ == 0ms) return;
    thread_ = std::thread([this, &context] {
      std::unique_lock lock(mutex_);
      while (!changed_.wait_for(lock, forkEvery_, [&] { return stopping_; })) {
        lock.unlock();
        if (context.sink.subscribed(ES_EVENT_TYPE_NOTIFY_FORK)) {
          context.sink.push(std::make_unique<Fork>());
        }
        lock.lock();
      }
    });
  }
  void stop() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  class Fork final : public platform::es::PendingEvent {
   public:
    Fork()
        : PendingEvent(ES_EVENT_TYPE_NOTIFY_FORK, platform::es::monotonicNow(),
                       platform::es::wallClockOf(platform::es::monotonicNow())) {
      image_.pid = ::getpid();
    }
    void fill(es_message_t& message, pid_t self) override {
      view_.fill(image_, self);
      message.process = &view_.process;
      message.event.fork.child = &view_.process;
    }

   private:
    platform::es::ProcessImage image_;
    platform::es::ProcessView view_{};
  };

  const std::chrono::milliseconds forkEvery_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

struct Delivered {
  es_event_type_t type;
  pid_t pid;  // of message.process
  std::chrono::system_clock::time_point arrived;
  double eventTime;  // message.time, seconds since the Unix epoch
  std::string document;
  Json json;
};

class Client {
 public:
  Client(platform::es::SourceFactory source, std::vector<es_event_type_t> kinds,
         std::chrono::milliseconds forkEvery = 0ms)
      : backend_([forkEvery] { return std::make_unique<StubProcessSource>(forkEvery); },
                 {std::move(source)}),
        override_(backend_) {
    const es_new_client_result_t rc = es_new_client(
        &client_, [this](es_client_t*, const es_message_t* message) { receive(*message); });
    EXPECT_EQ(rc, ES_NEW_CLIENT_RESULT_SUCCESS);
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) return;
    EXPECT_EQ(es_subscribe(client_, kinds.data(), static_cast<std::uint32_t>(kinds.size())),
              ES_RETURN_SUCCESS);
  }
  ~Client() {
    if (client_ != nullptr) es_delete_client(client_);
  }

  // Waits up to `timeout` until `count` documents match; returns all that matched.
  std::vector<Delivered> await(const std::function<bool(const Delivered&)>& match,
                               std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::vector<Delivered> found;
    arrived_.wait_for(lock, timeout, [&] {
      found.clear();
      for (const Delivered& d : delivered_) {
        if (match(d)) found.push_back(d);
      }
      return found.size() >= count;
    });
    return found;
  }

  std::vector<Delivered> all() const {
    std::lock_guard lock(mutex_);
    return delivered_;
  }

 private:
  void receive(const es_message_t& message) {
    Delivered d;
    d.type = message.event_type;
    d.pid = audit_token_to_pid(message.process->audit_token);
    d.arrived = std::chrono::system_clock::now();
    d.eventTime = static_cast<double>(message.time.tv_sec) + message.time.tv_nsec / 1e9;
    d.document = model::encode(agent::makeEsMessage(message)).value_or("");
    d.json = Json::parse(d.document, nullptr, false);
    std::lock_guard lock(mutex_);
    delivered_.push_back(std::move(d));
    arrived_.notify_all();
  }

  platform::es::SourceBackend backend_;
  platform::ScopedOverride<platform::es::Backend> override_;
  es_client_t* client_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Delivered> delivered_;
};

// The document's shape: every key in order, every leaf replaced by its JSON type.
inline Json skeleton(const Json& doc) {
  if (doc.is_object()) {
    Json out = Json::object();
    for (const auto& [key, value] : doc.items()) out[key] = skeleton(value);
    return out;
  }
  if (doc.is_array()) {
    Json out = Json::array();
    for (const auto& value : doc) out.push_back(skeleton(value));
    return out;
  }
  if (doc.is_number()) return "number";
  return doc.type_name();
}

// The golden document of an event member (golden/<member>.json of the conversion tests).
inline Json golden(const std::string& member) {
  std::ifstream in(std::filesystem::path(CAPTURE_GOLDEN_DIR) / (member + ".json"));
  std::stringstream text;
  text << in.rdbuf();
  return Json::parse(text.str(), nullptr, false);
}

// Checks that `doc` has exactly the keys, order and value types of the golden document.
inline void expectGoldenShape(const Json& doc, const std::string& member) {
  const Json reference = golden(member);
  ASSERT_FALSE(reference.is_discarded()) << "golden/" << member << ".json";
  EXPECT_EQ(skeleton(doc).dump(1), skeleton(reference).dump(1));
}

inline double secondsSince(double unixTime, std::chrono::system_clock::time_point then) {
  return std::chrono::duration<double>(then.time_since_epoch()).count() - unixTime;
}

}  // namespace harness
