// Wake-ups asked for inside a batch wait for the outermost batch to close; a loop's tasks posted
// inside one run once it closes, and the writes among them on the sender's thread while the loop
// sleeps.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/WakeBatch.h"
#include "platform/xpc/Loop.h"

namespace {

using namespace std::chrono_literals;
using platform::WakeBatch;

TEST(WakeBatch, WakesRunInOrderWhenTheOutermostBatchCloses) {
  std::vector<std::string> ran;
  EXPECT_FALSE(WakeBatch::open());
  {
    WakeBatch outer;
    WakeBatch::defer([&] { ran.push_back("first"); });
    {
      WakeBatch inner;
      EXPECT_TRUE(WakeBatch::open());
      WakeBatch::defer([&] {
        ran.push_back("second");
        // Once the batch has closed, a wake-up asked for runs at once.
        EXPECT_FALSE(WakeBatch::open());
        ran.push_back("third");
      });
    }
    EXPECT_TRUE(ran.empty()) << "an inner batch closing wakes nobody";
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_FALSE(WakeBatch::open());
}

TEST(WakeBatch, ALoopWokenOnlyByABatchRunsItsTasksOnceTheBatchCloses) {
  auto loop = xpc::Loop::create();
  ASSERT_NE(loop, nullptr);
  loop->start();
  // A wake-up from an earlier post may still be pending when the loop takes a task, and would
  // run the next one early: an attempt where that happened proves nothing and is made again.
  // Without the deferral every attempt would run early.
  int early = 0;
  bool deferred = false;
  for (int attempt = 0; attempt < 5 && !deferred; ++attempt) {
    std::promise<void> settled;
    loop->post([&] { settled.set_value(); });
    ASSERT_EQ(settled.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(20ms);
    std::promise<void> done;
    auto ran = done.get_future();
    {
      WakeBatch batch;
      loop->post([&] { done.set_value(); });
      deferred = ran.wait_for(100ms) == std::future_status::timeout;
    }
    EXPECT_EQ(ran.wait_for(5s), std::future_status::ready);
    if (!deferred) ++early;
  }
  EXPECT_TRUE(deferred) << "the task ran inside the batch in all " << early << " attempts";
  loop->stop();
}

// Waits until the loop has run what was posted before and has had time to fall asleep.
void letSleep(xpc::Loop& loop) {
  std::promise<void> settled;
  loop.post([&] { settled.set_value(); });
  ASSERT_EQ(settled.get_future().wait_for(5s), std::future_status::ready);
  std::this_thread::sleep_for(20ms);
}

TEST(WakeBatch, WritesHandedOverInABatchAreRunByTheSenderWhileTheLoopSleeps) {
  auto loop = xpc::Loop::create();
  ASSERT_NE(loop, nullptr);
  loop->start();
  // The loop may still be awake from the settling task: an attempt where it was proves nothing.
  bool bySender = false;
  for (int attempt = 0; attempt < 5 && !bySender; ++attempt) {
    letSleep(*loop);
    std::promise<std::thread::id> ranOn;
    bool inContext = false;
    {
      WakeBatch batch;
      loop->postWrite([&] {
        inContext = loop->inLoopContext() && loop->helping();
        ranOn.set_value(std::this_thread::get_id());
      });
    }
    auto thread = ranOn.get_future();
    ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
    bySender = thread.get() == std::this_thread::get_id();
    if (bySender) {
      EXPECT_TRUE(inContext) << "the sender ran it as the loop's work";
    }
  }
  EXPECT_TRUE(bySender) << "every write was left to the loop's thread";
  loop->stop();
}

TEST(WakeBatch, TheSenderRunsOnlyTheWritesAheadOfTheFirstOtherTask) {
  // Other tasks run handlers that belong on the loop's thread, and a write after one of them
  // waits for it.
  auto loop = xpc::Loop::create();
  ASSERT_NE(loop, nullptr);
  loop->start();
  for (int attempt = 0; attempt < 3; ++attempt) {
    letSleep(*loop);
    std::mutex mutex;
    std::vector<std::string> ran;
    std::promise<void> done;
    const std::thread::id sender = std::this_thread::get_id();
    const auto record = [&](const std::string& what) {
      std::lock_guard lock(mutex);
      ran.push_back(what + (std::this_thread::get_id() == sender ? " by the sender" : ""));
    };
    {
      WakeBatch batch;
      loop->postWrite([&] { record("first write"); });
      loop->post([&] { record("task"); });
      loop->postWrite([&] {
        record("second write");
        done.set_value();
      });
    }
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::lock_guard lock(mutex);
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_TRUE(ran[0].starts_with("first write")) << ran[0];
    EXPECT_EQ(ran[1], "task");
    EXPECT_EQ(ran[2], "second write");
  }
  loop->stop();
}

// A pollable that waits for nothing until a write asks it to wait for room to write.
class WaitsAfterAWrite final : public xpc::Pollable {
 public:
  explicit WaitsAfterAWrite(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  int pollFd() const override { return fd_.get(); }
  short pollEvents() override { return wantsOut ? POLLOUT : 0; }
  void handle(short revents) override {
    if (!(revents & POLLOUT) || !wantsOut) return;
    wantsOut = false;
    handled.set_value();
  }
  void shutdown() override {}

  std::atomic<bool> wantsOut{false};
  std::promise<void> handled;

 private:
  platform::UniqueFd fd_;
};

TEST(WakeBatch, AWriteThatLeavesTheLoopSomethingToWaitForWakesIt) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  platform::UniqueFd other(pair[1]);
  auto waits = std::make_shared<WaitsAfterAWrite>(platform::UniqueFd(pair[0]));
  auto loop = xpc::Loop::create();
  ASSERT_NE(loop, nullptr);
  loop->start();
  loop->post([&] { loop->add(waits); });
  letSleep(*loop);
  {
    WakeBatch batch;
    // As a connection's writer that could not write everything: it now waits for room.
    loop->postWrite([&] { waits->wantsOut = true; });
  }
  EXPECT_EQ(waits->handled.get_future().wait_for(5s), std::future_status::ready)
      << "the loop slept on, not waiting for what the write left it";
  loop->stop();
}

}  // namespace
