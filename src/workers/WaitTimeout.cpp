#include "workers/WaitTimeout.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

namespace qit {

std::chrono::milliseconds WaitTimeout(int minutes) {
  const std::int64_t milliseconds = std::int64_t{minutes} * 60'000;
  return std::chrono::milliseconds(
      std::clamp<std::int64_t>(milliseconds, 0, std::numeric_limits<std::int32_t>::max()));
}

void SleepUntil(const std::stop_token& stop, std::chrono::steady_clock::time_point deadline) {
  // Nothing notifies this variable: the wait ends at the deadline or on the stop request.
  std::mutex mutex;
  std::condition_variable_any never_notified;
  std::unique_lock lock(mutex);
  never_notified.wait_until(lock, stop, deadline, [] { return false; });
}

}  // namespace qit
