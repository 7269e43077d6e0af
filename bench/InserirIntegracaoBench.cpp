// The insert worker against a plain loop of the same statements, in the same run, on fresh
// embedded databases with forced writes (as a fleet database runs).
//
//   Worker      the real TinserirIntegracao: N records are queued, the worker is woken, and
//               the iteration ends when the queue holds no record (every one committed);
//               per_transaction is [CONFIGURACOES] RegistrosPorTransacao (1: a commit per
//               record, as the worker ships; 100: a commit per 100 records).
//   Statements  the per-record work written directly on the data layer: vehicle lookup,
//               the company's field definitions, the driver's grouping control and its
//               vertical-table registration, the two groupings' control, the integration
//               row, and a commit per record.
//
// Both write the same records: vehicle VEI001 of company 1, a driver that is already
// registered (one record goes through before timing), and two groupings with descriptions.
// The loggers run at stError, as in production.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/DbValue.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "workers/DriverCache.h"
#include "workers/VerificaControle.h"
#include "workers/VerificaControle_Tab_Vert.h"
#include "workers/unInserirIntegracao.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using testing::TestDatabase;

constexpr int kCompany = 1;

void Fill(TIntegraTelemetria& r) {
  r.ID_Veiculo = "VEI001";
  r.DataOperacao = TDateTime::EncodeDate(2024, 5, 1);
  r.DataHoraInicio = TDateTime::Encode({2024, 5, 1, 8, 0, 0});
  r.DataHoraTermino = TDateTime::Encode({2024, 5, 1, 17, 0, 0});
  r.ID_Motorista = "MOT-1";
  r.Inf_Adicional_Motorista = "Motorista de teste";
  r.ID_Agrupamento_1 = "TURNO-A";
  r.Inf_Adicional_Agrupamento_1 = "Turno A";
  r.ID_Agrupamento_2 = "ROTA-01";
  r.Inf_Adicional_Agrupamento_2 = "Rota 01";
}

std::unique_ptr<TListaIntegraTelemetria> List(int records) {
  auto list = std::make_unique<TListaIntegraTelemetria>();
  for (int i = 0; i < records; ++i) Fill(*list->Add());
  return list;
}

// What both variants share: a fresh database with the demo fleet, a scratch log folder,
// the worker's settings and a driver cache loaded once.
struct Fixture {
  Fixture()
      : database(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo, true)),
        home(fs::temp_directory_path() / ("qit-bench-inserir-" + std::to_string(std::random_device{}()))),
        log(home),
        drivers(log) {
    log.SetPrefixo("log_enviar");
    log.SetMultiThread(true);
    log.SetLogLevel(stError);
    settings.GravarMotorista = true;
    settings.ConsultarEmpresa = true;
    settings.TempoAguardar_Minutos = 60;
    pool.SetConnections({database.GpsDefinition()});
    drivers.CarregarCDS(pool, schema);
  }
  ~Fixture() {
    log.Close();
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  TestDatabase database;
  fs::path home;
  Settings settings;
  ConnectionManager pool;
  Schema schema;
  TVoradaLogger log;
  DriverCache drivers;
};

// Every record written, the one before timing included: otherwise the figure is not of the
// work it claims.
void CheckRows(benchmark::State& state, Fixture& f, std::int64_t expected) {
  PooledConnection connection = f.pool.AcquireConnection("GPS");
  const std::string rows = ValueAsString(connection->QueryOnce("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO")[0][0]);
  if (connection->InTransaction()) connection->CommitTransaction();
  if (rows != std::to_string(expected))
    state.SkipWithError(("rows written: " + rows + ", expected " + std::to_string(expected)).c_str());
}

void WaitUntilEmpty(const MemorySendQueue& queue) {
  while (queue.WaitingRecords() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void BM_Worker(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  Fixture fixture;
  fixture.settings.RegistrosPorTransacao = static_cast<int>(state.range(1));
  MemorySendQueue queue(fixture.log);
  TinserirIntegracao worker(TinserirIntegracao::Parts{fixture.settings, fixture.pool, fixture.schema, fixture.log,
                                                      queue, fixture.drivers, [] {}, fixture.home / "Rejeitados"});
  const auto list = List(records);

  // The driver is registered by a first record, so that every timed record finds it known.
  queue.AdicionarListaDeEnvio(List(1).get(), kCompany);
  worker.Acordar();
  WaitUntilEmpty(queue);

  for (auto _ : state) {
    queue.AdicionarListaDeEnvio(list.get(), kCompany);
    worker.Acordar();
    WaitUntilEmpty(queue);
  }
  worker.Stop(std::chrono::steady_clock::now());
  state.SetItemsProcessed(state.iterations() * records);
  CheckRows(state, fixture, state.iterations() * records + 1);
}
BENCHMARK(BM_Worker)->ArgNames({"records", "per_transaction"})->Args({200, 1})->Args({200, 100})->MeasureProcessCPUTime()->UseRealTime()->MinTime(5.0)->Unit(benchmark::kMillisecond);

void InsertRow(Fixture& f, DbConnection& connection, const TIntegraTelemetria& r, int vehicle_code,
               const std::string& driver, const std::string& grouping_1, const std::string& grouping_2) {
  auto insert = f.schema.CreateCommand(connection, "InserirRegistroIntegracao");
  insert->ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle_code);
  insert->ParamByName("IDENTIFICADOR_VEICULO").SetAsString(r.ID_Veiculo);
  insert->ParamByName("DATA_OPERACAO").SetAsDateTime(r.DataOperacao);
  insert->ParamByName("DATAHORA_INI").SetAsDateTime(r.DataHoraInicio);
  insert->ParamByName("DATAHORA_FIM").SetAsDateTime(r.DataHoraTermino);
  insert->ParamByName("MOTORISTA").SetAsString(driver);
  insert->ParamByName("INF_ADICIONAL_MOT").SetAsString(r.Inf_Adicional_Motorista);
  insert->ParamByName("AGRUPAMENTO_1").SetAsString(grouping_1);
  insert->ParamByName("INF_ADICIONAL_AGR_1").SetAsString(r.Inf_Adicional_Agrupamento_1);
  insert->ParamByName("AGRUPAMENTO_2").SetAsString(grouping_2);
  insert->ParamByName("INF_ADICIONAL_AGR_2").SetAsString(r.Inf_Adicional_Agrupamento_2);
  insert->ParamByName("CODIGO_EMPRESA").SetAsInteger(kCompany);
  insert->ExecuteCommand();
}

// One record the way the worker writes it, without queue, thread, step texts, savepoint or
// retries. The statements live as long as the worker's do: the vehicle lookup until after
// the commit, the field definitions and the insert closed before it.
void OneRecord(Fixture& f, GroupingControl& grouping, DriverRegistration& registration, DbConnection& connection,
               const TIntegraTelemetria& r) {
  const StepLogger silent = [](const std::string&) {};
  if (!connection.InTransaction()) connection.BeginTransaction();
  auto vehicle = f.schema.CreateDataset(connection, "VerificaVeiculo");
  vehicle->ParamByName("IDENTIFICADOR").SetAsString(r.ID_Veiculo);
  vehicle->ParamByName("CODIGO_EMPRESA").SetAsInteger(kCompany);
  vehicle->Open();
  vehicle->Last();
  vehicle->First();
  const int code = vehicle->FieldByName("CODIGO").AsInteger();
  {
    auto metadados = f.schema.CreateDataset(connection, "Metadados");
    metadados->ParamByName("CODIGO_EMPRESA").SetAsInteger(kCompany);
    metadados->Open();
    metadados->Last();
    metadados->First();

    std::string driver = grouping.VerificaControle(connection, silent, "02", r.ID_Motorista,
                                                   r.Inf_Adicional_Motorista, code, kCompany, TDateTime::Now());
    driver = registration.VerificaControle_Tab_Vert(connection, *metadados, silent, driver,
                                                    r.Inf_Adicional_Motorista, kCompany, TDateTime::Now());
    const std::string grouping_1 = grouping.VerificaControle(
        connection, silent, "03", r.ID_Agrupamento_1, r.Inf_Adicional_Agrupamento_1, code, kCompany, TDateTime::Now());
    const std::string grouping_2 = grouping.VerificaControle(
        connection, silent, "04", r.ID_Agrupamento_2, r.Inf_Adicional_Agrupamento_2, code, kCompany, TDateTime::Now());
    InsertRow(f, connection, r, code, driver, grouping_1, grouping_2);
  }
  connection.CommitTransaction();
}

void BM_Statements(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  Fixture fixture;
  GroupingControl grouping(fixture.schema, fixture.log);
  DriverRegistration registration(fixture.schema, fixture.log, fixture.settings, fixture.drivers);
  PooledConnection connection = fixture.pool.AcquireConnection("GPS");
  TIntegraTelemetria record;
  Fill(record);

  OneRecord(fixture, grouping, registration, *connection, record);  // registers the driver
  for (auto _ : state)
    for (int i = 0; i < records; ++i) OneRecord(fixture, grouping, registration, *connection, record);
  state.SetItemsProcessed(state.iterations() * records);
  connection = PooledConnection();
  CheckRows(state, fixture, state.iterations() * records + 1);
}
BENCHMARK(BM_Statements)->ArgName("records")->Arg(200)->MeasureProcessCPUTime()->UseRealTime()->MinTime(5.0)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
