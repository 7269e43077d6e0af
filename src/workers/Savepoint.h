#pragma once

#include <string_view>

#include "data/DbConnection.h"

namespace qit {

// A named savepoint of the connection's transaction: what runs after SetSavepoint can be
// undone alone with RollBackToSavepoint, or kept with ReleaseSavepoint. Each raises what the
// database raises.
void SetSavepoint(DbConnection& connection, std::string_view name);
// Undoes what ran since the savepoint was set, and releases it.
void RollBackToSavepoint(DbConnection& connection, std::string_view name);
void ReleaseSavepoint(DbConnection& connection, std::string_view name);

}  // namespace qit
