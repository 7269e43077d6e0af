#include "workers/unProcessaIntegracao.h"

#include <exception>
#include <memory>
#include <string>
#include <unordered_set>

#include "common/Errors.h"
#include "data/DataErrors.h"
#include "workers/OneRequest.h"
#include "workers/PassPace.h"
#include "workers/Savepoint.h"
#include "workers/WaitTimeout.h"

namespace qit {

namespace {

constexpr std::string_view kSessionMethod = "Atualizando Estatisticos e Alarmes";

// The savepoint of each session in a transaction of several.
constexpr std::string_view kSessionSavepoint = "QIT_SESSION";

void SetSpan(DbStatement& statement, const TProcessaIntegracao::Session& session) {
  statement.ParamByName("CODIGO_VEICULO").SetAsInteger(session.CODIGO_VEICULO);
  statement.ParamByName("DATAHORA_INI").SetAsDateTime(session.DATAHORA_INI);
  statement.ParamByName("DATAHORA_FIM").SetAsDateTime(session.DATAHORA_FIM);
}

// The parameters of the four update statements; the driver only for the variants that
// write it.
void SetStamp(DbStatement& statement, const TProcessaIntegracao::Session& session, bool with_driver) {
  SetSpan(statement, session);
  if (with_driver) statement.ParamByName("MOTORISTA").SetAsString(session.MOTORISTA);
  statement.ParamByName("AGRUPAMENTO_1").SetAsString(session.AGRUPAMENTO_1);
  statement.ParamByName("AGRUPAMENTO_2").SetAsString(session.AGRUPAMENTO_2);
}

}  // namespace

TProcessaIntegracao::TProcessaIntegracao(const Settings& settings, ConnectionManager& connections, Schema& schema,
                                         TVoradaLogger& log_atualizar, ServiceMetrics* metrics, StepWatch* steps)
    : settings_(settings),
      connections_(connections),
      schema_(schema),
      log_atualizar_(log_atualizar),
      metrics_(metrics),
      steps_(steps),
      thread_([this](std::stop_token stop) { Execute(stop); }) {}

TProcessaIntegracao::~TProcessaIntegracao() { Stop(); }

void TProcessaIntegracao::Acordar() { wake_.Set(); }

bool TProcessaIntegracao::Stop(std::chrono::steady_clock::time_point deadline) {
  std::lock_guard lock(stop_mutex_);
  // The wait for a wake-up ends on the stop request itself; a pass ends after its current
  // session.
  return thread_.Stop(deadline);
}

std::uint64_t TProcessaIntegracao::Passes() const {
  std::lock_guard lock(passes_mutex_);
  return passes_;
}

bool TProcessaIntegracao::WaitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(passes_mutex_);
  return passes_changed_.wait_for(lock, timeout, [&] { return passes_ >= count; });
}

void TProcessaIntegracao::CountPass() {
  {
    std::lock_guard lock(passes_mutex_);
    ++passes_;
  }
  passes_changed_.notify_all();
}

void TProcessaIntegracao::Execute(std::stop_token stop) {
  try {
    const bool paced = settings_.IntervaloMinimoProcessamento_Segundos > 0;
    PassPace pace(std::chrono::seconds(settings_.IntervaloMinimoProcessamento_Segundos));
    while (!stop.stop_requested()) {
      // Woken or timed out, a pass runs either way; a stop request ends the wait and the loop.
      wake_.WaitFor(stop, WaitTimeout(settings_.TempoAguardar_Minutos));
      // A pass asked for sooner than the interval allows starts at its end, and serves the
      // wake-ups that came meanwhile. A stop ends the wait and starts no pass.
      if (!pace.WaitForTurn(stop)) break;
      if (paced) wake_.Clear();
      if (steps_) steps_->Begin(StepWatch::kPassStart);
      AtualizarSessoes(stop);
      if (steps_) steps_->Idle();
      CountPass();
    }
  } catch (const std::exception& error) {
    // A pass catches its own failures; this keeps anything else from ending the process.
    log_atualizar_.RegistrarExcecao(&error, "TProcessaIntegracao.Execute", true);
  }
  // Back to the pool (its transaction behaviour applies; a failure goes to the pool's
  // error handler).
  connection_ = PooledConnection();
}

void TProcessaIntegracao::LogarAtualizacao(std::string_view texto) {
  last_step_ = "Atualizar ";
  last_step_ += texto;
  log_atualizar_.Registrar({}, false, last_step_, stDebug);
  if (steps_) steps_->Begin(last_step_);
}

void TProcessaIntegracao::AtualizarSessoes(std::stop_token stop) {
  last_step_.clear();
  pass_sessions_ = 0;
  const auto started = std::chrono::steady_clock::now();
  std::exception_ptr failure;
  try {
    // Sessions that failed for themselves were logged and left for the next pass; the pass
    // went on and still counts as failed.
    const std::string session_failure = RunPass(stop);
    if (metrics_) {
      metrics_->SetLastPassSessions(pass_sessions_);
      metrics_->CountPass(ServiceMetrics::Worker::kProcessing, session_failure.empty(),
                          std::chrono::steady_clock::now() - started);
      if (session_failure.empty())
        metrics_->DatabaseSucceeded();
      else
        metrics_->DatabaseFailed(session_failure);
    }
    return;
  } catch (...) {
    failure = std::current_exception();
  }

  std::string message;
  const auto log_failure = [&](const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& known) {
      LogFailure(known);
      if (message.empty()) message = known.what();
    } catch (...) {
      const Exception unknown("Unknown error");
      LogFailure(unknown);
      if (message.empty()) message = unknown.what();
    }
  };
  log_failure(failure);
  if (metrics_) {
    metrics_->SetLastPassSessions(pass_sessions_);
    metrics_->CountPass(ServiceMetrics::Worker::kProcessing, false, std::chrono::steady_clock::now() - started);
    metrics_->DatabaseFailed(message);
  }

  if (!connection_) return;  // the connection could not be taken; the next pass tries again
  // The open transaction is the purge and the read of the open sessions, or the failed
  // session's: none of it stays.
  try {
    if (connection_->InTransaction()) connection_->RollbackTransaction();
  } catch (...) {
    log_failure(std::current_exception());
  }
  // A connection whose attachment is gone goes back to the pool (which closes it); the
  // next pass takes a new one.
  if (!connection_->Connected()) connection_ = PooledConnection();
}

void TProcessaIntegracao::LogFailure(const std::exception& error) {
  log_atualizar_.RegistrarExcecao(&error, "Atualizar " + last_step_, true);
}

std::string TProcessaIntegracao::RunPass(std::stop_token stop) {
  if (!connection_) connection_ = connections_.AcquireConnection("GPS");
  DbConnection& connection = *connection_;

  if (!connection.InTransaction()) connection.BeginTransaction();

  LogarAtualizacao("Removendo registros vencidos de " + std::to_string(settings_.Qtde_Dias_Remocao) + " dias atrás");
  {
    auto purge = schema_.CreateCommand(connection, "Deletar_RegistroIntegracao");
    purge->ParamByName("DIAS").SetAsInteger(settings_.Qtde_Dias_Remocao);
    purge->ExecuteCommand();
  }

  LogarAtualizacao("Buscando Sessões Abertas");
  ReadOpenSessions(schema_, connection, cdsSessoes);
  if (metrics_) metrics_->SetOpenSessions(cdsSessoes.size());
  KeepSessionsWithWork(connection);
  ReadCompleteSessions(connection);

  LogarAtualizacao("Commitando Transação");
  if (connection.InTransaction()) connection.CommitTransaction();

  const auto per_transaction = static_cast<std::size_t>(std::max(1, settings_.SessoesPorTransacao));
  std::string session_failure;  // the first session's own failure of the pass
  for (std::size_t next = 0; next < cdsSessoes.size();) {
    // An orderly stop waits for the session (or the transaction of sessions) being
    // processed, not for the whole pass; the sessions left are still open in the database.
    if (stop.stop_requested()) break;
    try {
      if (per_transaction == 1)
        ProcessSession(connection, cdsSessoes[next++]);
      else
        ProcessSessions(connection, next, per_transaction, stop, session_failure);
    } catch (const std::exception& error) {
      // A failure of the database ends the pass. One of the session's own data (an export
      // procedure that refuses it, a value, a constraint) undoes that session's transaction
      // alone; it stays open for the next pass and the sessions after it go on.
      if (!IsDataFailure(error)) throw;
      if (connection.InTransaction()) connection.RollbackTransaction();
      LogFailure(error);
      if (session_failure.empty()) session_failure = error.what();
    }
  }
  return session_failure;
}

void TProcessaIntegracao::KeepSessionsWithWork(DbConnection& connection) {
  auto vehicles =
      schema_.CreateDataset(connection, settings_.GravarMotorista ? "VehiclesToProcess" : "VehiclesToProcessWithoutDriver");
  vehicles->Open();
  std::unordered_set<std::int32_t> with_work;
  with_work.reserve(static_cast<std::size_t>(vehicles->RecordCount()));
  DbField& codigo_veiculo = vehicles->FieldByName("CODIGO_VEICULO");
  for (vehicles->First(); !vehicles->Eof(); vehicles->Next()) with_work.insert(codigo_veiculo.AsInteger());
  vehicles->Close();
  std::erase_if(cdsSessoes, [&](const Session& session) { return !with_work.contains(session.CODIGO_VEICULO); });
}

void TProcessaIntegracao::ReadCompleteSessions(DbConnection& connection) {
  complete_sessions_.clear();
  if (cdsSessoes.empty()) return;
  auto complete = schema_.CreateDataset(connection, "CompleteSessions");
  complete->Open();
  DbField& codigo = complete->FieldByName("CODIGO");
  for (complete->First(); !complete->Eof(); complete->Next()) complete_sessions_.insert(codigo.AsInteger());
}

void TProcessaIntegracao::ProcessSession(DbConnection& connection, const Session& session) {
  SessionWork work;
  if (!ApplyInOneRequest(connection, session, work)) ApplySession(connection, session, work);
  if (connection.InTransaction()) connection.CommitTransaction();
  // Counted once committed: a session rolled back is done again by a later pass.
  CountCommitted(work);
}

void TProcessaIntegracao::ProcessSessions(DbConnection& connection, std::size_t& end, std::size_t most,
                                          const std::stop_token& stop, std::string& session_failure) {
  const std::size_t first = end;
  SessionWork committed;
  for (; end < cdsSessoes.size() && end - first < most && (end == first || !stop.stop_requested()); ++end) {
    if (!connection.InTransaction()) connection.BeginTransaction();
    // A session's request is undone as a whole by the server when it fails; only the session
    // applied again statement by statement needs a savepoint of its own.
    SessionWork work;
    if (!ApplyInOneRequest(connection, cdsSessoes[end], work)) {
      SetSavepoint(connection, kSessionSavepoint);
      try {
        ApplySession(connection, cdsSessoes[end], work);
      } catch (const std::exception& error) {
        // A failure of the database ends the transaction, rolled back by the pass's handler.
        // One of the session's own data undoes the session alone; the others go on, and it
        // waits for the next pass.
        if (!IsDataFailure(error)) throw;
        RollBackToSavepoint(connection, kSessionSavepoint);
        LogFailure(error);
        if (session_failure.empty()) session_failure = error.what();
        continue;
      }
      ReleaseSavepoint(connection, kSessionSavepoint);
    }
    committed += work;  // only once nothing of it can be undone alone any more
  }
  if (connection.InTransaction()) connection.CommitTransaction();
  CountCommitted(committed);
}

TProcessaIntegracao::SessionWork& TProcessaIntegracao::SessionWork::operator+=(const SessionWork& other) {
  sessions += other.sessions;
  completed += other.completed;
  statistics_rows += other.statistics_rows;
  alarm_rows += other.alarm_rows;
  return *this;
}

void TProcessaIntegracao::CountCommitted(const SessionWork& work) {
  pass_sessions_ += work.sessions;
  if (metrics_ == nullptr) return;
  metrics_->CountStampedRows(work.statistics_rows, work.alarm_rows);
  if (work.completed > 0) metrics_->CountSessionsCompleted(work.completed, settings_.Exportar_Telemetria);
}

bool TProcessaIntegracao::ApplyInOneRequest(DbConnection& connection, const Session& session, SessionWork& work) {
  return InOneRequest(connection, log_atualizar_, [&] { ApplySession(connection, session, work); },
                      [&] { work = SessionWork{}; });
}

void TProcessaIntegracao::ApplySession(DbConnection& connection, const Session& session, SessionWork& work) {
  log_atualizar_.EntrarMetodo(kSessionMethod, false, true, stDebug);
  work = SessionWork{.sessions = 1};
  try {
    LogarAtualizacao("Atualizando Estatisticos e Alarmes - Veiculo=" + std::to_string(session.CODIGO_VEICULO) +
                     " - Motorista=" + session.MOTORISTA + " - Agrupamento1=" + session.AGRUPAMENTO_1 +
                     " - Agrupamento2=" + session.AGRUPAMENTO_2 + " - DatahoraIni=" + session.DATAHORA_INI.ToString() +
                     " - DatahoraFim=" + session.DATAHORA_FIM.ToString() +
                     " - GravarMotorista=" + (settings_.GravarMotorista ? "T" : "F"));
    if (!connection.InTransaction()) connection.BeginTransaction();
    ApplyAndComplete(connection, session, work);
  } catch (...) {
    // The session's method is left before its error is written (by the caller, after the
    // roll-back), so none of its statements stays.
    log_atualizar_.SairMetodo(false, stDebug);
    throw;
  }
  log_atualizar_.SairMetodo(false, stDebug);
}

void TProcessaIntegracao::ApplyAndComplete(DbConnection& connection, const Session& session, SessionWork& work) {
  const bool with_driver = settings_.GravarMotorista;
  // The statements write only the rows whose values differ from the session's; the counts
  // are the rows written.
  const auto stamp = [&](std::string_view name, std::uint64_t& rows) {
    auto command = schema_.CreateCommand(connection, name);
    SetStamp(*command, session, with_driver);
    command->ExecuteCommand(&rows);
  };
  stamp(with_driver ? "AtualizaEstatisticos" : "AtualizaEstatisticos_SemMotorista", work.statistics_rows);
  stamp(with_driver ? "AtualizaAlarmes" : "AtualizaAlarmes_SemMotorista", work.alarm_rows);
  if (!complete_sessions_.contains(session.CODIGO)) return;

  LogarAtualizacao("Copiando Registro para a Tabela de Histórico");
  {
    auto history = schema_.CreateCommand(connection, "InserirRegistroIntegracaoHistorico");
    SetSpan(*history, session);
    history->ParamByName("IDENTIFICADOR_VEICULO").SetAsString(session.IDENTIFICADOR_VEICULO);
    history->ParamByName("DATA_OPERACAO").SetAsDateTime(session.DATA_OPERACAO);
    history->ParamByName("MOTORISTA").SetAsString(session.MOTORISTA);
    history->ParamByName("INF_ADICIONAL_MOT").SetAsString(session.INF_ADICIONAL_MOT);
    history->ParamByName("AGRUPAMENTO_1").SetAsString(session.AGRUPAMENTO_1);
    history->ParamByName("INF_ADICIONAL_AGR_1").SetAsString(session.INF_ADICIONAL_AGR_1);
    history->ParamByName("AGRUPAMENTO_2").SetAsString(session.AGRUPAMENTO_2);
    history->ParamByName("INF_ADICIONAL_AGR_2").SetAsString(session.INF_ADICIONAL_AGR_2);
    history->ParamByName("CODIGO_EMPRESA").SetAsInteger(session.CODIGO_EMPRESA);
    history->ExecuteCommand();
  }

  LogarAtualizacao("Deletando Registro da Tabela Oficial");
  {
    auto deletar = schema_.CreateCommand(connection, "DeletarIntegracao");
    deletar->ParamByName("CODIGO").SetAsInteger(session.CODIGO);
    deletar->ExecuteCommand();
  }

  if (settings_.Exportar_Telemetria) {
    LogarAtualizacao("Exportar dados do veiculo " + std::to_string(session.CODIGO_VEICULO) + " de " +
                     session.DATAHORA_INI.ToString() + " Até " + session.DATAHORA_FIM.ToString());
    auto export_session = schema_.CreateCommand(connection, "ExportarTelemetria");
    SetSpan(*export_session, session);
    export_session->ExecuteCommand();
  }
  work.completed = 1;
}

}  // namespace qit
