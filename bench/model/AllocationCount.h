// Counts heap allocations made through the global operator new, so a benchmark can report how
// many one operation costs. Linking AllocationCount.cpp replaces operator new for the program.
#pragma once

#include <cstddef>

namespace bench {

std::size_t allocationCount();

}  // namespace bench
