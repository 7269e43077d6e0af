// DbConnection's write batches and held refreshes: what is kept, and how it is sent.
#include "data/DbConnection.h"

#include <algorithm>

#include <fmt/format.h>

namespace qit {

namespace {

constexpr const char* kBatchSavepoint = "QIT_BATCH";

std::vector<const DbValue*> Pointers(const std::vector<DbValue>& values) {
  std::vector<const DbValue*> pointers;
  pointers.reserve(values.size());
  for (const DbValue& value : values) pointers.push_back(&value);
  return pointers;
}

}  // namespace

void DbConnection::OpenBatch() {
  kept_.OpenBatch();
  batch_savepoint_ = false;
}

void DbConnection::SendBatch() {
  if (!kept_.BatchOpen()) return;
  // A failure leaves the batch open, for DiscardBatch to undo what was sent early.
  RunTogether(kept_.TakeBatch());
  if (batch_savepoint_) ExecuteNow(*Prepare(fmt::format("RELEASE SAVEPOINT {}", kBatchSavepoint)), {});
  kept_.EndBatch(false);
  batch_savepoint_ = false;
}

void DbConnection::DiscardBatch() {
  if (!kept_.BatchOpen()) return;
  const bool undo = batch_savepoint_ && transaction_;
  kept_.TakeBatch();
  kept_.EndBatch(true);
  batch_savepoint_ = false;
  if (!undo) return;
  ExecuteNow(*Prepare(fmt::format("ROLLBACK TO SAVEPOINT {}", kBatchSavepoint)), {});
  ExecuteNow(*Prepare(fmt::format("RELEASE SAVEPOINT {}", kBatchSavepoint)), {});
}

namespace {

KeptWrite MakeKept(std::shared_ptr<PreparedStatement> statement, std::span<const DbValue* const> values,
                   std::uint64_t* affected) {
  KeptWrite write{std::move(statement), {}, affected};
  write.values.reserve(values.size());
  for (const DbValue* value : values) write.values.push_back(value != nullptr ? *value : DbValue(DbNull{}));
  return write;
}

}  // namespace

void DbConnection::Keep(std::shared_ptr<PreparedStatement> statement, std::span<const DbValue* const> values,
                        std::uint64_t* affected) {
  if (!kept_.BatchOpen()) {
    SendKept(true);
    ExecuteNow(*statement, values);
    if (affected != nullptr) *affected = AffectedRows(*statement);
    return;
  }
  kept_.Keep(MakeKept(std::move(statement), values, affected));
}

void DbConnection::KeepRefresh(std::string key, std::shared_ptr<PreparedStatement> statement,
                               std::span<const DbValue* const> values) {
  if (!refreshes_deferred_) {
    Keep(std::move(statement), values);
    return;
  }
  kept_.KeepRefresh(std::move(key), MakeKept(std::move(statement), values, nullptr));
}

void DbConnection::SendKept(bool early) {
  std::vector<std::vector<KeptWrite>> refreshes = kept_.TakeRefreshes();
  std::vector<KeptWrite> batch = kept_.TakeBatch();
  if (refreshes.empty() && batch.empty()) return;
  if (early && kept_.BatchOpen() && !batch_savepoint_) {
    ExecuteNow(*Prepare(fmt::format("SAVEPOINT {}", kBatchSavepoint)), {});
    batch_savepoint_ = true;
  }
  for (const std::vector<KeptWrite>& group : refreshes) RunTogether(group);
  RunTogether(batch);
}

void DbConnection::RunTogether(const std::vector<KeptWrite>& writes) {
  if (writes.empty()) return;
  const bool counted =
      std::any_of(writes.begin(), writes.end(), [](const KeptWrite& w) { return w.affected != nullptr; });
  std::optional<std::string> text;
  if (writes.size() > 1 || counted) {
    std::vector<BlockStatement> statements;
    statements.reserve(writes.size());
    for (const KeptWrite& write : writes)
      statements.push_back({write.statement->Source(), write.statement->MarkerMetadata(), write.affected != nullptr});
    text = BlockText(statements, DatabaseCharacterSets());
  }
  if (!text) {
    // One write, or writes a block cannot declare: each on its own, in order.
    for (const KeptWrite& write : writes) {
      ExecuteNow(*write.statement, Pointers(write.values));
      if (write.affected != nullptr) *write.affected = AffectedRows(*write.statement);
    }
    return;
  }
  std::shared_ptr<PreparedStatement> block;
  if (const auto kept = statements_.find(*text); kept != statements_.end()) {
    block = kept->second;
  } else {
    // The block's markers are its parameters' "?"; the statements' own markers inside its body
    // are its variables, not markers.
    MarkedSql marked{*text, {}};
    for (const KeptWrite& write : writes) marked.markers.resize(marked.markers.size() + write.values.size());
    block = PrepareMarked(*text, std::move(marked));
  }
  std::vector<const DbValue*> values;
  for (const KeptWrite& write : writes)
    for (const DbValue& value : write.values) values.push_back(&value);
  if (!counted) {
    ExecuteNow(*block, values);
    return;
  }
  const std::vector<std::vector<DbValue>> rows = QueryNow(*block, values);
  std::size_t column = 0;
  for (const KeptWrite& write : writes) {
    if (write.affected == nullptr) continue;
    *write.affected = rows.empty() ? 0 : static_cast<std::uint64_t>(ValueAsLargeInt(rows.front()[column]));
    ++column;
  }
}

const CharacterSets& DbConnection::DatabaseCharacterSets() {
  if (!character_sets_) {
    const std::vector<std::vector<DbValue>> rows = QueryNow(*Prepare(kCharacterSetsQuery), {});
    CharacterSets sets;
    for (const std::vector<DbValue>& row : rows)
      sets[static_cast<unsigned>(ValueAsInteger(row[0]))] =
          CharacterSet{ValueAsString(row[1]), static_cast<unsigned>(ValueAsInteger(row[2]))};
    character_sets_ = std::move(sets);
  }
  return *character_sets_;
}

}  // namespace qit
