#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/KeptWrites.h"

namespace qit {
namespace {

// A refresh whose only value tells which write it was.
KeptWrite Write(const std::string& value) { return KeptWrite{nullptr, {DbValue(value)}, nullptr}; }

std::vector<std::vector<std::string>> Values(const std::vector<std::vector<KeptWrite>>& groups) {
  std::vector<std::vector<std::string>> values;
  for (const auto& group : groups) {
    values.emplace_back();
    for (const KeptWrite& write : group) values.back().push_back(ValueAsString(write.values.front()));
  }
  return values;
}

TEST(KeptWritesTest, ALaterRefreshOfARowTakesThePlaceOfTheEarlierOneAndRowsGoInKeyOrder) {
  KeptWrites kept;
  kept.KeepRefresh("b", Write("b1"));
  kept.KeepRefresh("a", Write("a1"));
  kept.KeepRefresh("b", Write("b2"));
  EXPECT_EQ(Values(kept.TakeRefreshes()), (std::vector<std::vector<std::string>>{{"a1", "b2"}}));
  EXPECT_TRUE(kept.TakeRefreshes().empty());
}

TEST(KeptWritesTest, ADiscardedBatchLeavesTheRefreshesAsTheyWereWhenItOpened) {
  KeptWrites kept;
  kept.KeepRefresh("a", Write("a1"));
  kept.OpenBatch();
  kept.KeepRefresh("a", Write("a2"));
  kept.KeepRefresh("b", Write("b1"));
  kept.Keep(Write("insert"));
  kept.EndBatch(/*restore=*/true);
  EXPECT_TRUE(kept.TakeBatch().empty());
  EXPECT_EQ(Values(kept.TakeRefreshes()), (std::vector<std::vector<std::string>>{{"a1"}}));

  // Sent early and then discarded: the savepoint undid them, so they are held again.
  kept.KeepRefresh("a", Write("a3"));
  kept.OpenBatch();
  kept.KeepRefresh("c", Write("c1"));
  kept.TakeRefreshes();
  kept.EndBatch(/*restore=*/true);
  EXPECT_EQ(Values(kept.TakeRefreshes()), (std::vector<std::vector<std::string>>{{"a3"}}));
}

TEST(KeptWritesTest, RefreshesAreSentInBlocksOfPowerOfTwoSizes) {
  KeptWrites kept;
  for (int i = 0; i < 45; ++i) kept.KeepRefresh(std::to_string(100 + i), Write(std::to_string(i)));
  std::vector<std::size_t> sizes;
  for (const auto& group : kept.TakeRefreshes()) sizes.push_back(group.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{32, 8, 4, 1}));
}

}  // namespace
}  // namespace qit
