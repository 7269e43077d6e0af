#pragma once

#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <sys/signalfd.h>

namespace qit {

// SIGTERM and SIGINT, taken on the main loop. Both are blocked in every thread from the
// start and read from a signal descriptor, so no library that installs handlers of its own
// ever sees them: the database client would otherwise shut every attachment down at once, in
// the middle of the orderly stop. Create it before any other thread exists, so that all of
// them inherit the mask.
class StopSignals {
 public:
  explicit StopSignals(boost::asio::io_context& loop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Calls `on_stop` on the loop at the first signal. From then on both signals have their
  // default action again on the calling thread, so a second one ends the process at once.
  void AsyncWait(std::function<void()> on_stop);

 private:
  boost::asio::posix::stream_descriptor descriptor_;
  signalfd_siginfo info_{};
};

}  // namespace qit
