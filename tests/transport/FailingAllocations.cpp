// The test program's own operator new and delete: plain malloc and free, with a size from
// which allocations fail on request. Every unaligned form is replaced, so that memory is
// always given back the way it was taken (the sanitizers check that).
#include "FailingAllocations.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> fail_from{SIZE_MAX};

void* Allocate(std::size_t bytes) {
  if (bytes >= fail_from.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* AllocateOrThrow(std::size_t bytes) {
  if (void* memory = Allocate(bytes)) return memory;
  throw std::bad_alloc();
}

}  // namespace

namespace qit::test {

FailingAllocations::FailingAllocations(std::size_t bytes) { fail_from.store(bytes); }
FailingAllocations::~FailingAllocations() { fail_from.store(SIZE_MAX); }

}  // namespace qit::test

void* operator new(std::size_t bytes) { return AllocateOrThrow(bytes); }
void* operator new[](std::size_t bytes) { return AllocateOrThrow(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
