#include "data/Schema.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/Resources.h"
#include "common/Text.h"
#include "data/DataErrors.h"

namespace qit {

namespace {

template <class Definition>
const Definition& FindDefinition(const std::vector<Definition>& definitions, std::string_view name,
                                 std::string_view collection) {
  const auto found = std::find_if(definitions.begin(), definitions.end(),
                                  [&](const Definition& d) { return SameText(d.Name, name); });
  if (found == definitions.end()) throw CannotFindError("item", name, collection);
  return *found;
}

// The name goes into a string literal; a quote in it is doubled so the text stays a literal.
std::string QuotedLiteral(std::string_view text) {
  std::string quoted;
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '\'') quoted.push_back('\'');
  }
  return quoted;
}

}  // namespace

const StatementDefinition& SelectStatement(const std::vector<StatementDefinition>& variants,
                                           const DbConnection& connection, std::string_view statement) {
  const auto first = [&](auto predicate) { return std::find_if(variants.begin(), variants.end(), predicate); };
  auto found = first([&](const StatementDefinition& v) { return SameText(v.Connection, connection.Name()); });
  if (found == variants.end())
    found = first([&](const StatementDefinition& v) { return SameText(v.ConnectionType, connection.ConnectionType()); });
  if (found == variants.end()) found = first([](const StatementDefinition& v) { return v.Default; });
  if (found == variants.end())
    found = first([&](const StatementDefinition& v) { return SameText(v.Connection, connection.DefaultDefinition()); });
  if (found == variants.end())
    throw EDatabaseError(
        fmt::format("Cannot find statement {} for connection {}", statement, connection.DefaultDefinition()));
  return *found;
}

Schema::Schema() : Schema(FindResource("CATALOGUE")) {}

Schema::Schema(std::string_view catalogue_xml) : catalogue_(ParseCatalogue(catalogue_xml)) {}

std::unique_ptr<DbDataset> Schema::CreateDataset(DbConnection& connection, std::string_view name) {
  const DatasetDefinition& dataset = FindDefinition(catalogue_.Datasets, name, kDatasets);
  const StatementDefinition& variant = SelectStatement(dataset.Statements, connection, dataset.Name);
  return std::make_unique<DbDataset>(connection, dataset.Name, variant.SQL, dataset.Params, dataset.Fields,
                                     variant.ColumnMappings);
}

std::unique_ptr<DbCommand> Schema::CreateCommand(DbConnection& connection, std::string_view name) {
  const CommandDefinition& command = FindDefinition(catalogue_.Commands, name, kCommands);
  const StatementDefinition& variant = SelectStatement(command.Statements, connection, command.Name);
  if (variant.StatementType != StatementType::stStoredProcedure)
    return std::make_unique<DbCommand>(connection, command.Name, variant.SQL, variant.StatementType, command.Params);
  if (!connection.InTransaction()) connection.BeginTransaction();
  return std::make_unique<DbCommand>(connection, command.Name, ProcedureCall(connection, variant.SQL),
                                     variant.StatementType, command.Params);
}

std::string Schema::ProcedureCall(DbConnection& connection, const std::string& procedure) {
  const std::string key = connection.DatabaseName() + "||" + procedure;
  {
    std::lock_guard lock(procedure_calls_mutex_);
    if (const auto kept = procedure_calls_.find(key); kept != procedure_calls_.end()) return kept->second;
  }
  const auto rows = connection.QueryOnce(
      "SELECT RDB$PARAMETER_NAME, RDB$PARAMETER_TYPE FROM\r\nRDB$PROCEDURE_PARAMETERS WHERE RDB$PROCEDURE_NAME=\r\n'" +
      QuotedLiteral(procedure) + "'\r\nORDER BY RDB$PARAMETER_NUMBER");
  std::string inputs;
  for (const auto& row : rows) {
    if (ValueAsInteger(row[1]) != 0) continue;
    inputs += fmt::format("{}?{}", inputs.empty() ? "" : ", ", Trim(ValueAsString(row[0])));
  }
  std::string call = "EXECUTE PROCEDURE " + procedure + (inputs.empty() ? "" : " (" + inputs + ")");
  std::lock_guard lock(procedure_calls_mutex_);
  return procedure_calls_.emplace(key, std::move(call)).first->second;
}

}  // namespace qit
