#include "transport/HttpIoPool.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>

#include "common/Errors.h"

namespace qit {

HttpIoPool::Loop::Loop() {
  // A loop makes its reactor (descriptors of its own) for its first socket. Made now, while
  // descriptors are to be had, rather than by the first accept onto this loop, which would
  // fail when the process has run out of them.
  boost::asio::ip::tcp::socket first_socket(io);
}

HttpIoPool::HttpIoPool(unsigned thread_count) : accept_loop_(std::make_unique<Loop>()) {
  const unsigned count = std::max(thread_count, 1u);
  for (unsigned i = 0; i < count; ++i) serving_loops_.push_back(std::make_unique<Loop>());
  threads_.reserve(count + 1);
  threads_.emplace_back([this, loop = accept_loop_.get()] { Run(*loop); });
  for (const auto& loop : serving_loops_) threads_.emplace_back([this, loop = loop.get()] { Run(*loop); });
}

HttpIoPool::~HttpIoPool() {
  Stop();
  // The work is gone already; the accepting loop still goes first, as a leftover accept
  // would hold a socket of a serving loop.
  accept_loop_.reset();
  serving_loops_.clear();
}

void HttpIoPool::Run(Loop& loop) {
  // A handler that raises must not end the thread, nor the process with it: the error is
  // reported and the loop resumes where it was. run() returns once the loop is stopped.
  for (;;) {
    try {
      loop.io.run();
      return;
    } catch (const std::exception& error) {
      errors_.Report("HttpIoPool.Run", error);
    } catch (...) {
      errors_.Report("HttpIoPool.Run", Exception("An error of unknown type escaped a handler"));
    }
  }
}

void HttpIoPool::Stop() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  // A post under way takes no time to finish: it only queues its work.
  gate_->Close(std::chrono::steady_clock::time_point::max());
  accept_loop_->work.reset();
  accept_loop_->io.stop();
  for (const auto& loop : serving_loops_) {
    loop->work.reset();
    loop->io.stop();
  }
  threads_.clear();  // joins
  // Only now that no thread runs, and before any loop is destroyed.
  accept_loop_->io.DropWork();
  for (const auto& loop : serving_loops_) loop->io.DropWork();
}

boost::asio::io_context& HttpIoPool::NextContext() {
  return serving_loops_[next_.fetch_add(1, std::memory_order_relaxed) % serving_loops_.size()]->io;
}

}  // namespace qit
