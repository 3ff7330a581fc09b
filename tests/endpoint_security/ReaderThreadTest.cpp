// The sources' reader thread: what ends a wait (a wake, the caller's descriptor, stop, the
// timeout) and what stop() guarantees.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "platform/UniqueFd.h"
#include "platform/endpoint_security/client/ReaderThread.h"

using platform::UniqueFd;
using platform::es::ReaderThread;
using namespace std::chrono_literals;

namespace {

TEST(ReaderThreadTest, WakesEndOneWaitAndMerge) {
  ReaderThread reader;
  ASSERT_TRUE(reader.open());
  reader.wake();  // while the body is busy elsewhere: the next wait returns at once
  reader.wake();
  const ReaderThread::Wakeup first = reader.wait(-1);
  EXPECT_TRUE(first);
  EXPECT_TRUE(first.woken);
  EXPECT_EQ(first.ready, 0);
  const ReaderThread::Wakeup second = reader.wait(0);
  EXPECT_TRUE(second.timedOut());
}

TEST(ReaderThreadTest, TheCallersDescriptorsComeBackWithTheirEvents) {
  ReaderThread reader;
  ASSERT_TRUE(reader.open());
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const UniqueFd readEnd(ends[0]);
  const UniqueFd writeEnd(ends[1]);
  int quiet[2];
  ASSERT_EQ(::pipe(quiet), 0);
  const UniqueFd quietRead(quiet[0]);
  const UniqueFd quietWrite(quiet[1]);
  ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
  pollfd fds[2] = {{quietRead.get(), POLLIN, 0}, {readEnd.get(), POLLIN, 0}};
  const ReaderThread::Wakeup seen = reader.wait(fds, -1);
  EXPECT_FALSE(seen.woken);
  EXPECT_EQ(seen.ready, 1);
  EXPECT_EQ(fds[0].revents, 0);
  EXPECT_EQ(fds[1].revents, POLLIN);
}

std::atomic<int> signals{0};

TEST(ReaderThreadTest, TheTimeoutPassesWhateverSignalsArrive) {
  struct sigaction action {};
  action.sa_handler = [](int) { signals.fetch_add(1); };
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &before), 0);
  ReaderThread reader;
  ASSERT_TRUE(reader.open());
  std::atomic<pthread_t> body{};
  std::atomic<bool> waiting{false};
  std::atomic<bool> done{false};
  ReaderThread::Wakeup seen;
  std::chrono::steady_clock::duration waited{};
  reader.start("es-test", [&] {
    body = ::pthread_self();
    waiting = true;
    const auto start = std::chrono::steady_clock::now();
    seen = reader.wait(400);
    waited = std::chrono::steady_clock::now() - start;
    done = true;
  });
  while (!waiting) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(20ms);
    ::pthread_kill(body.load(), SIGUSR1);
  }
  while (!done) std::this_thread::yield();
  reader.stop();
  ::sigaction(SIGUSR1, &before, nullptr);
  EXPECT_GT(signals.load(), 0);
  EXPECT_TRUE(seen.timedOut());
  EXPECT_GE(waited, 400ms);
}

TEST(ReaderThreadTest, StopEndsTheWaitingBodyAndJoinsIt) {
  ReaderThread idle;
  idle.stop();  // never started: nothing to end
  EXPECT_FALSE(idle.running());

  ReaderThread reader;
  ASSERT_TRUE(reader.open());
  std::atomic<int> wakeups{0};
  std::atomic<bool> ended{false};
  char name[16] = {};
  reader.start("es-test", [&] {
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    while (const ReaderThread::Wakeup seen = reader.wait(-1)) {
      if (seen.woken) wakeups.fetch_add(1);
    }
    ended = true;
  });
  EXPECT_TRUE(reader.running());
  reader.wake();
  while (wakeups.load() == 0) std::this_thread::yield();
  reader.stop();
  EXPECT_TRUE(ended);  // joined: the body has returned
  EXPECT_TRUE(reader.stopping());
  EXPECT_FALSE(reader.running());
  EXPECT_STREQ(name, "es-test");
  EXPECT_FALSE(reader.wait(-1));  // a wait after stop() ends at once
  reader.stop();                  // again: nothing
}

}  // namespace
