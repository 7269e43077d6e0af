#pragma once

#include <string>
#include <string_view>

#include "common/DateTime.h"
#include "data/DbConnection.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/StepLogger.h"

namespace qit {

// Keeps the grouping control records (AGRUPAMENTO_CONTROLE) of the driver and of the two
// groupings of a telemetry record current: inserts the record of a value reported for the
// first time, refreshes description, date-time and company of a known one.
class GroupingControl {
 public:
  GroupingControl(Schema& schema, TVoradaLogger& Log) : schema_(schema), log_(Log) {}

  // Runs on `connection` in its current transaction, which it neither commits nor rolls
  // back. `type_code` is "02" (driver), "03" or "04" (groupings). Returns the identifier
  // trimmed, or the stored identifier of the same type and company whose description
  // matches when the identifier is empty. Failures are raised after the clean-up.
  std::string VerificaControle(DbConnection& connection, const StepLogger& LogarEtapa, std::string_view type_code,
                               std::string_view identifier, std::string_view description, int vehicle_code,
                               int company_code, TDateTime now);

 private:
  Schema& schema_;
  TVoradaLogger& log_;
};

}  // namespace qit
