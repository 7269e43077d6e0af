#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/AutoResetEvent.h"
#include "common/ServiceMetrics.h"
#include "common/Settings.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "queue/SendQueue.h"
#include "workers/DriverCache.h"
#include "workers/PassLookups.h"
#include "workers/StepWatch.h"
#include "workers/FailedRecords.h"
#include "workers/InsertSteps.h"
#include "workers/RecordWriter.h"
#include "workers/WorkerThread.h"

namespace qit {

// The insert worker. A thread that sleeps until the send queue wakes it (or until the waiting
// time has passed) and then, in one pass, takes every waiting record and writes it into the
// fleet database: vehicle identified, driver and groupings registered, one integration row,
// one transaction per record ([CONFIGURACOES] RegistrosPorTransacao above 1: that many records
// per transaction, each undone alone when it fails). A record's writes go to the server in one
// request (RecordWriter::WriteInOneRequest). The vehicle and Metadados look-ups are read once
// per pass. At the end of a pass that went through it wakes the processing worker.
//
// Nothing is lost: a record leaves the queue only when its transaction committed or its
// vehicle is unknown. When a pass fails, the failing record and those not reached go back to
// the head of the queue, and FailedRecords decides what counts against whom (a record that
// failed too often goes to the rejected folder). A transaction of several refused as a whole
// for its data charges no record: its records are written one per transaction from then on,
// so that the failure finds its record. After a failed pass the next starts no sooner than
// Parts::pause_after_failure (five seconds) later. Writing one record is RecordWriter's;
// this class holds the passes, the transactions and the savepoints around it.
class TinserirIntegracao {
 public:
  struct Parts {
    const Settings& settings;
    ConnectionManager& pool;
    Schema& schema;
    TVoradaLogger& Log;
    ISendQueueConsumer& queue;
    DriverCache& cdsMotoristas;
    // The data module's AcordarProcessamento.
    std::function<void()> AcordarProcessamento;
    // Where the records given up on are written ("Rejeitados" under the home folder).
    std::filesystem::path rejected_folder;
    // The least time between a failed pass and the next one.
    std::chrono::milliseconds pause_after_failure{5000};
    // Counts passes, records written, dropped and given up on, and the database's outcome;
    // null: nothing is counted.
    ServiceMetrics* metrics = nullptr;
    // Told every step of a pass, for a health check to see a pass that no longer moves;
    // null: nobody watches.
    StepWatch* steps = nullptr;
  };

  // Starts the thread at once; the first pass comes with the first wake-up or after the
  // first full waiting time.
  explicit TinserirIntegracao(Parts parts);
  // Stops without draining when nobody stopped it. Must not run for a worker whose thread a
  // stop left behind.
  ~TinserirIntegracao();
  TinserirIntegracao(const TinserirIntegracao&) = delete;
  TinserirIntegracao& operator=(const TinserirIntegracao&) = delete;

  // The queue's wake-up: a pass runs as soon as the current one (if any) is over.
  void Acordar();

  // The orderly stop: the record being written is finished, then the worker goes on through
  // the queue until `drain_until`, and its thread ends. What it did not reach stays in the
  // queue. true once the thread ended; false when it had not by `deadline` (a statement that
  // does not come back): the thread is left behind, its records stay in the queue, and
  // this object and everything it uses must then never be freed.
  bool Stop(std::chrono::steady_clock::time_point drain_until,
            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

  // How a pass ended: when, whether it went through, and the failure's message if it raised.
  struct PassOutcome {
    std::chrono::system_clock::time_point ended;
    bool done = false;
    std::string error;
  };
  // The last pass that ended; empty before the first. Any thread may ask.
  std::optional<PassOutcome> LastPass() const;

 private:
  enum class PassResult { kDone, kFailed };

  void Execute(std::stop_token stop);
  PassResult ProcessarListaDeEnvio(std::stop_token stop);
  // The lines of a batch taken from the queue: its lists, and each record the first time it
  // is taken. Returns the sizes of its lists, in order.
  std::vector<std::size_t> LogBatch(std::vector<QueuedRecord>& batch);
  // After a transaction (or a record alone) ended: the records from `first` to `end` that
  // did not fail (`failures`, by position: empty for a record written) are done with; when
  // any failed, they and every record after them go back to the queue (the batch is left
  // empty) and the result is false, the pass ending as a failed one.
  bool Settle(std::vector<QueuedRecord>& batch, std::size_t first, std::size_t end, std::vector<std::string>& failures);
  // The record at `at` in a transaction of its own, committed; returns the position after
  // it. Raises when it fails (rolled back by the caller).
  std::size_t WriteRecord(DbConnection& connection, PassLookups& lookups, std::vector<QueuedRecord>& batch,
                          std::size_t at, const std::function<void(std::size_t)>& log_list);
  // Up to `most` records from `first` in one transaction, committed; returns the position
  // after the last. A record that fails is undone alone (its request, then, written again
  // statement by statement, its savepoint) and its error is put at its place in `failures` (empty for the records written);
  // the transaction goes on with the next. A failure that is the database's, or of the
  // commit, raises with the whole transaction to be rolled back by the caller; one of the
  // data (a commit trigger, say) marks the transaction's records to be written alone. From
  // the second record on, a stop whose time ran out, or a record marked to be written alone,
  // ends the transaction early.
  std::size_t WriteTransaction(DbConnection& connection, PassLookups& lookups, std::vector<QueuedRecord>& batch,
                               std::size_t first, std::size_t most, const std::stop_token& stop,
                               const std::function<void(std::size_t)>& log_list, std::vector<std::string>& failures);
  void CountWritten(std::size_t inserted, std::size_t dropped);
  // Counts the pass that ended, and how the database answered it.
  void CountPass(PassResult result, std::chrono::steady_clock::duration duration);
  bool Draining(const std::stop_token& stop) const;

  Parts parts_;
  RecordWriter writer_;
  FailedRecords failed_records_;
  AutoResetEvent wake_;
  std::atomic<std::int64_t> drain_until_{0};  // steady clock ticks; meaningful once stop is requested
  // State of the pass, on the worker thread only.
  InsertSteps steps_;
  std::string pass_error_;                       // the message of the pass's failure, if it raised
  mutable std::mutex last_pass_mutex_;
  std::optional<PassOutcome> last_pass_;
  WorkerThread thread_;  // last: started when everything else exists, joined first
};

}  // namespace qit
