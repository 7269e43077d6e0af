#pragma once

#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace qit {

// The threads that run every listener's accepting, reading and writing. Connections are
// served by asynchronous operations on these few threads, never by a thread each. The
// owner keeps the pool alive longer than every listener that uses it.
class HttpIoPool {
 public:
  explicit HttpIoPool(unsigned thread_count = 2);
  // Stops the threads; work still queued is dropped.
  ~HttpIoPool();
  HttpIoPool(const HttpIoPool&) = delete;
  HttpIoPool& operator=(const HttpIoPool&) = delete;

  boost::asio::io_context& Context() { return io_; }

 private:
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::jthread> threads_;
};

}  // namespace qit
