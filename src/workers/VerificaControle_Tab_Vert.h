#pragma once

#include <string>
#include <string_view>

#include "common/DateTime.h"
#include "common/Settings.h"
#include "data/DbConnection.h"
#include "data/DbStatement.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/DriverCache.h"
#include "workers/StepLogger.h"

namespace qit {

// Makes sure a reported driver exists in the vertical storage (the logical table
// TB_MOTORISTAS_VERT in TAB_VERT_REPOSITORIO): a driver the cache does not know is registered
// field by field and added to the cache; a known one has its deleted flag, name and company
// refreshed. Only the fields the company configures are written.
class DriverRegistration {
 public:
  // ConsultarEmpresa of `settings` tells whether a driver is known per company or across
  // companies.
  DriverRegistration(Schema& schema, TVoradaLogger& Log, const Settings& settings, DriverCache& cdsMotoristas)
      : schema_(schema), log_(Log), settings_(settings), cache_(cdsMotoristas) {}

  // Runs on `connection` in its current transaction, which it neither commits nor rolls
  // back. `Metadados` is the open field-definition dataset of the company (its current row
  // moves). Returns the identifier trimmed. Failures are raised after the clean-up; the
  // cache learns a new driver only after all of its rows were written.
  std::string VerificaControle_Tab_Vert(DbConnection& connection, DbDataset& Metadados, const StepLogger& LogarEtapa,
                                        std::string_view identifier, std::string_view description, int company_code,
                                        TDateTime now);

 private:
  Schema& schema_;
  TVoradaLogger& log_;
  const Settings& settings_;
  DriverCache& cache_;
};

}  // namespace qit
