// Finds messages the kernel dropped before they reached us: the process connector numbers its
// messages per CPU, so a jump in one CPU's numbers is the count of messages lost on that CPU.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::es {

class SequenceTracker {
 public:
  // Returns how many messages of `cpu` were missed before the one numbered `seq`. The first
  // message seen from a CPU sets its baseline. A number behind the expected one (a counter
  // reset) also sets a new baseline and counts nothing.
  std::uint64_t observe(std::uint32_t cpu, std::uint32_t seq) {
    if (cpu >= kMaxCpus) return 0;
    if (cpu >= next_.size()) next_.resize(cpu + 1, Slot{});
    Slot& slot = next_[cpu];
    std::uint64_t missed = 0;
    if (slot.seen) {
      const std::uint32_t gap = seq - slot.expected;  // modulo 2^32: wrap-around is a small gap
      if (gap < 0x80000000u) missed = gap;
    }
    slot.seen = true;
    slot.expected = seq + 1;
    return missed;
  }

  void reset() { next_.clear(); }

 private:
  static constexpr std::uint32_t kMaxCpus = 8192;
  struct Slot {
    bool seen = false;
    std::uint32_t expected = 0;
  };
  std::vector<Slot> next_;
};

}  // namespace platform::es
