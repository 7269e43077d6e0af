// The processing worker against a plain loop of the same statements, in the same run, on
// fresh embedded databases with forced writes (as a fleet database runs).
//
//   Worker      the real TProcessaIntegracao: one pass over the open sessions, started by
//               Acordar; the iteration ends when the pass has ended.
//   Statements  the pass written directly on the data layer: the purge, the read of the open
//               sessions and a commit, then per session in its own transaction the two
//               updates, the two look-ups of a later row and, for a complete session, the
//               history insert and the delete; a commit per session.
//
// Each session belongs to a vehicle of its own, with statistics and alarm rows inside the
// session's span. Two kinds of data:
//
//   complete=0  no row after the session's end: every pass stamps the rows and leaves the
//               sessions open, so the same sessions are processed by every iteration.
//   complete=1  a statistics and an alarm row after the end: every session is stamped,
//               copied to history and deleted (export off). Each iteration inserts a fresh
//               set of sessions first, outside the timing.
//
// The worker's logger writes at the level given by debug_log: stDebug (1) is what the
// service sets on this worker's logger, which no configuration key changes; stError (0) is
// the level the other logger runs at in production. The statement loop logs nothing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "LogErrors.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/DbValue.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/OpenSessions.h"
#include "workers/unProcessaIntegracao.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using testing::TestDatabase;
using Session = TProcessaIntegracao::Session;

constexpr int kSessions = 200;
constexpr int kFirstVehicle = 1001;
constexpr int kIterations = 10;
// Statistics rows of a vehicle inside its session (09:00 to 17:00, on the hour; the span is
// 08:00 to 17:00); alarm rows inside it are at 10:30 and 15:30.
constexpr int kStatisticsInside = 9;
constexpr int kAlarmsInside = 2;

const std::string kLastVehicle = std::to_string(kFirstVehicle + kSessions - 1);

// The bench's vehicles of company 1, each with its rows inside the span and, when asked, a
// statistics row and an alarm row after its end. One statement, one transaction.
std::string FleetSql(bool later_rows) {
  std::string later;
  if (later_rows)
    later =
        "    INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (:v, TIMESTAMP '2024-05-01 18:00:00');\n"
        "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 18:30:00');\n";
  return "EXECUTE BLOCK AS\n"
         "  DECLARE v INTEGER = " + std::to_string(kFirstVehicle) + ";\n"
         "  DECLARE h INTEGER;\n"
         "BEGIN\n"
         "  WHILE (v <= " + kLastVehicle + ") DO BEGIN\n"
         "    INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, PLACA, CODIGOEMPRESA, APAGADO)\n"
         "      VALUES (:v, 'BEN' || :v, 'BEN' || :v, 1, 'F');\n"
         "    INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA) VALUES (:v, TIMESTAMP '2024-04-30 17:00:00');\n"
         "    h = 9;\n"
         "    WHILE (h <= 17) DO BEGIN\n"
         "      INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA)\n"
         "        VALUES (:v, DATEADD(:h HOUR TO TIMESTAMP '2024-05-01 00:00:00'));\n"
         "      h = h + 1;\n"
         "    END\n"
         "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 10:30:00');\n"
         "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 15:30:00');\n" +
         later +
         "    v = v + 1;\n"
         "  END\n"
         "END";
}

// One open session per vehicle, 08:00 to 17:00, as the insert worker writes them.
std::string SessionsSql() {
  return "EXECUTE BLOCK AS\n"
         "  DECLARE v INTEGER = " + std::to_string(kFirstVehicle) + ";\n"
         "BEGIN\n"
         "  WHILE (v <= " + kLastVehicle + ") DO BEGIN\n"
         "    INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO_VEICULO, DATA_OPERACAO, DATAHORA_INI, DATAHORA_FIM, MOTORISTA,\n"
         "        INF_ADICIONAL_MOT, AGRUPAMENTO_1, INF_ADICIONAL_AGR_1, AGRUPAMENTO_2, INF_ADICIONAL_AGR_2,\n"
         "        IDENTIFICADOR_VEICULO, CODIGO_EMPRESA)\n"
         "      VALUES (:v, TIMESTAMP '2024-05-01 00:00:00', TIMESTAMP '2024-05-01 08:00:00',\n"
         "        TIMESTAMP '2024-05-01 17:00:00', 'MOT-' || :v, 'Motorista ' || :v, 'TURNO-A', 'Turno A',\n"
         "        'ROTA-01', 'Rota 01', 'BEN' || :v, 1);\n"
         "    v = v + 1;\n"
         "  END\n"
         "END";
}

// What both variants share: a fresh demo database with the bench's fleet, a scratch log
// folder and the worker's settings.
struct Fixture {
  Fixture(bool complete, TLogLevel level)
      : complete(complete),
        database(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo, true)),
        home(fs::temp_directory_path() / ("qit-bench-processa-" + std::to_string(std::random_device{}()))),
        log(home) {
    log.SetPrefixo("log_atualizar");
    log.SetMultiThread(true);
    log.SetLogLevel(level);
    settings.TempoAguardar_Minutos = 60;  // no pass unless woken
    settings.Qtde_Dias_Remocao = 5;
    settings.GravarMotorista = true;
    settings.Exportar_Telemetria = false;
    pool.SetConnections({database.GpsDefinition()});
    database.Execute({FleetSql(complete)});
  }
  ~Fixture() {
    log.Close();
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  void AddSessions() const { database.Execute({SessionsSql()}); }

  // Fails the run unless every pass did the work it is timed for: every row inside a span
  // stamped with its session's driver, the sessions open or all moved to history, and no
  // error in the log.
  void Check(benchmark::State& state, std::int64_t passes) {
    const auto count = [&](const std::string& sql) {
      PooledConnection connection = pool.AcquireConnection("GPS");
      const std::int64_t rows = ValueAsLargeInt(connection->QueryOnce(sql)[0][0]);
      if (connection->InTransaction()) connection->CommitTransaction();
      return rows;
    };
    const std::string bench_vehicles = " BETWEEN " + std::to_string(kFirstVehicle) + " AND " + kLastVehicle;
    const std::int64_t stamped =
        count("SELECT COUNT(*) FROM ESTATISTICOS_AVLS WHERE MOTORISTA = 'MOT-' || CODIGOVEICULO AND CODIGOVEICULO" +
              bench_vehicles) +
        count("SELECT COUNT(*) FROM VEICULOS_ALARMES WHERE MOTORISTA = 'MOT-' || CODIGOVEICULO AND CODIGOVEICULO" +
              bench_vehicles);
    const std::int64_t open = count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO");
    const std::int64_t history = count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRA_PROCESSADO");
    const std::int64_t expected_open = complete ? 0 : kSessions;
    const std::int64_t expected_history = complete ? passes * kSessions : 0;
    std::string problem;
    if (stamped != kSessions * (kStatisticsInside + kAlarmsInside))
      problem += "stamped rows " + std::to_string(stamped) + "; ";
    if (open != expected_open) problem += "open sessions " + std::to_string(open) + "; ";
    if (history != expected_history) problem += "history rows " + std::to_string(history) + "; ";
    if (bench::LogHasError(home)) problem += "an error in the log; ";
    if (!problem.empty()) state.SkipWithError(problem.c_str());
  }

  bool complete;
  TestDatabase database;
  fs::path home;
  Settings settings;
  ConnectionManager pool;
  Schema schema;
  TVoradaLogger log;
};

void BM_Worker(benchmark::State& state) {
  Fixture fixture(state.range(0) != 0, state.range(1) != 0 ? stDebug : stError);
  TProcessaIntegracao worker(fixture.settings, fixture.pool, fixture.schema, fixture.log);
  bool stuck = false;
  const auto pass = [&] {
    const std::uint64_t before = worker.Passes();
    worker.Acordar();
    stuck = stuck || !worker.WaitForPasses(before + 1, std::chrono::minutes(10));
  };

  // A first pass takes the connection and prepares the statements.
  fixture.AddSessions();
  pass();
  for (auto _ : state) {
    if (fixture.complete) {
      state.PauseTiming();
      fixture.AddSessions();
      state.ResumeTiming();
    }
    pass();
  }
  worker.Stop();
  state.SetItemsProcessed(state.iterations() * kSessions);
  if (stuck) state.SkipWithError("a pass did not end within 10 minutes");
  fixture.Check(state, state.iterations() + 1);
}
BENCHMARK(BM_Worker)
    ->ArgNames({"complete", "debug_log"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Iterations(kIterations)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void SetSpan(DbStatement& statement, const Session& session) {
  statement.ParamByName("CODIGO_VEICULO").SetAsInteger(session.CODIGO_VEICULO);
  statement.ParamByName("DATAHORA_INI").SetAsDateTime(session.DATAHORA_INI);
  statement.ParamByName("DATAHORA_FIM").SetAsDateTime(session.DATAHORA_FIM);
}

void Stamp(Fixture& f, DbConnection& connection, std::string_view name, const Session& session) {
  auto command = f.schema.CreateCommand(connection, name);
  SetSpan(*command, session);
  command->ParamByName("MOTORISTA").SetAsString(session.MOTORISTA);
  command->ParamByName("AGRUPAMENTO_1").SetAsString(session.AGRUPAMENTO_1);
  command->ParamByName("AGRUPAMENTO_2").SetAsString(session.AGRUPAMENTO_2);
  command->ExecuteCommand();
}

bool HasLaterRow(Fixture& f, DbConnection& connection, std::string_view name, const Session& session) {
  auto dataset = f.schema.CreateDataset(connection, name);
  dataset->ParamByName("DATAHORA_FIM").SetAsDateTime(session.DATAHORA_FIM);
  dataset->ParamByName("CODIGOVEICULO").SetAsInteger(session.CODIGO_VEICULO);
  dataset->Open();
  return !dataset->IsEmpty();
}

// One pass without thread, wake-up, step texts, log lines or failure handling. Statements
// live as long as the worker's do: each is closed before the next one is made.
void OnePass(Fixture& f, DbConnection& connection, std::vector<Session>& sessions) {
  if (!connection.InTransaction()) connection.BeginTransaction();
  {
    auto purge = f.schema.CreateCommand(connection, "Deletar_RegistroIntegracao");
    purge->ParamByName("DIAS").SetAsInteger(f.settings.Qtde_Dias_Remocao);
    purge->ExecuteCommand();
  }
  ReadOpenSessions(f.schema, connection, sessions);
  connection.CommitTransaction();

  for (const Session& session : sessions) {
    connection.BeginTransaction();
    Stamp(f, connection, "AtualizaEstatisticos", session);
    Stamp(f, connection, "AtualizaAlarmes", session);
    const bool later_statistics = HasLaterRow(f, connection, "BuscaRegistroPosterior", session);
    const bool later_alarm = HasLaterRow(f, connection, "BuscaRegistroPosteriorAlarmes", session);
    if (later_statistics && later_alarm) {
      {
        auto history = f.schema.CreateCommand(connection, "InserirRegistroIntegracaoHistorico");
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
      auto deletar = f.schema.CreateCommand(connection, "DeletarIntegracao");
      deletar->ParamByName("CODIGO").SetAsInteger(session.CODIGO);
      deletar->ExecuteCommand();
    }
    connection.CommitTransaction();
  }
}

void BM_Statements(benchmark::State& state) {
  Fixture fixture(state.range(0) != 0, stError);
  std::vector<Session> sessions;
  {
    PooledConnection connection = fixture.pool.AcquireConnection("GPS");
    fixture.AddSessions();
    OnePass(fixture, *connection, sessions);  // prepares the statements
    for (auto _ : state) {
      if (fixture.complete) {
        state.PauseTiming();
        fixture.AddSessions();
        state.ResumeTiming();
      }
      OnePass(fixture, *connection, sessions);
    }
  }
  state.SetItemsProcessed(state.iterations() * kSessions);
  fixture.Check(state, state.iterations() + 1);
}
BENCHMARK(BM_Statements)
    ->ArgNames({"complete"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(kIterations)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
