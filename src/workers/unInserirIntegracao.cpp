#include "workers/unInserirIntegracao.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include <fmt/format.h>

#include "common/Text.h"
#include "data/DataErrors.h"
#include "queue/SendQueue.h"
#include "workers/Savepoint.h"
#include "workers/WaitTimeout.h"

namespace qit {

namespace {

// The savepoint of each record in a transaction of several.
constexpr std::string_view kRecordSavepoint = "QIT_RECORD";

std::int64_t Ticks(std::chrono::steady_clock::time_point time) { return time.time_since_epoch().count(); }

}  // namespace

TinserirIntegracao::TinserirIntegracao(Parts parts)
    : parts_(std::move(parts)),
      writer_(parts_.settings, parts_.schema, parts_.Log, parts_.cdsMotoristas),
      failed_records_(parts_.queue, parts_.rejected_folder, parts_.Log, parts_.metrics),
      steps_(parts_.Log, parts_.steps),
      thread_([this](std::stop_token stop) { Execute(stop); }) {}

TinserirIntegracao::~TinserirIntegracao() { Stop(std::chrono::steady_clock::now()); }

void TinserirIntegracao::Acordar() { wake_.Set(); }

std::optional<TinserirIntegracao::PassOutcome> TinserirIntegracao::LastPass() const {
  std::lock_guard lock(last_pass_mutex_);
  return last_pass_;
}

bool TinserirIntegracao::Stop(std::chrono::steady_clock::time_point drain_until,
                              std::chrono::steady_clock::time_point deadline) {
  // Stored before the stop is requested: the worker reads it once it sees the request.
  drain_until_.store(Ticks(drain_until), std::memory_order_release);
  return thread_.Stop(deadline);
}

bool TinserirIntegracao::Draining(const std::stop_token& stop) const {
  return stop.stop_requested() && Ticks(std::chrono::steady_clock::now()) >= drain_until_.load(std::memory_order_acquire);
}

void TinserirIntegracao::Execute(std::stop_token stop) {
  // Two steps below the threads that serve requests: the database work never slows the
  // answers down. Linux keeps the nice value per thread.
  errno = 0;
  const int nice_now = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  if (errno == 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice_now + 2);

  for (;;) {
    // A stop ends the wait at once: the pass that follows is the stop's drain.
    wake_.WaitFor(stop, WaitTimeout(parts_.settings.TempoAguardar_Minutos));
    PassResult result = PassResult::kFailed;
    pass_error_.clear();
    const auto started = std::chrono::steady_clock::now();
    if (parts_.steps) parts_.steps->Begin(StepWatch::kPassStart, started);
    try {
      result = ProcessarListaDeEnvio(stop);
    } catch (const std::exception& error) {
      // A pass handles its own failures; this is the thread's last guard.
      parts_.Log.RegistrarExcecao(&error, "TinserirIntegracao", true);
      pass_error_ = error.what();
    }
    if (parts_.steps) parts_.steps->Idle();
    {
      std::lock_guard lock(last_pass_mutex_);
      last_pass_ = PassOutcome{std::chrono::system_clock::now(), result == PassResult::kDone, pass_error_};
    }
    CountPass(result, std::chrono::steady_clock::now() - started);
    if (stop.stop_requested()) return;
    if (result == PassResult::kFailed) {
      // Whatever wakes the worker meanwhile, the next pass waits this long; then it comes
      // at once for the records that went back, not after the whole waiting time.
      SleepUntil(stop, std::chrono::steady_clock::now() + parts_.pause_after_failure);
      if (parts_.queue.WaitingRecords() > 0) wake_.Set();
    }
  }
}

void TinserirIntegracao::CountPass(PassResult result, std::chrono::steady_clock::duration duration) {
  ServiceMetrics* metrics = parts_.metrics;
  if (metrics == nullptr) return;
  metrics->CountPass(ServiceMetrics::Worker::kInsert, result == PassResult::kDone, duration);
  if (result == PassResult::kDone)
    metrics->DatabaseSucceeded();
  else if (!pass_error_.empty())
    metrics->DatabaseFailed(pass_error_);
  // A pass that failed without a message of its own stopped at the driver cache, whose load
  // already told the outcome.
}

TinserirIntegracao::PassResult TinserirIntegracao::ProcessarListaDeEnvio(std::stop_token stop) {
  TVoradaLogger& log = parts_.Log;
  steps_.Clear();
  std::vector<QueuedRecord> batch;
  std::size_t next = 0;  // the first record of the batch not finished
  bool writing_alone = false;  // the record at `next` is being written in a transaction of its own
  PooledConnection connection;
  try {
    connection = parts_.pool.AcquireConnection("GPS");
    // A cache whose start-up load failed is loaded before any record, so that no known
    // driver is registered a second time; while it cannot be loaded (the load logs why), the
    // records wait in the queue.
    if (!parts_.cdsMotoristas.Loaded()) {
      parts_.cdsMotoristas.CarregarCDS(parts_.pool, parts_.schema);
      if (!parts_.cdsMotoristas.Loaded()) return PassResult::kFailed;
    }

    PassLookups lookups(parts_.schema, parts_.settings);
    const std::size_t per_transaction = static_cast<std::size_t>(std::max(1, parts_.settings.RegistrosPorTransacao));
    // The records of a transaction refresh the same control and driver rows over and over:
    // each is written once, with the last record's values, before the commit.
    connection->SetRefreshesDeferred(per_transaction > 1);
    batch = parts_.queue.TakeBatch(SIZE_MAX);
    if (!batch.empty()) {
      const std::vector<std::size_t> list_sizes = LogBatch(batch);
      std::size_t list = 0;
      const auto log_list = [&](std::size_t at) {
        if (at == 0 || batch[at].list != batch[at - 1].list)
          log.Registrar("Loop TListaIntegraTelemetria - Count=" + std::to_string(list_sizes[list++]), true, {},
                        stDebug);
      };
      while (next < batch.size()) {
        if (Draining(stop)) break;
        std::vector<std::string> failures;  // the records of the transaction that failed, by position
        writing_alone = per_transaction == 1 || batch[next].write_alone;
        const std::size_t end = writing_alone ? WriteRecord(*connection, lookups, batch, next, log_list)
                                              : WriteTransaction(*connection, lookups, batch, next, per_transaction,
                                                                 stop, log_list, failures);
        const std::size_t first = std::exchange(next, end);
        if (!Settle(batch, first, end, failures)) return PassResult::kFailed;
      }
      if (next < batch.size()) {
        // The stop's time ran out: the rest waits in the queue.
        parts_.queue.GiveBack(std::vector<QueuedRecord>(std::make_move_iterator(batch.begin() + next),
                                                        std::make_move_iterator(batch.end())));
      }
    }
    log.Registrar("Acordando Thread", true, {}, stDebug);
    if (parts_.AcordarProcessamento) parts_.AcordarProcessamento();
    if (!batch.empty()) log.Registrar("Limpando Lista Temporária (ListaDeEnvio)!", true, {}, stDebug);
    return PassResult::kDone;
  } catch (const std::exception& error) {
    log.RegistrarExcecao(&error, "Enviar " + steps_.Last(), true);
    pass_error_ = error.what();
    if (connection && connection->InTransaction()) {
      try {
        connection->RollbackTransaction();
      } catch (const std::exception& rollback_error) {
        log.RegistrarExcecao(&rollback_error, "Enviar " + steps_.Last(), true);
      }
    }
    if (!batch.empty()) {
      log.Registrar("Limpando Lista Temporária (ListaDeEnvio)!", true, {}, stDebug);
      // The failing record and those after it go back. Only a failure of the record's own,
      // written alone, is held against it: a transaction of several refused as a whole had
      // its records marked to be written one per transaction, and the next pass finds which.
      std::vector<std::string> failures;
      if (next < batch.size() && FailedRecords::ChargesRecord(error, writing_alone, batch[next].write_alone))
        failures.push_back(error.what());
      failed_records_.HandBack(std::vector<QueuedRecord>(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(next)),
                                         std::make_move_iterator(batch.end())),
               failures);
    }
    return PassResult::kFailed;
  }
}

std::vector<std::size_t> TinserirIntegracao::LogBatch(std::vector<QueuedRecord>& batch) {
  TVoradaLogger& log = parts_.Log;
  // The records of one call keep their list: the lines count lists and their records.
  std::vector<std::size_t> list_sizes;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (i == 0 || batch[i].list != batch[i - 1].list) list_sizes.push_back(0);
    ++list_sizes.back();
  }
  log.RegistrarFmt("Copiando %d Itens Para a Lista Temporária", true, stDebug, static_cast<int>(list_sizes.size()));
  for (QueuedRecord& queued : batch) {
    // Once per record: one that comes back after a failed pass is not listed again.
    if (std::exchange(queued.listed, true)) continue;
    const TIntegraTelemetria& r = queued.record;
    log.Registrar("", false,
                  "Logar Lista - Veiculo: " + RequestText(r.ID_Veiculo) + " - Motorista: " +
                      RequestText(r.ID_Motorista) + " - Agrupamento1:" + RequestText(r.ID_Agrupamento_1) +
                      " Agrupamento2: " + RequestText(r.ID_Agrupamento_2) +
                      " - DatahoraInicio: " + r.DataHoraInicio.ToString() +
                      " - DatahoraTermino: " + r.DataHoraTermino.ToString(),
                  stError);
  }
  log.Registrar("Loop ListaDeEnvio - Count=" + std::to_string(list_sizes.size()), true, {}, stDebug);
  return list_sizes;
}

bool TinserirIntegracao::Settle(std::vector<QueuedRecord>& batch, std::size_t first, std::size_t end,
                                std::vector<std::string>& failures) {
  // Committed, or their vehicles are unknown: the records are done with, and are not handed
  // back should their done marks fail. Those that failed go back to the queue, before the
  // records not reached, and the pass ends as a failed one.
  std::vector<std::uint64_t> done;
  std::vector<QueuedRecord> failed;
  std::vector<std::string> failed_errors;
  for (std::size_t i = first; i < end; ++i) {
    if (failures.size() > i - first && !failures[i - first].empty()) {
      failed.push_back(std::move(batch[i]));
      failed_errors.push_back(std::move(failures[i - first]));
    } else {
      done.push_back(batch[i].sequence);
    }
  }
  if (failed.empty()) {
    parts_.queue.Acknowledge(done);
    return true;
  }
  // Handed back before the marks are written, so that a mark that fails cannot take them
  // along.
  pass_error_ = failed_errors.front();
  failed.insert(failed.end(), std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(end)),
                std::make_move_iterator(batch.end()));
  batch.clear();
  parts_.Log.Registrar("Limpando Lista Temporária (ListaDeEnvio)!", true, {}, stDebug);
  failed_records_.HandBack(std::move(failed), failed_errors);
  parts_.queue.Acknowledge(done);
  return false;
}

std::size_t TinserirIntegracao::WriteRecord(DbConnection& connection, PassLookups& lookups,
                                            std::vector<QueuedRecord>& batch, std::size_t at,
                                            const std::function<void(std::size_t)>& log_list) {
  log_list(at);
  // A driver learnt by a transaction that is rolled back is forgotten again.
  const std::size_t known_drivers = parts_.cdsMotoristas.Size();
  bool written = false;
  try {
    const std::optional<bool> in_one_request = writer_.WriteInOneRequest(connection, lookups, batch[at], steps_);
    written = in_one_request ? *in_one_request : writer_.Write(connection, lookups, batch[at], steps_);
    steps_.Log(batch[at].record.ID_Veiculo, "Commitando Transação");
    if (connection.InTransaction()) connection.CommitTransaction();
  } catch (...) {
    parts_.cdsMotoristas.ShrinkTo(known_drivers);
    throw;
  }
  CountWritten(written ? 1 : 0, written ? 0 : 1);
  return at + 1;
}

std::size_t TinserirIntegracao::WriteTransaction(DbConnection& connection, PassLookups& lookups,
                                                 std::vector<QueuedRecord>& batch, std::size_t first,
                                                 std::size_t most, const std::stop_token& stop,
                                                 const std::function<void(std::size_t)>& log_list,
                                                 std::vector<std::string>& failures) {
  // Drivers learnt by a transaction that is rolled back as a whole are forgotten again.
  const std::size_t known_drivers = parts_.cdsMotoristas.Size();
  std::size_t end = first;
  std::size_t taken = 0;  // records whose statements the transaction holds or is running
  std::size_t inserted = 0;
  std::size_t dropped = 0;
  try {
    while (end < batch.size() && end - first < most &&
           (end == first || (!Draining(stop) && !batch[end].write_alone))) {
      ++taken;
      log_list(end);
      if (!connection.InTransaction()) connection.BeginTransaction();
      // A record's request is undone as a whole by the server when it fails; only the record
      // written again statement by statement needs a savepoint of its own.
      std::optional<bool> written = writer_.WriteInOneRequest(connection, lookups, batch[end], steps_);
      if (!written) {
        SetSavepoint(connection, kRecordSavepoint);
        try {
          written = writer_.Write(connection, lookups, batch[end], steps_);
        } catch (const std::exception& error) {
          // The database's failures end the whole transaction; a failure of the record undoes
          // the record alone, and the others of the transaction go on.
          if (!IsDataFailure(error)) throw;
          parts_.Log.RegistrarExcecao(&error, "Enviar " + steps_.Last(), true);
          RollBackToSavepoint(connection, kRecordSavepoint);
          lookups.Controls().Clear();
          failures.emplace_back(error.what());
          ++end;
          continue;
        }
        // Outside the record's own failures: a release that fails ends the transaction.
        ReleaseSavepoint(connection, kRecordSavepoint);
      }
      ++(*written ? inserted : dropped);
      failures.emplace_back();
      ++end;
    }
    // The last record's vehicle names the transaction in the step line.
    steps_.Log(batch[end - 1].record.ID_Veiculo, "Commitando Transação");
    if (connection.InTransaction()) connection.CommitTransaction();
  } catch (const std::exception& error) {
    parts_.cdsMotoristas.ShrinkTo(known_drivers);
    failures.clear();
    // Refused as a whole for its data (at the commit, by a trigger on it, or where no
    // record's savepoint could isolate the failure): which record caused it is not known, so
    // none is charged, and each is written in a transaction of its own from now on, where
    // the failure lands on the record that causes it.
    if (FailedRecords::RefusedAsAWhole(error, taken))
      for (std::size_t i = first; i < first + taken; ++i) batch[i].write_alone = true;
    throw;
  }
  CountWritten(inserted, dropped);
  return end;
}

void TinserirIntegracao::CountWritten(std::size_t inserted, std::size_t dropped) {
  if (parts_.metrics == nullptr) return;
  parts_.metrics->CountRecords(ServiceMetrics::Records::kInserted, inserted);
  parts_.metrics->CountRecords(ServiceMetrics::Records::kDropped, dropped);
}

}  // namespace qit
