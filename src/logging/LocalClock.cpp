#include "logging/LocalClock.h"

namespace qit {

TDateTime LocalClock::Now() { return At(std::chrono::system_clock::now()); }

TDateTime LocalClock::At(std::chrono::system_clock::time_point instant) {
  const auto since_epoch = instant.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
  const std::time_t second = static_cast<std::time_t>(seconds.count());
  std::tm local;
  {
    std::lock_guard lock(mutex_);
    if (second != second_) {
      localtime_r(&second, &local_);
      second_ = second;
    }
    local = local_;
  }
  return TDateTime::Encode({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec, static_cast<int>(ms)});
}

}  // namespace qit
