#include "data/KeptWrites.h"

#include <map>

#include "data/DataErrors.h"

namespace qit {

namespace {

// Refreshes go in blocks of at most this many statements, cut in powers of two, so that a
// handful of block texts serves any number of refreshes and no block's message grows large.
constexpr std::size_t kMostRefreshesPerBlock = 32;

}  // namespace

void KeptWrites::OpenBatch() {
  if (batch_) throw EDatabaseError("A write batch is already open");
  batch_.emplace();
  refreshes_at_open_ = refreshes_;
}

void KeptWrites::EndBatch(bool restore) {
  batch_.reset();
  if (restore) refreshes_ = std::move(refreshes_at_open_);
  refreshes_at_open_ = {};
}

void KeptWrites::Clear() {
  if (batch_) batch_->clear();
  refreshes_ = {};
  refreshes_at_open_ = {};
}

void KeptWrites::KeepRefresh(std::string key, KeptWrite write) {
  if (const auto known = refreshes_.by_key.find(key); known != refreshes_.by_key.end()) {
    refreshes_.writes[known->second].second = std::move(write);
    return;
  }
  refreshes_.by_key.emplace(key, refreshes_.writes.size());
  refreshes_.writes.emplace_back(std::move(key), std::move(write));
}

std::vector<KeptWrite> KeptWrites::TakeBatch() {
  if (!batch_) return {};
  return std::exchange(*batch_, {});
}

std::vector<std::vector<KeptWrite>> KeptWrites::TakeRefreshes() {
  std::vector<std::vector<KeptWrite>> groups;
  // Each statement's refreshes in their order, cut into blocks of power-of-two sizes.
  std::map<const PreparedStatement*, std::vector<KeptWrite>> by_statement;
  std::vector<const PreparedStatement*> order;
  for (auto& [key, write] : refreshes_.writes) {
    auto& list = by_statement[write.statement.get()];
    if (list.empty()) order.push_back(write.statement.get());
    list.push_back(std::move(write));
  }
  refreshes_ = {};
  for (const PreparedStatement* statement : order) {
    std::vector<KeptWrite>& list = by_statement[statement];
    std::size_t at = 0;
    while (at < list.size()) {
      std::size_t size = kMostRefreshesPerBlock;
      while (size > list.size() - at) size /= 2;
      groups.emplace_back(std::make_move_iterator(list.begin() + static_cast<std::ptrdiff_t>(at)),
                          std::make_move_iterator(list.begin() + static_cast<std::ptrdiff_t>(at + size)));
      at += size;
    }
  }
  return groups;
}

}  // namespace qit
