// The serial queue behind the agent's dispatch queue, the transport's call worker and the
// installer's worker: order, one named thread, sync, and what stop() runs and drops.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialQueue.h"

namespace {

using namespace std::chrono_literals;

std::string threadName() {
  char name[16] = {};
  ::pthread_getname_np(::pthread_self(), name, sizeof name);
  return name;
}

TEST(SerialQueue, RunsItemsInOrderOnOneNamedThread) {
  platform::SerialQueue queue("test-queue", 7);
  std::vector<int> order;
  std::set<std::thread::id> threads;
  std::string name;
  int nice = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(queue.async([&, i] {
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      name = threadName();
      nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    }));
  }
  ASSERT_TRUE(queue.sync([] {}));  // everything posted before has run
  std::vector<int> expected(100);
  for (int i = 0; i < 100; ++i) expected[i] = i;
  EXPECT_EQ(order, expected);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  EXPECT_EQ(name, "test-queue");
  EXPECT_EQ(nice, 7);
}

TEST(SerialQueue, SyncReturnsOnceItsItemHasRun) {
  platform::SerialQueue queue("test-queue");
  std::atomic<bool> slowDone = false;
  queue.async([&] {
    std::this_thread::sleep_for(50ms);
    slowDone = true;
  });
  bool ran = false;
  EXPECT_TRUE(queue.sync([&] { ran = slowDone.load(); }));
  EXPECT_TRUE(ran) << "the sync item ran after the one before it";
}

// stop() lets the running item finish and drops the rest without running them; their captures
// are released. Work posted afterwards is refused, sync included.
TEST(SerialQueue, StopWaitsForTheRunningItemAndDropsTheRest) {
  platform::SerialQueue queue("test-queue");
  std::promise<void> started;
  std::atomic<bool> release = false;
  std::atomic<bool> firstFinished = false;
  queue.async([&] {
    started.set_value();
    while (!release) std::this_thread::sleep_for(1ms);
    firstFinished = true;
  });
  started.get_future().wait();
  auto held = std::make_shared<int>(0);
  std::atomic<int> laterRan = 0;
  for (int i = 0; i < 3; ++i) queue.async([&, held] { ++laterRan; });
  std::promise<bool> syncResult;
  std::thread waiter([&] { syncResult.set_value(queue.sync([&] { ++laterRan; })); });
  std::this_thread::sleep_for(20ms);  // the waiter's item is queued behind the running one

  std::thread stopper([&] { queue.stop(); });
  std::this_thread::sleep_for(20ms);
  release = true;
  stopper.join();
  waiter.join();

  EXPECT_TRUE(firstFinished);
  EXPECT_EQ(laterRan, 0);
  EXPECT_EQ(held.use_count(), 1) << "dropped items are destroyed";
  EXPECT_FALSE(syncResult.get_future().get());
  EXPECT_FALSE(queue.async([&] { ++laterRan; }));
  EXPECT_FALSE(queue.sync([&] { ++laterRan; }));
  EXPECT_EQ(laterRan, 0);
}

}  // namespace
