#pragma once

#include <chrono>
#include <optional>
#include <stop_token>

namespace qit {

// Holds a worker's passes to at most one start per interval. A pass asked for sooner waits
// for the interval's end instead of being dropped; a stop request ends the wait at once.
class PassPace {
 public:
  // A zero or negative interval never waits.
  explicit PassPace(std::chrono::seconds interval);

  // Waits until the interval since the last pass's start is over and marks a new start:
  // true. false, at once, when `stop` is requested before that: no pass may start.
  bool WaitForTurn(const std::stop_token& stop);

 private:
  std::chrono::steady_clock::duration interval_;
  std::optional<std::chrono::steady_clock::time_point> last_start_;
};

}  // namespace qit
