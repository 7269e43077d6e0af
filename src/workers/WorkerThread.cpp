#include "workers/WorkerThread.h"

namespace qit {

WorkerThread::WorkerThread(std::function<void(std::stop_token)> body)
    : thread_([this, body = std::move(body)](std::stop_token stop) {
        body(stop);
        // The last thing the thread touches: once this is seen, it only returns.
        std::lock_guard lock(mutex_);
        ended_ = true;
        ended_cv_.notify_all();
      }) {}

WorkerThread::~WorkerThread() { Stop(std::chrono::steady_clock::time_point::max()); }

bool WorkerThread::Stop(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) return !left_behind_;
  thread_.request_stop();
  {
    std::unique_lock lock(mutex_);
    if (deadline == std::chrono::steady_clock::time_point::max())
      ended_cv_.wait(lock, [this] { return ended_; });
    else if (!ended_cv_.wait_until(lock, deadline, [this] { return ended_; })) {
      left_behind_ = true;
      thread_.detach();
      return false;
    }
  }
  thread_.join();
  return true;
}

}  // namespace qit
