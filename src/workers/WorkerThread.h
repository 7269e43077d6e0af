#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace qit {

// A worker's thread whose stop waits for it only until a deadline. A thread held in a call
// that does not come back (a database behind a frozen network) is left behind, detached,
// instead of holding the stop up for ever; the process is then expected to end soon after,
// without freeing what that thread may still use.
class WorkerThread {
 public:
  // Starts the thread at once with `body`, which receives the thread's stop token.
  explicit WorkerThread(std::function<void(std::stop_token)> body);
  // Requests the stop and joins the thread, without a deadline, unless it was left behind.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void RequestStop() { thread_.request_stop(); }
  // Requests the stop and waits until the body has returned or `deadline` has passed. true:
  // the thread ended and was joined (also when it was joined before). false: it still runs
  // and is detached; this object and whatever the body uses must outlive it.
  bool Stop(std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable ended_cv_;
  bool ended_ = false;
  bool left_behind_ = false;
  std::jthread thread_;  // last: started when the members it signals exist
};

}  // namespace qit
