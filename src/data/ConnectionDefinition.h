#pragma once

#include <string>
#include <string_view>

namespace qit {

// A named way to reach a database. ConnectionType is a free label that statement variants
// can be chosen by; Description is not used.
struct ConnectionDefinition {
  std::string Name;
  std::string ConnectionString;
  std::string ConnectionType;
  bool Default = false;
  std::string Description;
};

// What AcquireConnection does when the pool is full: wait for a connection to come back,
// fail at once, or (treated as a failure as well) return nothing.
enum class PoolBehaviour { pbWait = 0, pbRaiseError = 1, pbIgnoreAndReturn = 2 };

// What happens to a transaction left open when a connection is given back. No custom
// handler exists, so ptCustom leaves the transaction as ptNone does.
enum class PoolTransactionBehaviour { ptNone = 0, ptRollback = 1, ptCommit = 2, ptCustom = 3 };

// The identifier of the one database driver, the first part of every connection string.
inline constexpr std::string_view kFirebirdDriver = "FIB";

}  // namespace qit
