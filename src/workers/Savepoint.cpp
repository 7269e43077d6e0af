#include "workers/Savepoint.h"

#include <string>

namespace qit {
namespace {

// Runs a statement without markers in the connection's transaction.
void Run(DbConnection& connection, std::string_view sql, std::string_view name) {
  auto statement = connection.Prepare(std::string(sql) + std::string(name));
  connection.Execute(*statement, {});
}

}  // namespace

void SetSavepoint(DbConnection& connection, std::string_view name) { Run(connection, "SAVEPOINT ", name); }

void RollBackToSavepoint(DbConnection& connection, std::string_view name) {
  Run(connection, "ROLLBACK TO SAVEPOINT ", name);
  ReleaseSavepoint(connection, name);
}

void ReleaseSavepoint(DbConnection& connection, std::string_view name) { Run(connection, "RELEASE SAVEPOINT ", name); }

}  // namespace qit
