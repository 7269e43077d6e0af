#include "workers/StepWatch.h"

#include <fmt/format.h>

namespace qit {

void StepWatch::Begin(std::string_view text, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  running_ = true;
  text_.assign(text);
  since_ = now;
}

void StepWatch::Idle() {
  std::lock_guard lock(mutex_);
  running_ = false;
  text_.clear();
}

std::optional<StepWatch::Step> StepWatch::Current(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  if (!running_) return std::nullopt;
  return Step{text_, now - since_};
}

std::optional<StepWatch::Step> StepWatch::Stalled(Clock::duration limit, Clock::time_point now) const {
  if (limit <= Clock::duration::zero()) return std::nullopt;
  std::optional<Step> step = Current(now);
  if (step && step->lasting <= limit) step.reset();
  return step;
}

std::string StallText(std::string_view worker, const StepWatch::Step& step) {
  return fmt::format("{}: sem avanço há {} s, etapa: {}", worker,
                     std::chrono::duration_cast<std::chrono::seconds>(step.lasting).count(), step.text);
}

}  // namespace qit
