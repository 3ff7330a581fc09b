// The client's delivery: one handler call at a time, in the order sources handed events over,
// whether the delivery thread or a source's own thread makes the call.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/endpoint_security/client/SourceBackend.h"
#include "platform/endpoint_security/process/ProcessEvents.h"

namespace platform::es {
namespace {

using namespace std::chrono_literals;

// A process source driven by the test: it only remembers where to put events.
class DrivenSource final : public Source {
 public:
  explicit DrivenSource(std::promise<EventSink*>& started) : started_(started) {}
  std::string_view name() const override { return "driven"; }
  bool produces(es_event_type_t type) const override { return isProcessKind(type); }
  es_new_client_result_t open(std::string&) override { return ES_NEW_CLIENT_RESULT_SUCCESS; }
  void start(SourceContext& context) override { started_.set_value(&context.sink); }
  void stop() override {}

 private:
  std::promise<EventSink*>& started_;
};

std::unique_ptr<PendingEvent> exitOf(int n) {
  ProcessImage image;
  image.pid = 1000 + n;
  return std::make_unique<ExitEvent>(0, timespec{}, image, n);
}

struct Call {
  int n;
  std::thread::id thread;
};

class SourceBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_ = std::make_unique<SourceBackend>(
        [this] { return std::make_unique<DrivenSource>(started_); }, std::vector<SourceFactory>{});
    ASSERT_EQ(backend_->newClient(&client_,
                                  [this](es_client_t* client, const es_message_t* message) {
                                    onMessage(client, message);
                                  }),
              ES_NEW_CLIENT_RESULT_SUCCESS);
    const es_event_type_t exits[] = {ES_EVENT_TYPE_NOTIFY_EXIT};
    ASSERT_EQ(backend_->subscribe(client_, exits, 1), ES_RETURN_SUCCESS);
    sink_ = started_.get_future().get();
  }
  void TearDown() override {
    if (client_ != nullptr) backend_->deleteClient(client_);
  }

  void onMessage(es_client_t* client, const es_message_t* message) {
    const int n = message->event.exit.stat;
    if (n == gateAt_) {
      entered_.set_value();
      gate_.wait();
    }
    if (n == deleteAt_) deleteResult_ = backend_->deleteClient(client);
    std::lock_guard lock(mutex_);
    calls_.push_back({n, std::this_thread::get_id()});
  }

  std::vector<Call> waitForCalls(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (calls_.size() >= count || std::chrono::steady_clock::now() > deadline) return calls_;
      }
      std::this_thread::sleep_for(1ms);
    }
  }

  std::promise<EventSink*> started_;
  std::unique_ptr<SourceBackend> backend_;
  es_client_t* client_ = nullptr;
  EventSink* sink_ = nullptr;
  int gateAt_ = -1;
  std::promise<void> entered_;
  std::shared_future<void> gate_;
  int deleteAt_ = -1;
  es_return_t deleteResult_ = ES_RETURN_SUCCESS;
  std::mutex mutex_;
  std::vector<Call> calls_;
};

TEST_F(SourceBackendTest, DeliverNowWaitsItsTurnBehindQueuedEventsAndOtherwiseCallsOnTheCaller) {
  std::promise<void> release;
  gate_ = release.get_future().share();
  gateAt_ = 1;
  ASSERT_TRUE(sink_->push(exitOf(1)));  // held in the handler, on the delivery thread
  entered_.get_future().wait();
  // While a call runs, events handed over for immediate delivery are queued behind it.
  ASSERT_TRUE(sink_->deliverNow(exitOf(2)));
  ASSERT_TRUE(sink_->push(exitOf(3)));
  ASSERT_TRUE(sink_->deliverNow(exitOf(4)));
  EXPECT_TRUE(waitForCalls(0).empty());
  release.set_value();
  const std::vector<Call> queued = waitForCalls(4);
  ASSERT_EQ(queued.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(queued[static_cast<std::size_t>(i)].n, i + 1);
    EXPECT_NE(queued[static_cast<std::size_t>(i)].thread, std::this_thread::get_id());
  }

  // Nothing queued or running: the call is made on the caller's thread before it returns.
  ASSERT_TRUE(sink_->deliverNow(exitOf(5)));
  std::lock_guard lock(mutex_);
  ASSERT_EQ(calls_.size(), 5u);
  EXPECT_EQ(calls_.back().n, 5);
  EXPECT_EQ(calls_.back().thread, std::this_thread::get_id());
}

TEST_F(SourceBackendTest, AHandlerRunOnASourceThreadCannotDeleteItsOwnClient) {
  deleteAt_ = 7;
  ASSERT_TRUE(sink_->deliverNow(exitOf(7)));
  EXPECT_EQ(deleteResult_, ES_RETURN_ERROR);  // it would wait for itself
  std::lock_guard lock(mutex_);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace platform::es
