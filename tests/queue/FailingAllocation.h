#pragma once

namespace qit::testing {

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

}  // namespace qit::testing
