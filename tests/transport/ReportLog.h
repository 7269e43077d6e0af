#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "transport/TransportErrorReporter.h"

namespace qit::test {

struct Line {
  std::string location;
  std::string class_name;
  std::string message;
};

// Collects what the transport reports, from whichever thread.
class ReportLog {
 public:
  TransportErrorSink Sink() {
    return [this](std::string_view location, const std::exception& error) {
      std::lock_guard lock(mutex_);
      lines_.push_back({std::string(location), ClassNameOf(error), error.what()});
      added_.notify_all();
    };
  }
  // Waits, within a generous limit, until count lines are there.
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return added_.wait_for(lock, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
  }
  std::vector<Line> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable added_;
  std::vector<Line> lines_;
};

}  // namespace qit::test
