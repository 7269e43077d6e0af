#include "transport/RequestMemoryBudget.h"

namespace qit {

bool RequestMemoryBudget::TryReserve(std::size_t bytes) {
  std::size_t in_use = in_use_.load(std::memory_order_relaxed);
  do {
    if (max_bytes_ != 0 && (bytes > max_bytes_ || in_use > max_bytes_ - bytes)) return false;
  } while (!in_use_.compare_exchange_weak(in_use, in_use + bytes, std::memory_order_relaxed));
  return true;
}

void RequestMemoryBudget::Release(std::size_t bytes) { in_use_.fetch_sub(bytes, std::memory_order_relaxed); }

bool MemoryReservation::Cover(std::size_t bytes) {
  if (budget_ == nullptr || bytes <= reserved_) return true;
  const std::size_t missing = bytes - reserved_;
  const std::size_t step = (missing + kStep - 1) / kStep * kStep;
  if (!budget_->TryReserve(step)) return false;
  reserved_ += step;
  return true;
}

void MemoryReservation::Reset() {
  if (budget_ != nullptr && reserved_ > 0) budget_->Release(reserved_);
  reserved_ = 0;
}

}  // namespace qit
