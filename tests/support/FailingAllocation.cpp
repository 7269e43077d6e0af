#include "FailingAllocation.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// The program's operator new and delete for the test binary, over malloc and free. Every
// unaligned form is replaced together, so that each block is freed the way it was
// allocated, also under the sanitizers.

namespace {

thread_local long allocations_until_failure = 0;  // 0: no failure armed
thread_local bool failure_happened = false;
std::atomic<std::size_t> failing_size{SIZE_MAX};

// nullptr where the test wants a failure, or when there is no memory.
void* Allocate(std::size_t size) {
  if (allocations_until_failure > 0 && --allocations_until_failure == 0) {
    failure_happened = true;
    return nullptr;
  }
  if (size >= failing_size.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace qit::testing {

FailingAllocation::FailingAllocation(long nth) {
  failure_happened = false;
  allocations_until_failure = nth;
}

FailingAllocation::~FailingAllocation() { allocations_until_failure = 0; }

bool FailingAllocation::Happened() { return failure_happened; }

FailingLargeAllocations::FailingLargeAllocations(std::size_t bytes) { failing_size.store(bytes); }
FailingLargeAllocations::~FailingLargeAllocations() { failing_size.store(SIZE_MAX); }

}  // namespace qit::testing
