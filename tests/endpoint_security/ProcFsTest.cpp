#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/endpoint_security/process/SequenceTracker.h"

using platform::es::SequenceTracker;

namespace {

TEST(SequenceTracker, CountsGapsPerCpu) {
  const struct {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> messages;  // cpu, seq
    std::vector<std::uint64_t> missed;
  } cases[] = {
      {"consecutive", {{0, 5}, {0, 6}, {0, 7}}, {0, 0, 0}},
      {"gap", {{0, 5}, {0, 9}}, {0, 3}},
      {"cpus are independent", {{0, 5}, {1, 100}, {0, 6}, {1, 102}}, {0, 0, 0, 1}},
      {"wrap-around", {{2, 0xfffffffeu}, {2, 0xffffffffu}, {2, 1}}, {0, 0, 1}},
      {"going back resets without counting", {{0, 50}, {0, 10}, {0, 12}}, {0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SequenceTracker tracker;
    std::vector<std::uint64_t> missed;
    for (const auto& [cpu, seq] : c.messages) missed.push_back(tracker.observe(cpu, seq));
    EXPECT_EQ(missed, c.missed);
  }
}

}  // namespace
