#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/Settings.h"
#include "data/DbConnection.h"
#include "data/DbStatement.h"
#include "data/Schema.h"
#include "workers/VerificaControle.h"

namespace qit {

// What one pass of the insert worker reads from the database once and reuses for the later
// records of the pass: the vehicle a (vehicle identifier, company) names, the field
// definitions (Metadados) of a company, and the grouping control records found (see
// ControlLookups). None of them changes while the service runs, other than by the pass's own
// writes; a vehicle not found stays not found for the pass. Lives for one pass, on the pass's
// connection.
class PassLookups {
 public:
  PassLookups(Schema& schema, const Settings& settings) : schema_(schema), settings_(settings) {}

  // The vehicle's code, or nullopt when the vehicle is not found. The query is
  // "VerificaVeiculo" (by identifier and company) with [CONFIGURACOES] ConsultarEmpresa, else
  // "VerificaVeiculo_SemEmpresa" (by identifier alone).
  std::optional<int> Vehicle(DbConnection& connection, const std::string& identifier, int company_code);
  // "Metadados" of the company, open.
  DbDataset& Metadados(DbConnection& connection, int company_code);
  // To be forgotten whenever the pass rolls back to a savepoint.
  ControlLookups& Controls() { return controls_; }

 private:
  Schema& schema_;
  const Settings& settings_;
  std::map<std::pair<std::string, int>, std::optional<int>> vehicles_;
  std::map<int, std::unique_ptr<DbDataset>> metadados_;
  ControlLookups controls_;
};

}  // namespace qit
