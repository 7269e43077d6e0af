#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

namespace qit {

// The threads that run every listener, each with an event loop of its own (asynchronous
// operations, never a thread per connection). Every loop accepts connections on every
// listener, and a connection stays on the loop that accepted it for its whole life: its
// handlers never run at the same time without needing a strand, and a request is accepted,
// read, answered and closed without waking another thread. A loop that is busy does not
// accept, so connections go to the loops that have time for them. The owner keeps the pool
// alive longer than every listener that uses it.
class HttpIoPool {
 public:
  explicit HttpIoPool(unsigned thread_count = 2);
  // Stops the threads; work still queued is dropped.
  ~HttpIoPool();
  HttpIoPool(const HttpIoPool&) = delete;
  HttpIoPool& operator=(const HttpIoPool&) = delete;

  std::size_t Size() const { return loops_.size(); }
  boost::asio::io_context& Context(std::size_t index) { return loops_.at(index)->io; }

 private:
  struct Loop {
    boost::asio::io_context io{1};  // run by one thread only
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
  };

  std::vector<std::unique_ptr<Loop>> loops_;
  std::vector<std::jthread> threads_;
};

}  // namespace qit
