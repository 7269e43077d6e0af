#include "workers/PassPace.h"

#include "workers/WaitTimeout.h"

namespace qit {

PassPace::PassPace(std::chrono::seconds interval)
    : interval_(interval > std::chrono::seconds::zero() ? interval : std::chrono::seconds::zero()) {}

bool PassPace::WaitForTurn(const std::stop_token& stop) {
  if (last_start_) SleepUntil(stop, *last_start_ + interval_);
  if (stop.stop_requested()) return false;
  last_start_ = std::chrono::steady_clock::now();
  return true;
}

}  // namespace qit
