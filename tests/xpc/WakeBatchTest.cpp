// Wake-ups asked for inside a batch wait for the outermost batch to close; a loop's tasks posted
// inside one run once it closes.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
