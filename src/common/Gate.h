#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

namespace qit {

// Counts the work an owner hands to other threads, so that its stop knows when none is left
// in flight. Work enters while the gate is open and holds a pass until it has ended; Close
// turns further work away and waits for the passes out there, so that what the work reaches
// may go once it returns true, whatever order the owners are destroyed in.
//
//   Gate::Pass pass = gate.Enter();
//   if (!pass) return false;            // closed: the work is not handed over
//   Hand([pass, ...] { ... });          // the pass goes with the work, and leaves with it
//
// Any thread may enter, copy, drop a pass and close. The gate must outlive its passes: when
// Close runs out of time, work still holds passes, and neither the gate nor what that work
// reaches may be freed.
class Gate {
 public:
  // Work in flight, or nothing (the gate was closed). A copy is one more pass of the same
  // work, taken even while Close waits, so that work kept in a copied callback counts until
  // its last copy is gone.
  class Pass {
   public:
    Pass() = default;
    Pass(const Pass& other) : gate_(other.gate_) {
      if (gate_ != nullptr) gate_->Join();
    }
    Pass(Pass&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
    Pass& operator=(Pass other) noexcept {
      std::swap(gate_, other.gate_);
      return *this;
    }
    ~Pass() {
      if (gate_ != nullptr) gate_->Leave();
    }

    explicit operator bool() const { return gate_ != nullptr; }

   private:
    friend class Gate;
    explicit Pass(Gate* gate) : gate_(gate) {}

    Gate* gate_ = nullptr;
  };

  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // A pass while the gate is open; nothing once Close was called.
  Pass Enter() {
    const std::lock_guard lock(mutex_);
    if (closed_) return Pass();
    ++passes_;
    return Pass(this);
  }

  // Turns further work away and waits, at most until deadline, until no pass is left; true
  // when none is. A later call waits again; time_point::max() waits as long as it takes.
  bool Close(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    closed_ = true;
    const auto idle = [this] { return passes_ == 0; };
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      idle_.wait(lock, idle);
      return true;
    }
    return idle_.wait_until(lock, deadline, idle);
  }

 private:
  void Join() {
    const std::lock_guard lock(mutex_);
    ++passes_;
  }

  void Leave() {
    // Notified under the lock: once the last pass has left, Close may return and the gate be
    // destroyed, which must not happen before the notification is given.
    const std::lock_guard lock(mutex_);
    if (--passes_ == 0 && closed_) idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::size_t passes_ = 0;
  bool closed_ = false;
};

}  // namespace qit
