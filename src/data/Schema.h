#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "data/Catalogue.h"
#include "data/DbConnection.h"
#include "data/DbStatement.h"

namespace qit {

// The catalogue of named SQL statements. Turns a dataset or command name into a statement
// object prepared on a given connection. Safe to share between threads; each statement
// object belongs to the thread of its connection.
class Schema {
 public:
  // The catalogue compiled into the program.
  Schema();
  // A catalogue document of the same form.
  explicit Schema(std::string_view catalogue_xml);

  const std::vector<DatasetDefinition>& Datasets() const { return catalogue_.Datasets; }
  const std::vector<CommandDefinition>& Commands() const { return catalogue_.Commands; }

  // A dataset, not opened, prepared on the connection (attached first when needed). An
  // unknown name fails with "Cannot find item "<name>" in collection of type Datasets",
  // a statement the server refuses with the server's message.
  std::unique_ptr<DbDataset> CreateDataset(DbConnection& connection, std::string_view name);
  // A command likewise ("... of type Commands"). A stored-procedure command also starts the
  // connection's transaction when it is not active and prepares the procedure call.
  std::unique_ptr<DbCommand> CreateCommand(DbConnection& connection, std::string_view name);

 private:
  // "EXECUTE PROCEDURE <name> (?P1, ?P2, ...)" from the procedure's input parameters as
  // the database lists them; built once per database and procedure.
  std::string ProcedureCall(DbConnection& connection, const std::string& procedure);

  Catalogue catalogue_;
  std::mutex procedure_calls_mutex_;
  std::map<std::string, std::string> procedure_calls_;
};

// The variant of a statement for a connection: the first whose Connection names the
// connection's definition, else the first whose ConnectionType is the connection's type,
// else the first marked Default, else the first whose Connection names the default
// definition. Fails with "Cannot find statement <statement> for connection <default>".
const StatementDefinition& SelectStatement(const std::vector<StatementDefinition>& variants,
                                           const DbConnection& connection, std::string_view statement);

}  // namespace qit
