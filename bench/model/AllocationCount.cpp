#include "bench/model/AllocationCount.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t gAllocations = 0;  // the benchmarks run on one thread
}

std::size_t bench::allocationCount() {
  return gAllocations;
}

void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
