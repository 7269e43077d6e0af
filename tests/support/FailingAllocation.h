#pragma once

#include <cstddef>

namespace qit::testing {

// Test binaries that link this replace the program's operator new and delete (over malloc
// and free) so that a test can make allocations fail where it wants them to.

// Makes the nth allocation with operator new on the calling thread, counted from now, raise
// std::bad_alloc; later ones succeed again. Ends with the scope.
class FailingAllocation {
 public:
  explicit FailingAllocation(long nth);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // False while the failure is still ahead: the code under test allocated fewer times.
  static bool Happened();
};

// While one is alive, every allocation of at least `bytes` fails, on any thread: a stand-in
// for a process that runs out of memory while a large buffer grows. Only one at a time.
class FailingLargeAllocations {
 public:
  explicit FailingLargeAllocations(std::size_t bytes);
  ~FailingLargeAllocations();
  FailingLargeAllocations(const FailingLargeAllocations&) = delete;
  FailingLargeAllocations& operator=(const FailingLargeAllocations&) = delete;
};

}  // namespace qit::testing
