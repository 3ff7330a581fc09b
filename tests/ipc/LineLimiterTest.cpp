// The limit on repeated log lines, against a clock the test moves.

#include <gtest/gtest.h>

#include "agent/ipc/LineLimiter.h"

namespace {

using agent::LineLimiter;
using namespace std::chrono_literals;

TEST(LineLimiter, EachLineHasItsOwnBurstAndItsSuppressedCountComesBackWithIt) {
  LineLimiter::Clock::time_point now{};
  LineLimiter limiter(3, 10s, [&] { return now; });
  struct Step {
    LineLimiter::Clock::duration advance;
    const char* key;
    bool write;
    std::uint64_t suppressed;
  };
  const Step steps[] = {
      {0s, "a", true, 0},
      {0s, "a", true, 0},
      {1s, "a", true, 0},
      {1s, "a", false, 0},  // fourth in the interval
      {0s, "b", true, 0},   // another line is counted on its own
      {1s, "a", false, 0},
      {8s, "a", true, 2},  // a new interval: the line again, after the count
                           // of the two
      {0s, "a", true, 0},
      {30s, "a", true, 0},  // nothing was suppressed meanwhile
  };
  int i = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(i++);
    now += step.advance;
    const auto verdict = limiter.admit(step.key);
    EXPECT_EQ(verdict.write, step.write);
    EXPECT_EQ(verdict.suppressed, step.suppressed);
  }
  EXPECT_EQ(LineLimiter::summary(2, "IPCForAgent.establishConnection() BEGIN"),
            "2 similar lines suppressed (\"IPCForAgent.establishConnection() BEGIN\")");
}

}  // namespace
