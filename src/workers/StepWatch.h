#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qit {

// What a worker is doing, for other threads to see: the step its pass is on and since when.
// The worker tells each step as it begins it and that the pass ended; a health check reads
// how long the current step has lasted, so that a pass that no longer moves (a lock held
// without end, a frozen network) is seen while it hangs.
class StepWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // The step of a pass before its first named one.
  static constexpr std::string_view kPassStart = "início da passagem";

  struct Step {
    std::string text;
    Clock::duration lasting{};
  };

  // A step of a pass begins (the worker's thread).
  void Begin(std::string_view text, Clock::time_point now = Clock::now());
  // The pass ended: no step runs.
  void Idle();
  // The step that runs, and how long it has lasted at `now`; empty between passes.
  std::optional<Step> Current(Clock::time_point now = Clock::now()) const;
  // The step that runs when it has lasted longer than `limit`; empty otherwise, and always
  // for a limit of zero.
  std::optional<Step> Stalled(Clock::duration limit, Clock::time_point now = Clock::now()) const;

 private:
  mutable std::mutex mutex_;
  bool running_ = false;
  std::string text_;
  Clock::time_point since_;
};

// "<worker>: sem avanço há N s, etapa: <step>": one line naming a stalled worker.
std::string StallText(std::string_view worker, const StepWatch::Step& step);

}  // namespace qit
