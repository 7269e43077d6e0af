#include "workers/RecordWriter.h"

#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "workers/DriverAttempts.h"
#include "workers/OneRequest.h"

namespace qit {

RecordWriter::RecordWriter(const Settings& settings, Schema& schema, TVoradaLogger& log, DriverCache& drivers)
    : settings_(settings),
      schema_(schema),
      log_(log),
      drivers_(drivers),
      grouping_control_(schema, log),
      driver_registration_(schema, log, settings, drivers) {}

bool RecordWriter::Write(DbConnection& connection, PassLookups& lookups, const QueuedRecord& queued,
                         InsertSteps& steps) {
  // The writer fills the identifiers it finds into its own copy; the queue keeps the record
  // as it was received, should it have to be written again.
  TIntegraTelemetria record = queued.record;
  const StepLogger step = [&](const std::string& text) { steps.Log(record.ID_Veiculo, text); };
  const int company_code = queued.company_code;
  // A driver learnt by a record that is rolled back is forgotten again.
  const std::size_t known_drivers = drivers_.Size();
  try {
    step("Iniciando Transação");
    if (!connection.InTransaction()) connection.BeginTransaction();

    step(settings_.ConsultarEmpresa ? "Identificando o veículo (Consultar Empresa) "
                                    : "Identificando o veículo (Não Consultar Empresa)");
    const std::optional<int> vehicle = lookups.Vehicle(connection, record.ID_Veiculo, company_code);
    if (!vehicle) return false;
    step("Veículo Identificado");
    const int vehicle_code = *vehicle;
    DbDataset& metadados = lookups.Metadados(connection, company_code);

    step("Atualizar Controle - Motorista - " + record.ID_Motorista);
    if (!record.Inf_Adicional_Motorista.empty() && settings_.GravarMotorista)
      RegisterDriver(connection, lookups, record, metadados, vehicle_code, company_code, steps);
    step("Atualizar Controle - Agrupamento 1 - " + record.ID_Agrupamento_1);
    if (!record.Inf_Adicional_Agrupamento_1.empty())
      record.ID_Agrupamento_1 = grouping_control_.VerificaControle(
          connection, step, "03", record.ID_Agrupamento_1, record.Inf_Adicional_Agrupamento_1, vehicle_code,
          company_code, TDateTime::Now(), &lookups.Controls());
    step("Atualizar Controle - Agrupamento 2 - " + record.ID_Agrupamento_2);
    if (!record.Inf_Adicional_Agrupamento_2.empty())
      record.ID_Agrupamento_2 = grouping_control_.VerificaControle(
          connection, step, "04", record.ID_Agrupamento_2, record.Inf_Adicional_Agrupamento_2, vehicle_code,
          company_code, TDateTime::Now(), &lookups.Controls());
    InsertRow(connection, record, vehicle_code, company_code, steps);
    return true;
  } catch (...) {
    drivers_.ShrinkTo(known_drivers);
    throw;
  }
}

std::optional<bool> RecordWriter::WriteInOneRequest(DbConnection& connection, PassLookups& lookups,
                                                    const QueuedRecord& queued, InsertSteps& steps) {
  const std::size_t known_drivers = drivers_.Size();
  bool written = false;
  if (!InOneRequest(connection, log_, [&] { written = Write(connection, lookups, queued, steps); },
                    [&] {
                      drivers_.ShrinkTo(known_drivers);
                      lookups.Controls().Clear();
                    }))
    return std::nullopt;
  return written;
}

void RecordWriter::RegisterDriver(DbConnection& connection, PassLookups& lookups, TIntegraTelemetria& record,
                                  DbDataset& metadados, int vehicle_code, int company_code, InsertSteps& steps) {
  const StepLogger step = [&](const std::string& text) { steps.Log(record.ID_Veiculo, text); };
  const auto attempt = [&] {
    record.ID_Motorista = grouping_control_.VerificaControle(connection, step, "02", record.ID_Motorista,
                                                             record.Inf_Adicional_Motorista, vehicle_code,
                                                             company_code, TDateTime::Now(), &lookups.Controls());
    record.ID_Motorista = driver_registration_.VerificaControle_Tab_Vert(
        connection, metadados, step, record.ID_Motorista, record.Inf_Adicional_Motorista, company_code,
        TDateTime::Now());
    step("Motorista " + record.ID_Motorista + " atualizado. Saindo do Loop");
  };
  // In a write batch the attempt's writes are not sent yet: a failure of them fails the whole
  // record's request, and the record is written again statement by statement, attempts and all.
  if (connection.BatchOpen()) {
    attempt();
    return;
  }
  // After the last failed attempt the record goes on without its driver registered.
  RunDriverAttempts(
      connection, drivers_, attempt,
      [&](const std::exception* error, int attempt) {
        // The attempt is rolled back to its savepoint next.
        lookups.Controls().Clear();
        log_.RegistrarExcecao(error,
                              fmt::format("Erro ao atualizar motorista - Tentativa {} de {} {}", attempt,
                                          kDriverAttempts, steps.Last()),
                              true);
      });
}

void RecordWriter::InsertRow(DbConnection& connection, const TIntegraTelemetria& record, int vehicle_code,
                             int company_code, InsertSteps& steps) {
  const bool with_driver = settings_.GravarMotorista;
  steps.Log(record.ID_Veiculo,
            with_driver ? "Inserindo Registro Com Motorista" : "Inserindo Registro Sem Motorista");
  std::unique_ptr<DbCommand> insert = schema_.CreateCommand(
      connection, with_driver ? "InserirRegistroIntegracao" : "InserirRegistroIntegracao_SemMotorista");
  insert->ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle_code);
  insert->ParamByName("IDENTIFICADOR_VEICULO").SetAsString(record.ID_Veiculo);
  insert->ParamByName("DATA_OPERACAO").SetAsDateTime(record.DataOperacao);
  insert->ParamByName("DATAHORA_INI").SetAsDateTime(record.DataHoraInicio);
  insert->ParamByName("DATAHORA_FIM").SetAsDateTime(record.DataHoraTermino);
  if (with_driver) {
    insert->ParamByName("MOTORISTA").SetAsString(record.ID_Motorista);
    insert->ParamByName("INF_ADICIONAL_MOT").SetAsString(record.Inf_Adicional_Motorista);
  }
  insert->ParamByName("AGRUPAMENTO_1").SetAsString(record.ID_Agrupamento_1);
  insert->ParamByName("INF_ADICIONAL_AGR_1").SetAsString(record.Inf_Adicional_Agrupamento_1);
  insert->ParamByName("AGRUPAMENTO_2").SetAsString(record.ID_Agrupamento_2);
  insert->ParamByName("INF_ADICIONAL_AGR_2").SetAsString(record.Inf_Adicional_Agrupamento_2);
  if (settings_.ConsultarEmpresa) insert->ParamByName("CODIGO_EMPRESA").SetAsInteger(company_code);
  insert->ExecuteCommand();
}

}  // namespace qit
