#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace qit {

// The bytes that the bodies of requests being read may take at once, shared by every
// listener of the process. A connection reserves before its body grows; a request that would
// pass the budget is refused (503) instead of taking the memory.
class RequestMemoryBudget {
 public:
  // max_bytes: 0 for no limit (reservations are still counted).
  explicit RequestMemoryBudget(std::size_t max_bytes) : max_bytes_(max_bytes) {}
  RequestMemoryBudget(const RequestMemoryBudget&) = delete;
  RequestMemoryBudget& operator=(const RequestMemoryBudget&) = delete;

  // Takes bytes from the budget; false, taking nothing, when they do not fit.
  bool TryReserve(std::size_t bytes);
  void Release(std::size_t bytes);
  std::size_t InUse() const { return in_use_.load(std::memory_order_relaxed); }
  std::size_t MaxBytes() const { return max_bytes_; }

 private:
  const std::size_t max_bytes_;
  std::atomic<std::size_t> in_use_{0};
};

// What one request holds of a budget. It grows in steps of kStep, so that a growing body
// touches the shared counter a few times rather than for every read, and gives everything
// back when it goes. Without a budget it covers anything. Used by one thread at a time.
class MemoryReservation {
 public:
  static constexpr std::size_t kStep = 16 * 1024;

  explicit MemoryReservation(std::shared_ptr<RequestMemoryBudget> budget = nullptr) : budget_(std::move(budget)) {}
  ~MemoryReservation() { Reset(); }
  MemoryReservation(const MemoryReservation&) = delete;
  MemoryReservation& operator=(const MemoryReservation&) = delete;

  // Makes the reservation cover at least bytes; false, leaving it as it was, when the budget
  // refuses the growth.
  bool Cover(std::size_t bytes);
  // Gives everything back.
  void Reset();
  std::size_t Reserved() const { return reserved_; }

 private:
  std::shared_ptr<RequestMemoryBudget> budget_;
  std::size_t reserved_ = 0;
};

}  // namespace qit
