#include "transport/HttpIoPool.h"

#include <algorithm>

namespace qit {

HttpIoPool::HttpIoPool(unsigned thread_count) : accept_loop_(std::make_unique<Loop>()) {
  const unsigned count = std::max(thread_count, 1u);
  for (unsigned i = 0; i < count; ++i) serving_loops_.push_back(std::make_unique<Loop>());
  threads_.reserve(count + 1);
  threads_.emplace_back([io = &accept_loop_->io] { io->run(); });
  for (const auto& loop : serving_loops_) threads_.emplace_back([io = &loop->io] { io->run(); });
}

HttpIoPool::~HttpIoPool() {
  accept_loop_->work.reset();
  accept_loop_->io.stop();
  for (const auto& loop : serving_loops_) {
    loop->work.reset();
    loop->io.stop();
  }
  threads_.clear();  // joins
  // An accept still queued holds the socket it made on a serving loop: the accepting loop
  // goes first, while the loop that socket belongs to still exists.
  accept_loop_.reset();
}

boost::asio::io_context& HttpIoPool::NextContext() {
  return serving_loops_[next_.fetch_add(1, std::memory_order_relaxed) % serving_loops_.size()]->io;
}

}  // namespace qit
