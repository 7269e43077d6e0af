#include "data/KeptWrites.h"

#include <algorithm>

#include "data/DataErrors.h"

namespace qit {

namespace {

// Refreshes go in blocks of at most this many statements, cut in powers of two, so that a
// handful of block texts serves any number of refreshes and no block's message grows large.
constexpr std::size_t kMostRefreshesPerBlock = 32;

// Appends `list` to `groups` in blocks of power-of-two sizes.
void CutIntoBlocks(std::vector<KeptWrite>& list, std::vector<std::vector<KeptWrite>>& groups) {
  std::size_t at = 0;
  while (at < list.size()) {
    std::size_t size = kMostRefreshesPerBlock;
    while (size > list.size() - at) size /= 2;
    groups.emplace_back(std::make_move_iterator(list.begin() + static_cast<std::ptrdiff_t>(at)),
                        std::make_move_iterator(list.begin() + static_cast<std::ptrdiff_t>(at + size)));
    at += size;
  }
}

}  // namespace

void KeptWrites::OpenBatch() {
  if (batch_) throw EDatabaseError("A write batch is already open");
  batch_.emplace();
  changes_.clear();
  sent_early_.reset();
}

void KeptWrites::EndBatch(bool restore) {
  batch_.reset();
  if (restore) {
    Refreshes& before = sent_early_ ? *sent_early_ : refreshes_;
    // Undone newest first: a key the batch added is then the last one kept.
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
      if (change->replaced) {
        before.writes[before.by_key.at(change->key)].second = std::move(*change->replaced);
      } else {
        before.by_key.erase(change->key);
        before.writes.pop_back();
      }
    }
    if (sent_early_) refreshes_ = std::move(*sent_early_);
  }
  changes_.clear();
  sent_early_.reset();
}

void KeptWrites::Clear() {
  if (batch_) batch_->clear();
  refreshes_ = {};
  changes_.clear();
  sent_early_.reset();
}

void KeptWrites::KeepRefresh(std::string key, KeptWrite write) {
  if (const auto known = refreshes_.by_key.find(key); known != refreshes_.by_key.end()) {
    KeptWrite& kept = refreshes_.writes[known->second].second;
    if (Recording()) changes_.push_back({key, std::move(kept)});
    kept = std::move(write);
    return;
  }
  if (Recording()) changes_.push_back({key, std::nullopt});
  refreshes_.by_key.emplace(key, refreshes_.writes.size());
  refreshes_.writes.emplace_back(std::move(key), std::move(write));
}

std::vector<KeptWrite> KeptWrites::TakeBatch() {
  if (!batch_) return {};
  return std::exchange(*batch_, {});
}

std::vector<std::vector<KeptWrite>> KeptWrites::TakeRefreshes() {
  // Sent early by an open batch, after its savepoint: should the batch be discarded, they are
  // held again as they were (a rare path; the copy is taken only then).
  if (Recording() && !refreshes_.empty()) sent_early_ = refreshes_;
  std::vector<std::vector<KeptWrite>> groups;
  // In the order of their keys (the statement's text, then the row's key values), whatever
  // order the records came in: transactions elsewhere that refresh the same rows the same way
  // take their locks in the same order, and wait for each other instead of deadlocking.
  std::sort(refreshes_.writes.begin(), refreshes_.writes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<KeptWrite> list;
  for (auto& [key, write] : refreshes_.writes) {
    if (!list.empty() && list.front().statement != write.statement) {
      CutIntoBlocks(list, groups);
      list.clear();
    }
    list.push_back(std::move(write));
  }
  CutIntoBlocks(list, groups);
  refreshes_ = {};
  return groups;
}

}  // namespace qit
