#include "transport/HttpIoPool.h"

#include <algorithm>

namespace qit {

HttpIoPool::HttpIoPool(unsigned thread_count)
    : io_(static_cast<int>(std::max(thread_count, 1u))),
      accept_io_(1),
      work_(boost::asio::make_work_guard(io_)),
      accept_work_(boost::asio::make_work_guard(accept_io_)) {
  threads_.reserve(std::max(thread_count, 1u) + 1);
  threads_.emplace_back([this] { accept_io_.run(); });
  for (unsigned i = 0; i < std::max(thread_count, 1u); ++i) threads_.emplace_back([this] { io_.run(); });
}

HttpIoPool::~HttpIoPool() {
  work_.reset();
  accept_work_.reset();
  io_.stop();
  accept_io_.stop();
  threads_.clear();  // joins
}

}  // namespace qit
