#include "transport/HttpIoPool.h"

#include <algorithm>

namespace qit {

HttpIoPool::HttpIoPool(unsigned thread_count)
    : io_(static_cast<int>(std::max(thread_count, 1u))), work_(boost::asio::make_work_guard(io_)) {
  threads_.reserve(std::max(thread_count, 1u));
  for (unsigned i = 0; i < std::max(thread_count, 1u); ++i) threads_.emplace_back([this] { io_.run(); });
}

HttpIoPool::~HttpIoPool() {
  work_.reset();
  io_.stop();
  threads_.clear();  // joins
}

}  // namespace qit
