#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ServiceMetrics.h"
#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"

namespace qit {

// What becomes of the records the insert worker could not write. Only a failure of a
// record's own data counts against it (IsDataFailure: a value, a constraint, an exception of
// a trigger or procedure); anything else is the database's, and the record waits for it
// uncounted. A record that failed three passes is written to a file of its own under the
// rejected folder and leaves the queue; the others go back to the head of the queue.
class FailedRecords {
 public:
  // Passes a record may fail before it is given up on.
  static constexpr int kMaxFailures = 3;

  // metrics, when given, counts the records given up on.
  FailedRecords(ISendQueueConsumer& queue, std::filesystem::path rejected_folder, TVoradaLogger& log,
                ServiceMetrics* metrics)
      : queue_(queue), rejected_folder_(std::move(rejected_folder)), log_(log), metrics_(metrics) {}

  // Whether `error`, which ended a pass at a record, counts against that record: a failure of
  // its data, met while it was written in a transaction of its own or before it was marked
  // to be (a transaction of several refused as a whole charges none of its records).
  static bool ChargesRecord(const std::exception& error, bool written_alone, bool marked_alone);
  // Whether a transaction of `records` records that failed with `error` was refused as a
  // whole for its data, so that its records are to be written one per transaction from then
  // on, where the failure lands on the record that causes it.
  static bool RefusedAsAWhole(const std::exception& error, std::size_t records);

  // Gives `back` back to the head of the queue in its order. The first failures.size() of
  // them failed with those errors and count it (an empty error: the record did not fail);
  // one that has failed too often goes to its own file instead, and is done with once the
  // file is written. The others were not reached.
  void HandBack(std::vector<QueuedRecord> back, const std::vector<std::string>& failures);

 private:
  ISendQueueConsumer& queue_;
  std::filesystem::path rejected_folder_;
  TVoradaLogger& log_;
  ServiceMetrics* const metrics_;
};

}  // namespace qit
