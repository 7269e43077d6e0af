#include "workers/WaitTimeout.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace qit {

std::chrono::milliseconds WaitTimeout(int minutes) {
  const std::int64_t milliseconds = std::int64_t{minutes} * 60'000;
  return std::chrono::milliseconds(
      std::clamp<std::int64_t>(milliseconds, 0, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace qit
