// The statements the insert worker runs for every record: vehicle lookup, the company's
// driver table definition, the grouping control check, the integration row, and a commit
// of the record's own transaction. Run on a fresh embedded database with forced writes, as
// a fleet database runs.
//
//   reuse:1  statements prepared once per connection and kept (the normal setting)
//   reuse:0  every statement prepared again for every record ("StatementCache=False")
//   InsertOnly  the integration row and the commit alone: the ceiling the disk sets
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>

#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::TestDatabase;

struct Fixture {
  explicit Fixture(bool reuse)
      : database(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo, true)) {
    manager.SetConnections({database.GpsDefinition(reuse ? "" : "StatementCache=False;")});
  }

  TestDatabase database;
  ConnectionManager manager;
  Schema schema;
};

void Insert(Schema& schema, DbConnection& connection, int vehicle) {
  auto insert = schema.CreateCommand(connection, "InserirRegistroIntegracao");
  const TDateTime now = TDateTime::Now();
  insert->ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle);
  insert->ParamByName("IDENTIFICADOR_VEICULO").SetAsString("VEI001");
  insert->ParamByName("DATA_OPERACAO").SetAsDateTime(now);
  insert->ParamByName("DATAHORA_INI").SetAsDateTime(now);
  insert->ParamByName("DATAHORA_FIM").SetAsDateTime(now + 1.0 / 24);
  insert->ParamByName("MOTORISTA").SetAsString("MOT-1");
  insert->ParamByName("INF_ADICIONAL_MOT").SetAsString("Motorista de teste");
  insert->ParamByName("AGRUPAMENTO_1").SetAsString("G1");
  insert->ParamByName("CODIGO_EMPRESA").SetAsInteger(1);
  insert->ExecuteCommand();
}

void OneRecord(Schema& schema, DbConnection& connection) {
  if (!connection.InTransaction()) connection.BeginTransaction();
  auto vehicle = schema.CreateDataset(connection, "VerificaVeiculo");
  vehicle->ParamByName("IDENTIFICADOR").SetAsString("VEI001");
  vehicle->ParamByName("CODIGO_EMPRESA").SetAsInteger(1);
  vehicle->Open();
  vehicle->Last();
  vehicle->First();
  const int code = vehicle->FieldByName("CODIGO").AsInteger();

  auto metadados = schema.CreateDataset(connection, "Metadados");
  metadados->ParamByName("CODIGO_EMPRESA").SetAsInteger(1);
  metadados->Open();

  auto control = schema.CreateDataset(connection, "VerificaControle");
  control->ParamByName("IDENTIFICADOR_TIPO").SetAsString("02");
  control->ParamByName("IDENTIFICADOR_AGRUPAMENTO").SetAsString("MOT-1");
  control->ParamByName("CODIGO_VEICULO").SetAsInteger(code);
  control->ParamByName("CODIGOEMPRESA").SetAsInteger(1);
  control->Open();
  benchmark::DoNotOptimize(control->IsEmpty());

  Insert(schema, connection, code);
  connection.CommitTransaction();
}

void BM_InsertPath(benchmark::State& state) {
  Fixture fixture(state.range(0) != 0);
  PooledConnection connection = fixture.manager.AcquireConnection();
  for (auto _ : state) OneRecord(fixture.schema, *connection);
  state.SetItemsProcessed(state.iterations());
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InsertPath)->ArgName("reuse")->Arg(1)->Arg(0)->UseRealTime()->MinTime(5.0)->Unit(benchmark::kMillisecond);

void BM_InsertOnly(benchmark::State& state) {
  Fixture fixture(true);
  PooledConnection connection = fixture.manager.AcquireConnection();
  for (auto _ : state) {
    Insert(fixture.schema, *connection, 1);
    connection->CommitTransaction();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InsertOnly)->UseRealTime()->MinTime(5.0)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
