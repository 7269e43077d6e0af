#pragma once

#include <optional>

#include "common/Settings.h"
#include "data/DbConnection.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"
#include "workers/DriverCache.h"
#include "workers/InsertSteps.h"
#include "workers/PassLookups.h"
#include "workers/VerificaControle.h"
#include "workers/VerificaControle_Tab_Vert.h"

namespace qit {

// Writes one record of the send queue into the fleet database: the vehicle identified, the
// driver and the groupings registered, one row of TELEMETRIA_INTEGRACAO. Whether and when
// the transaction commits, and what becomes of a record that fails, is the insert worker's.
class RecordWriter {
 public:
  RecordWriter(const Settings& settings, Schema& schema, TVoradaLogger& log, DriverCache& drivers);

  // The record's statements in the connection's transaction (begun when there is none),
  // without the commit; each step is a line of `steps` naming the record's vehicle. Raises
  // when one fails, after forgetting the drivers the record taught the cache. true when its
  // row was written, false when its vehicle is unknown (nothing is written for it).
  bool Write(DbConnection& connection, PassLookups& lookups, const QueuedRecord& queued, InsertSteps& steps);

  // As Write, with the record's writes held back in a write batch and sent to the server in
  // one request at its end (more only when a look-up has to see them first). When the record
  // fails for its data, nothing of the attempt stays: the batch is undone, the drivers and
  // control records it taught the caches are forgotten and its log lines are dropped; the
  // result is then nullopt, and the record is to be written with Write, whose statements one
  // by one give the failure its own step and the driver its attempts. Any other failure is
  // raised, its lines written.
  std::optional<bool> WriteInOneRequest(DbConnection& connection, PassLookups& lookups, const QueuedRecord& queued,
                                        InsertSteps& steps);

 private:
  void RegisterDriver(DbConnection& connection, PassLookups& lookups, TIntegraTelemetria& record,
                      DbDataset& metadados, int vehicle_code, int company_code, InsertSteps& steps);
  void InsertRow(DbConnection& connection, const TIntegraTelemetria& record, int vehicle_code, int company_code,
                 InsertSteps& steps);

  const Settings& settings_;
  Schema& schema_;
  TVoradaLogger& log_;
  DriverCache& drivers_;
  GroupingControl grouping_control_;
  DriverRegistration driver_registration_;
};

}  // namespace qit
