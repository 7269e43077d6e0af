#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace qit {

// An event that lets exactly one waiter through per Set: a successful wait clears it again.
// A Set that nobody waits for stays pending and lets the next waiter through at once, so a
// signal given while the consumer is busy is never lost.
class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    signal_.notify_one();
  }

  // Takes a pending signal without waiting: for a waiter whose work is about to start and
  // serves the signals given so far.
  void Clear() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  // True when the event was set within the timeout (and is cleared again); false on time-out.
  template <class Rep, class Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (!signal_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

  // As above, and the wait also ends, at once, when `stop` is requested. A stop request
  // leaves a pending signal in place; the result is true only when a signal was taken.
  template <class Rep, class Period>
  bool WaitFor(std::stop_token stop, std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (!signal_.wait_for(lock, stop, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  // condition_variable_any: the only condition variable whose waits can end on a stop token.
  std::condition_variable_any signal_;
  bool signalled_ = false;
};

}  // namespace qit
