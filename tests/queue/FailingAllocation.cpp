#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

// The program's operator new and delete for this test binary, over malloc and free, with a
// per-thread countdown to one failure. Both are replaced together so that every block is
// freed the way it was allocated, also under the sanitizers.

namespace {

thread_local long allocations_until_failure = 0;  // 0: no failure armed
thread_local bool failure_happened = false;

void* Allocate(std::size_t size) {
  if (allocations_until_failure > 0 && --allocations_until_failure == 0) {
    failure_happened = true;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace qit::testing {

FailingAllocation::FailingAllocation(long nth) {
  failure_happened = false;
  allocations_until_failure = nth;
}

FailingAllocation::~FailingAllocation() { allocations_until_failure = 0; }

bool FailingAllocation::Happened() { return failure_happened; }

}  // namespace qit::testing
