#pragma once

#include <cstddef>

namespace qit::test {

// While one is alive, every allocation through operator new of at least `bytes` fails with
// std::bad_alloc, on any thread: a stand-in for a process that runs out of memory while a
// large request body grows. Only one at a time.
class FailingAllocations {
 public:
  explicit FailingAllocations(std::size_t bytes);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace qit::test
