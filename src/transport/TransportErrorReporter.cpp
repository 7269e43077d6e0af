#include "transport/TransportErrorReporter.h"

#include <cstdio>

#include <fmt/format.h>

#include "common/Errors.h"

namespace qit {

TransportErrorReporter::TransportErrorReporter(std::chrono::steady_clock::duration interval,
                                               ErrorRateLimiter::Clock clock)
    : limiter_(interval, std::move(clock)) {}

void TransportErrorReporter::SetSink(TransportErrorSink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

void TransportErrorReporter::Report(std::string_view location, const std::exception& error,
                                    const TransportErrorSink& sink) noexcept {
  try {
    TransportErrorSink target = sink;
    if (!target) {
      std::lock_guard lock(mutex_);
      target = sink_;
    }
    if (!target) return;
    const std::size_t count = limiter_.Occurred(location);
    if (count == 0) return;
    if (count == 1) return target(location, error);
    target(location, Exception(fmt::format("{} ({} ocorrências desde o registro anterior)", error.what(), count),
                               ClassNameOf(error)));
  } catch (const std::exception& failure) {
    // The log itself failed; standard error is the last place left to tell of it.
    std::fprintf(stderr, "transport error report failed: %s\n", failure.what());
  }
}

}  // namespace qit
