#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

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

  // True when the event was set within the timeout (and is cleared again); false on time-out.
  template <class Rep, class Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    if (!signal_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable signal_;
  bool signalled_ = false;
};

}  // namespace qit
