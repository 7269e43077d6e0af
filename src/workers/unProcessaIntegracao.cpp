#include "workers/unProcessaIntegracao.h"

#include <exception>
#include <memory>
#include <string>

#include "common/Errors.h"
#include "workers/WaitTimeout.h"

namespace qit {

namespace {

constexpr std::string_view kSessionMethod = "Atualizando Estatisticos e Alarmes";

void SetSpan(DbStatement& statement, const TProcessaIntegracao::Sessao& sessao) {
  statement.ParamByName("CODIGO_VEICULO").SetAsInteger(sessao.CODIGO_VEICULO);
  statement.ParamByName("DATAHORA_INI").SetAsDateTime(sessao.DATAHORA_INI);
  statement.ParamByName("DATAHORA_FIM").SetAsDateTime(sessao.DATAHORA_FIM);
}

// The parameters of the four update statements; the driver only for the variants that
// write it.
void SetStamp(DbStatement& statement, const TProcessaIntegracao::Sessao& sessao, bool gravar_motorista) {
  SetSpan(statement, sessao);
  if (gravar_motorista) statement.ParamByName("MOTORISTA").SetAsString(sessao.MOTORISTA);
  statement.ParamByName("AGRUPAMENTO_1").SetAsString(sessao.AGRUPAMENTO_1);
  statement.ParamByName("AGRUPAMENTO_2").SetAsString(sessao.AGRUPAMENTO_2);
}

// The first row of the vehicle after the session's end in one of the two tables, or none.
std::unique_ptr<DbDataset> OpenLaterRow(Schema& schema, DbConnection& connection, std::string_view name,
                                        const TProcessaIntegracao::Sessao& sessao) {
  auto dataset = schema.CreateDataset(connection, name);
  dataset->ParamByName("DATAHORA_FIM").SetAsDateTime(sessao.DATAHORA_FIM);
  dataset->ParamByName("CODIGOVEICULO").SetAsInteger(sessao.CODIGO_VEICULO);
  dataset->Open();
  return dataset;
}

}  // namespace

TProcessaIntegracao::TProcessaIntegracao(const Settings& settings, ConnectionManager& connections, Schema& schema,
                                         TVoradaLogger& log_atualizar)
    : settings_(settings),
      connections_(connections),
      schema_(schema),
      log_atualizar_(log_atualizar),
      thread_([this](std::stop_token stop) { Execute(stop); }) {}

TProcessaIntegracao::~TProcessaIntegracao() { Stop(); }

void TProcessaIntegracao::Acordar() { wake_.Set(); }

void TProcessaIntegracao::Stop() {
  std::lock_guard lock(stop_mutex_);
  if (!thread_.joinable()) return;
  // The wait for a wake-up ends on the stop request itself; a pass ends after its current
  // session.
  thread_.request_stop();
  thread_.join();
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
    while (!stop.stop_requested()) {
      // Woken or timed out, a pass runs either way; a stop request ends the wait and the loop.
      wake_.WaitFor(stop, WaitTimeout(settings_.TempoAguardar_Minutos));
      if (stop.stop_requested()) break;
      AtualizarSessoes(stop);
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
}

void TProcessaIntegracao::AtualizarSessoes(std::stop_token stop) {
  last_step_.clear();
  std::exception_ptr failure;
  try {
    RunPass(stop);
    return;
  } catch (...) {
    failure = std::current_exception();
  }

  const std::string onde = "Atualizar " + last_step_;
  const auto log_failure = [&](const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& known) {
      log_atualizar_.RegistrarExcecao(&known, onde, true);
    } catch (...) {
      const Exception unknown("Unknown error");
      log_atualizar_.RegistrarExcecao(&unknown, onde, true);
    }
  };
  log_failure(failure);

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

void TProcessaIntegracao::RunPass(std::stop_token stop) {
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
  LoadSessions(connection);

  LogarAtualizacao("Commitando Transação");
  if (connection.InTransaction()) connection.CommitTransaction();

  for (const Sessao& sessao : cdsSessoes) {
    // An orderly stop waits for the session being processed, not for the whole pass; the
    // sessions left are still open in the database.
    if (stop.stop_requested()) break;
    ProcessSession(connection, sessao);
  }
}

void TProcessaIntegracao::LoadSessions(DbConnection& connection) {
  auto abertas = schema_.CreateDataset(connection, "BuscaSessoesAbertas");
  abertas->Open();  // fetches every row
  cdsSessoes.clear();
  cdsSessoes.reserve(static_cast<std::size_t>(abertas->RecordCount()));

  DbField& codigo = abertas->FieldByName("CODIGO");
  DbField& codigo_veiculo = abertas->FieldByName("CODIGO_VEICULO");
  DbField& data_operacao = abertas->FieldByName("DATA_OPERACAO");
  DbField& datahora_ini = abertas->FieldByName("DATAHORA_INI");
  DbField& datahora_fim = abertas->FieldByName("DATAHORA_FIM");
  DbField& motorista = abertas->FieldByName("MOTORISTA");
  DbField& inf_adicional_mot = abertas->FieldByName("INF_ADICIONAL_MOT");
  DbField& agrupamento_1 = abertas->FieldByName("AGRUPAMENTO_1");
  DbField& inf_adicional_agr_1 = abertas->FieldByName("INF_ADICIONAL_AGR_1");
  DbField& agrupamento_2 = abertas->FieldByName("AGRUPAMENTO_2");
  DbField& inf_adicional_agr_2 = abertas->FieldByName("INF_ADICIONAL_AGR_2");
  DbField& identificador_veiculo = abertas->FieldByName("IDENTIFICADOR_VEICULO");
  DbField& codigo_empresa = abertas->FieldByName("CODIGO_EMPRESA");

  for (abertas->First(); !abertas->Eof(); abertas->Next()) {
    Sessao& sessao = cdsSessoes.emplace_back();
    sessao.CODIGO = codigo.AsInteger();
    sessao.CODIGO_VEICULO = codigo_veiculo.AsInteger();
    sessao.DATA_OPERACAO = data_operacao.AsDateTime();
    sessao.DATAHORA_INI = datahora_ini.AsDateTime();
    sessao.DATAHORA_FIM = datahora_fim.AsDateTime();
    sessao.MOTORISTA = motorista.AsString();
    sessao.INF_ADICIONAL_MOT = inf_adicional_mot.AsString();
    sessao.AGRUPAMENTO_1 = agrupamento_1.AsString();
    sessao.INF_ADICIONAL_AGR_1 = inf_adicional_agr_1.AsString();
    sessao.AGRUPAMENTO_2 = agrupamento_2.AsString();
    sessao.INF_ADICIONAL_AGR_2 = inf_adicional_agr_2.AsString();
    sessao.IDENTIFICADOR_VEICULO = identificador_veiculo.AsString();
    sessao.CODIGO_EMPRESA = codigo_empresa.AsInteger();
  }
  abertas->Close();
}

void TProcessaIntegracao::ProcessSession(DbConnection& connection, const Sessao& sessao) {
  log_atualizar_.EntrarMetodo(kSessionMethod, false, true, stDebug);
  try {
    LogarAtualizacao("Atualizando Estatisticos e Alarmes - Veiculo=" + std::to_string(sessao.CODIGO_VEICULO) +
                     " - Motorista=" + sessao.MOTORISTA + " - Agrupamento1=" + sessao.AGRUPAMENTO_1 +
                     " - Agrupamento2=" + sessao.AGRUPAMENTO_2 + " - DatahoraIni=" + sessao.DATAHORA_INI.ToString() +
                     " - DatahoraFim=" + sessao.DATAHORA_FIM.ToString() +
                     " - GravarMotorista=" + (settings_.GravarMotorista ? "T" : "F"));
    if (!connection.InTransaction()) connection.BeginTransaction();
    ApplyAndComplete(connection, sessao);
    if (connection.InTransaction()) connection.CommitTransaction();
  } catch (...) {
    // The pass's handler logs the error and rolls the session's transaction back, so none
    // of its statements stays.
    log_atualizar_.SairMetodo(false, stDebug);
    throw;
  }
  log_atualizar_.SairMetodo(false, stDebug);
}

void TProcessaIntegracao::ApplyAndComplete(DbConnection& connection, const Sessao& sessao) {
  const bool gravar_motorista = settings_.GravarMotorista;
  {
    auto estatisticos = schema_.CreateCommand(
        connection, gravar_motorista ? "AtualizaEstatisticos" : "AtualizaEstatisticos_SemMotorista");
    SetStamp(*estatisticos, sessao, gravar_motorista);
    estatisticos->ExecuteCommand();
  }
  {
    auto alarmes =
        schema_.CreateCommand(connection, gravar_motorista ? "AtualizaAlarmes" : "AtualizaAlarmes_SemMotorista");
    SetStamp(*alarmes, sessao, gravar_motorista);
    alarmes->ExecuteCommand();
  }

  // The session is complete once the vehicle has both a statistics row and an alarm row
  // after its end: no later data can fall into its span any more.
  const bool estatistico_posterior = !OpenLaterRow(schema_, connection, "BuscaRegistroPosterior", sessao)->IsEmpty();
  const bool alarme_posterior = !OpenLaterRow(schema_, connection, "BuscaRegistroPosteriorAlarmes", sessao)->IsEmpty();
  if (!estatistico_posterior || !alarme_posterior) return;

  LogarAtualizacao("Copiando Registro para a Tabela de Histórico");
  {
    auto historico = schema_.CreateCommand(connection, "InserirRegistroIntegracaoHistorico");
    SetSpan(*historico, sessao);
    historico->ParamByName("IDENTIFICADOR_VEICULO").SetAsString(sessao.IDENTIFICADOR_VEICULO);
    historico->ParamByName("DATA_OPERACAO").SetAsDateTime(sessao.DATA_OPERACAO);
    historico->ParamByName("MOTORISTA").SetAsString(sessao.MOTORISTA);
    historico->ParamByName("INF_ADICIONAL_MOT").SetAsString(sessao.INF_ADICIONAL_MOT);
    historico->ParamByName("AGRUPAMENTO_1").SetAsString(sessao.AGRUPAMENTO_1);
    historico->ParamByName("INF_ADICIONAL_AGR_1").SetAsString(sessao.INF_ADICIONAL_AGR_1);
    historico->ParamByName("AGRUPAMENTO_2").SetAsString(sessao.AGRUPAMENTO_2);
    historico->ParamByName("INF_ADICIONAL_AGR_2").SetAsString(sessao.INF_ADICIONAL_AGR_2);
    historico->ParamByName("CODIGO_EMPRESA").SetAsInteger(sessao.CODIGO_EMPRESA);
    historico->ExecuteCommand();
  }

  LogarAtualizacao("Deletando Registro da Tabela Oficial");
  {
    auto deletar = schema_.CreateCommand(connection, "DeletarIntegracao");
    deletar->ParamByName("CODIGO").SetAsInteger(sessao.CODIGO);
    deletar->ExecuteCommand();
  }

  if (settings_.Exportar_Telemetria) {
    LogarAtualizacao("Exportar dados do veiculo " + std::to_string(sessao.CODIGO_VEICULO) + " de " +
                     sessao.DATAHORA_INI.ToString() + " Até " + sessao.DATAHORA_FIM.ToString());
    auto exportar = schema_.CreateCommand(connection, "ExportarTelemetria");
    SetSpan(*exportar, sessao);
    exportar->ExecuteCommand();
  }
}

}  // namespace qit
