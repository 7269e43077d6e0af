#pragma once

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace qit::testing {

// The send journal's sync as a test steers it: held while the gate is closed, and failing
// once (EIO) when told to. Its call operator is the journal's sync function:
//   options.sync = [&gate](int fd) { return gate(fd); };
class SyncGate {
 public:
  explicit SyncGate(bool open = true) : open_(open) {}

  int operator()(int fd) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
    if (fail_next_) {
      fail_next_ = false;
      errno = EIO;
      return -1;
    }
    lock.unlock();
    return ::fdatasync(fd);
  }

  void Close() { Set(false); }
  void Open() { Set(true); }
  // The next sync fails.
  void FailNext() {
    const std::lock_guard lock(mutex_);
    fail_next_ = true;
  }

 private:
  void Set(bool open) {
    {
      const std::lock_guard lock(mutex_);
      open_ = open;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_;
  bool fail_next_ = false;
};

}  // namespace qit::testing
