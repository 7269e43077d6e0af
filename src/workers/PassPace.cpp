#include "workers/PassPace.h"

#include <condition_variable>
#include <mutex>

namespace qit {

PassPace::PassPace(std::chrono::seconds interval)
    : interval_(interval > std::chrono::seconds::zero() ? interval : std::chrono::seconds::zero()) {}

bool PassPace::WaitForTurn(const std::stop_token& stop) {
  if (last_start_ && interval_ > std::chrono::steady_clock::duration::zero()) {
    // Nothing notifies this variable: the wait ends at the deadline or on the stop request.
    std::mutex mutex;
    std::condition_variable_any never_notified;
    std::unique_lock lock(mutex);
    never_notified.wait_until(lock, stop, *last_start_ + interval_, [] { return false; });
  }
  if (stop.stop_requested()) return false;
  last_start_ = std::chrono::steady_clock::now();
  return true;
}

}  // namespace qit
