#include "transport/HttpIoPool.h"

#include <algorithm>

namespace qit {

HttpIoPool::HttpIoPool(unsigned thread_count) {
  const unsigned count = std::max(thread_count, 1u);
  for (unsigned i = 0; i < count; ++i) loops_.push_back(std::make_unique<Loop>());
  threads_.reserve(count);
  for (const auto& loop : loops_) threads_.emplace_back([io = &loop->io] { io->run(); });
}

HttpIoPool::~HttpIoPool() {
  for (const auto& loop : loops_) {
    loop->work.reset();
    loop->io.stop();
  }
  threads_.clear();  // joins
}

}  // namespace qit
