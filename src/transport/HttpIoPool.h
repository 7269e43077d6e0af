#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

namespace qit {

// The threads that run every listener: one that only accepts connections, so that they are
// taken while the others are busy, and a few that read, process and write them
// (asynchronous operations, never a thread per connection).
//
// Each serving thread runs an event loop of its own, and a connection stays on the loop it
// was given for its whole life: its handlers never run at the same time without needing a
// strand, and they never move between threads, so nothing wakes another thread between
// reading a request and writing its answer. The owner keeps the pool alive longer than
// every listener that uses it.
class HttpIoPool {
 public:
  // thread_count: the threads that serve connections, besides the accepting one.
  explicit HttpIoPool(unsigned thread_count = 2);
  // Stops the threads; work still queued is dropped.
  ~HttpIoPool();
  HttpIoPool(const HttpIoPool&) = delete;
  HttpIoPool& operator=(const HttpIoPool&) = delete;

  boost::asio::io_context& AcceptContext() { return accept_loop_->io; }
  // The loop the next connection is served on: the serving loops take them in turn.
  boost::asio::io_context& NextContext();

 private:
  struct Loop {
    boost::asio::io_context io{1};  // run by one thread only
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  };

  std::unique_ptr<Loop> accept_loop_;
  std::vector<std::unique_ptr<Loop>> serving_loops_;
  std::atomic<std::size_t> next_ = 0;
  std::vector<std::jthread> threads_;
};

}  // namespace qit
