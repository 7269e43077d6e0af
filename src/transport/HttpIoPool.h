#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>
#include <vector>

namespace qit {

// The threads that run every listener: a few that read, process and write the connections
// (asynchronous operations, never a thread per connection), and one that only accepts them.
// Accepting apart keeps taking connections while the others are busy, so the short listen
// backlog does not overflow under load. The owner keeps the pool alive longer than every
// listener that uses it.
class HttpIoPool {
 public:
  // thread_count: the threads that serve connections, besides the accepting one.
  explicit HttpIoPool(unsigned thread_count = 2);
  // Stops the threads; work still queued is dropped.
  ~HttpIoPool();
  HttpIoPool(const HttpIoPool&) = delete;
  HttpIoPool& operator=(const HttpIoPool&) = delete;

  boost::asio::io_context& Context() { return io_; }
  boost::asio::io_context& AcceptContext() { return accept_io_; }

 private:
  using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  boost::asio::io_context io_;
  boost::asio::io_context accept_io_;
  WorkGuard work_;
  WorkGuard accept_work_;
  std::vector<std::jthread> threads_;
};

}  // namespace qit
