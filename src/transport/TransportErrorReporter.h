#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string_view>

#include "transport/ErrorRateLimiter.h"

namespace qit {

// Where the transport tells of errors that no client is told of: a failed accept, a failed
// read or write, a request that could not be handled. location names the step that failed.
// The host writes them to its log.
using TransportErrorSink = std::function<void(std::string_view location, const std::exception& error)>;

// Hands the transport's errors to a sink, at most one line per location a minute. A line that
// stands for more than one occurrence says how many, in the words of the log's readers:
// "<message> (N ocorrências desde o registro anterior)". The class name of the error is kept.
class TransportErrorReporter {
 public:
  explicit TransportErrorReporter(std::chrono::steady_clock::duration interval = std::chrono::minutes(1),
                                  ErrorRateLimiter::Clock clock = {});

  // Safe from any thread; an empty sink drops the reports.
  void SetSink(TransportErrorSink sink);

  // Reports error at location unless that location was reported less than the interval ago.
  // sink: when not empty, it takes the report instead of the reporter's own. A sink that
  // raises loses the report; nothing escapes from here.
  void Report(std::string_view location, const std::exception& error, const TransportErrorSink& sink = {}) noexcept;

 private:
  ErrorRateLimiter limiter_;
  std::mutex mutex_;
  TransportErrorSink sink_;
};

}  // namespace qit
