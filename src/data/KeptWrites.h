#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/DbValue.h"
#include "data/PreparedStatement.h"

namespace qit {

// A write held back to be sent with others: the statement, its values, and where the number
// of rows it changed goes, if anywhere.
struct KeptWrite {
  std::shared_ptr<PreparedStatement> statement;
  std::vector<DbValue> values;
  std::uint64_t* affected = nullptr;
};

// The bookkeeping of what a connection holds back: the writes of its open write batch, and
// refreshes of shared rows, each under a key, a later refresh with the same key taking the
// place of the earlier one, so that only the last values are written. Sending them is the
// connection's.
class KeptWrites {
 public:
  bool BatchOpen() const { return batch_.has_value(); }
  // Opens the batch; from now on its changes to the refreshes are remembered, for EndBatch
  // to undo.
  void OpenBatch();
  // Ends the batch; with `restore`, the refreshes become again what they were when it opened.
  void EndBatch(bool restore);
  // Drops everything held back (the transaction ended).
  void Clear();

  void Keep(KeptWrite write) { batch_->push_back(std::move(write)); }
  void KeepRefresh(std::string key, KeptWrite write);

  // The batch's writes in order, to be sent now.
  std::vector<KeptWrite> TakeBatch();
  // The refreshes to be sent now, in the order of their keys (so each statement's together),
  // in groups of at most 32.
  std::vector<std::vector<KeptWrite>> TakeRefreshes();

 private:
  struct Refreshes {
    std::vector<std::pair<std::string, KeptWrite>> writes;
    std::unordered_map<std::string, std::size_t> by_key;
    bool empty() const { return writes.empty(); }
  };

  // Whether the open batch's changes to the refreshes are still to be remembered: once the
  // batch sent them early, what it changes afterwards is dropped with it anyway.
  bool Recording() const { return batch_.has_value() && !sent_early_; }

  std::optional<std::vector<KeptWrite>> batch_;
  Refreshes refreshes_;
  // What undoes the open batch's changes to the refreshes: each change, oldest first (the
  // write it replaced, or none for a key it added), and, once the batch sent the refreshes
  // early, the refreshes as they were just before, to which those changes belong.
  struct Change {
    std::string key;
    std::optional<KeptWrite> replaced;
  };
  std::vector<Change> changes_;
  std::optional<Refreshes> sent_early_;
};

}  // namespace qit
