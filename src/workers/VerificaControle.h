#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "common/DateTime.h"
#include "data/DbConnection.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/StepLogger.h"

namespace qit {

// What the query of VerificaControle found for a (type code, identifier, vehicle, company),
// kept for the later records of one pass of the insert worker: the vehicle's grouping type of
// that code and its control record. Updating a control record changes neither; inserting one
// does, so the key of a control record just inserted is forgotten, and the owner forgets
// everything when it rolls back to a savepoint. Like the pass's vehicle look-ups, what others
// change in the database meanwhile is seen by the next pass.
class ControlLookups {
 public:
  struct Found {
    bool type_found = false;     // the vehicle's operations have a grouping type of that code
    int type_row = 0;            // CODIGO_TIPO_AGRUPAMENTO of the first row
    std::optional<int> control;  // CODIGO_AGRUPAMENTO_CONTROLE of the first row; none: not yet
  };
  using Key = std::tuple<std::string, std::string, int, int>;  // type, identifier, vehicle, company

  const Found* Find(const Key& key) const {
    const auto found = found_.find(key);
    return found == found_.end() ? nullptr : &found->second;
  }
  void Remember(const Key& key, const Found& found) { found_.insert_or_assign(key, found); }
  void Forget(const Key& key) { found_.erase(key); }
  void Clear() { found_.clear(); }

 private:
  std::map<Key, Found> found_;
};

// Keeps the grouping control records (AGRUPAMENTO_CONTROLE) of the driver and of the two
// groupings of a telemetry record current: inserts the record of a value reported for the
// first time, refreshes description, date-time and company of a known one.
class GroupingControl {
 public:
  GroupingControl(Schema& schema, TVoradaLogger& Log) : schema_(schema), log_(Log) {}

  // Runs on `connection` in its current transaction, which it neither commits nor rolls
  // back. `type_code` is "02" (driver), "03" or "04" (groupings). Returns the identifier
  // trimmed, or the stored identifier of the same type and company whose description
  // matches when the identifier is empty. Failures are raised after the clean-up. With
  // `lookups`, the control record's query is answered from it when it can be, and what the
  // query finds is kept there.
  std::string VerificaControle(DbConnection& connection, const StepLogger& LogarEtapa, std::string_view type_code,
                               std::string_view identifier, std::string_view description, int vehicle_code,
                               int company_code, TDateTime now, ControlLookups* lookups = nullptr);

 private:
  Schema& schema_;
  TVoradaLogger& log_;
};

}  // namespace qit
