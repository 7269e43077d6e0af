#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace qit {

// Keeps a recurring error down to one report per kind and interval. The first occurrence of
// a kind is reported at once; later ones are only counted until the interval since that
// kind's last report has passed, and the first occurrence after that is reported again,
// standing for every occurrence counted since the last report. Safe from any thread.
class ErrorRateLimiter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // clock: the steady clock unless given (tests pass their own).
  explicit ErrorRateLimiter(std::chrono::steady_clock::duration interval = std::chrono::minutes(1), Clock clock = {});

  // Records one occurrence of kind. Returns 0 when its report is held back; otherwise the
  // number of occurrences the report due now stands for: this one and those held back.
  std::size_t Occurred(std::string_view kind);

 private:
  struct KindState {
    std::chrono::steady_clock::time_point last_report;
    std::size_t held_back = 0;
  };

  const std::chrono::steady_clock::duration interval_;
  const Clock clock_;
  std::mutex mutex_;
  std::map<std::string, KindState, std::less<>> kinds_;
};

}  // namespace qit
