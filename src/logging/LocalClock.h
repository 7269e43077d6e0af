#pragma once

#include <chrono>
#include <ctime>
#include <mutex>

#include "common/DateTime.h"

namespace qit {

// The present local time, exactly as TDateTime::Now gives it, for a logger that stamps
// thousands of lines a second. The conversion of UTC to the local calendar (the time-zone
// rules, under the C library's own lock) is done once per second of UTC and remembered;
// every other reading in that second only adds its milliseconds. A zone's offset can only
// change at a whole second, so every reading equals a conversion of its own.
class LocalClock {
 public:
  TDateTime Now();
  TDateTime At(std::chrono::system_clock::time_point instant);

 private:
  std::mutex mutex_;
  std::time_t second_ = -1;  // the UTC second whose local calendar fields local_ holds
  std::tm local_{};
};

}  // namespace qit
