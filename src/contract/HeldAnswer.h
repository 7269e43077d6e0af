#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace qit {

// The answer of a call whose operation returned before it ended (its list is still on its
// way to the disk): the answer waits until the operation settles it. Settling and asking to
// be told of it may come in either order, on any threads; `then` runs once both happened.
class HeldAnswer : public std::enable_shared_from_this<HeldAnswer> {
 public:
  // nullptr: the answer written stands; an error: the call failed after all.
  using Outcome = std::function<void(std::exception_ptr error)>;

  // What the operation calls, once, when it has ended. Holds the answer alive.
  Outcome Settler() {
    return [self = shared_from_this()](std::exception_ptr error) { self->Settle(std::move(error)); };
  }

  // Runs `then` with the outcome as soon as it is known (at once when it is already).
  void WhenSettled(Outcome then) {
    std::unique_lock lock(mutex_);
    if (!settled_) {
      then_ = std::move(then);
      return;
    }
    lock.unlock();
    then(error_);
  }

 private:
  void Settle(std::exception_ptr error) {
    std::unique_lock lock(mutex_);
    if (settled_) return;
    settled_ = true;
    error_ = std::move(error);
    // Moved out: whatever `then` holds is let go once it has run.
    Outcome then = std::move(then_);
    lock.unlock();
    if (then) then(error_);
  }

  std::mutex mutex_;
  bool settled_ = false;
  std::exception_ptr error_;
  Outcome then_;
};

}  // namespace qit
