#include "transport/ErrorRateLimiter.h"

namespace qit {

ErrorRateLimiter::ErrorRateLimiter(std::chrono::steady_clock::duration interval, Clock clock)
    : interval_(interval), clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)) {}

std::size_t ErrorRateLimiter::Occurred(std::string_view kind) {
  const std::chrono::steady_clock::time_point now = clock_();
  std::lock_guard lock(mutex_);
  const auto found = kinds_.find(kind);
  if (found == kinds_.end()) {
    kinds_.emplace(std::string(kind), KindState{now, 0});
    return 1;
  }
  KindState& state = found->second;
  if (now - state.last_report < interval_) {
    ++state.held_back;
    return 0;
  }
  const std::size_t count = state.held_back + 1;
  state = KindState{now, 0};
  return count;
}

}  // namespace qit
