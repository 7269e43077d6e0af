// The processing worker's pass over a fleet whose open sessions do not change, with the
// stamping statements that write only rows whose values differ ("only_changed=1", the
// program's) against the same statements writing every row of each span ("only_changed=0",
// the reference), on fresh databases with forced writes, in the same run.
//
// The fleet: 200 vehicles, each with a statistics row a minute over ten hours, three alarms
// in its first hour and ten open sessions of an hour each (2,000 open sessions, 120,000
// statistics rows). No vehicle reports after its last session, so every session stays open
// and every pass goes through all of them. A first pass (not timed) stamps everything; each
// timed pass is then a steady-state pass. With arriving=1, one new statistics row per session
// (2,000 rows, no driver yet) arrives before each timed pass, outside the timing.
//
// Per pass: rows_written (statistics and alarm rows the stamping wrote, from the worker's
// metrics), rows_changed (rows whose values the pass had to change: the arrivals),
// page_writes and MB_written (the database's page writes, from MON$IO_STATS; through the
// server they include the server's own writes in the meantime, such as garbage collection).
//
// server=1 runs through the Firebird server on localhost (scripts/firebird-server start,
// QIT_TEST_SERVER set), and is skipped otherwise.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#include "LogErrors.h"
#include "StampingReference.h"
#include "TestDatabase.h"
#include "common/ServiceMetrics.h"
#include "data/ConnectionManager.h"
#include "data/DbValue.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/unProcessaIntegracao.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using testing::TestDatabase;

constexpr int kVehicles = 200;
constexpr int kSessionsPerVehicle = 10;
constexpr int kSessions = kVehicles * kSessionsPerVehicle;
constexpr int kFirstVehicle = 5001;
constexpr int kIterations = 3;

const std::string kVehicleRange =
    " BETWEEN " + std::to_string(kFirstVehicle) + " AND " + std::to_string(kFirstVehicle + kVehicles - 1);

// The fleet of the header, in one statement.
std::string FleetSql() {
  return "EXECUTE BLOCK AS\n"
         "  DECLARE v INTEGER = " + std::to_string(kFirstVehicle) + ";\n"
         "  DECLARE m INTEGER;\n"
         "  DECLARE s INTEGER;\n"
         "  DECLARE e INTEGER;\n"
         "BEGIN\n"
         "  WHILE (v < " + std::to_string(kFirstVehicle + kVehicles) + ") DO BEGIN\n"
         "    INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, PLACA, CODIGOEMPRESA, APAGADO)\n"
         "      VALUES (:v, 'FLT' || :v, 'FLT' || :v, 1, 'F');\n"
         "    m = 1;\n"
         "    WHILE (m <= " + std::to_string(60 * kSessionsPerVehicle) + ") DO BEGIN\n"
         "      INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA)\n"
         "        VALUES (:v, DATEADD(:m MINUTE TO TIMESTAMP '2024-05-01 00:00:00'));\n"
         "      m = m + 1;\n"
         "    END\n"
         "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 00:10:00');\n"
         "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 00:20:00');\n"
         "    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 00:30:00');\n"
         "    s = 0;\n"
         "    WHILE (s < " + std::to_string(kSessionsPerVehicle) + ") DO BEGIN\n"
         "      e = s + 1;\n"
         "      INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO_VEICULO, DATA_OPERACAO, DATAHORA_INI, DATAHORA_FIM,\n"
         "          MOTORISTA, INF_ADICIONAL_MOT, AGRUPAMENTO_1, INF_ADICIONAL_AGR_1, AGRUPAMENTO_2,\n"
         "          INF_ADICIONAL_AGR_2, IDENTIFICADOR_VEICULO, CODIGO_EMPRESA)\n"
         "        VALUES (:v, TIMESTAMP '2024-05-01 00:00:00', DATEADD(:s HOUR TO TIMESTAMP '2024-05-01 00:00:00'),\n"
         "          DATEADD(:e HOUR TO TIMESTAMP '2024-05-01 00:00:00'), 'MOT-' || :v || '-' || :s, 'Motorista',\n"
         "          'TURNO-A', 'Turno A', 'ROTA-' || :s, 'Rota', 'FLT' || :v, 1);\n"
         "      s = s + 1;\n"
         "    END\n"
         "    v = v + 1;\n"
         "  END\n"
         "END";
}

// One statistics row without a driver in every session's span, at mm:30 past the half hour
// plus `pass` seconds, so that each pass's arrivals are rows of their own.
std::string ArrivalsSql(int pass) {
  return "EXECUTE BLOCK AS\n"
         "  DECLARE v INTEGER = " + std::to_string(kFirstVehicle) + ";\n"
         "  DECLARE s INTEGER;\n"
         "BEGIN\n"
         "  WHILE (v < " + std::to_string(kFirstVehicle + kVehicles) + ") DO BEGIN\n"
         "    s = 0;\n"
         "    WHILE (s < " + std::to_string(kSessionsPerVehicle) + ") DO BEGIN\n"
         "      INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA)\n"
         "        VALUES (:v, DATEADD(:s * 3600 + 1800 + " + std::to_string(pass) +
         " SECOND TO TIMESTAMP '2024-05-01 00:00:00'));\n"
         "      s = s + 1;\n"
         "    END\n"
         "    v = v + 1;\n"
         "  END\n"
         "END";
}

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

struct Fixture {
  Fixture(bool server, bool only_changed)
      : database(server ? TestDatabase::OnServer(TestDatabase::Content::kSchemaAndDemo,
                                                 Environment("QIT_TEST_SERVER_USER", "QIT_TEST"),
                                                 Environment("QIT_TEST_SERVER_PASSWORD", "qit_test"), true)
                        : TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo, true)),
        home(fs::temp_directory_path() / ("qit-bench-steady-" + std::to_string(std::random_device{}()))),
        schema(only_changed ? Schema() : Schema(testing::CatalogueStampingEveryRow())),
        log(home) {
    log.SetPrefixo("log_atualizar");
    log.SetMultiThread(true);
    log.SetLogLevel(stError);  // the default of [Log] LevelAtualizar
    settings.TempoAguardar_Minutos = 60;  // no pass unless woken
    settings.Qtde_Dias_Remocao = 5;
    settings.GravarMotorista = true;
    settings.SessoesPorTransacao = 1;
    pool.SetConnections({database.GpsDefinition()});
    database.Execute({FleetSql()});
  }
  ~Fixture() {
    log.Close();
    std::error_code ignored;
    fs::remove_all(home, ignored);
  }

  std::int64_t Count(const std::string& sql) {
    PooledConnection connection = pool.AcquireConnection("GPS");
    const std::int64_t value = ValueAsLargeInt(connection->QueryOnce(sql)[0][0]);
    if (connection->InTransaction()) connection->CommitTransaction();  // a fresh snapshot next time
    return value;
  }
  std::int64_t PageWrites() { return Count("SELECT MON$PAGE_WRITES FROM MON$IO_STATS WHERE MON$STAT_GROUP = 0"); }
  std::int64_t PageSize() { return Count("SELECT MON$PAGE_SIZE FROM MON$DATABASE"); }

  // Fails the run unless every row of a span holds its session's driver, every session is
  // still open and the log holds no error.
  void Check(benchmark::State& state) {
    std::string problem;
    const std::int64_t unstamped = Count(
        "SELECT COUNT(*) FROM ESTATISTICOS_AVLS E WHERE E.CODIGOVEICULO" + kVehicleRange +
        " AND E.MOTORISTA IS DISTINCT FROM 'MOT-' || E.CODIGOVEICULO || '-' ||"
        " (EXTRACT(HOUR FROM DATEADD(-1 SECOND TO E.DATAHORA)))");
    if (unstamped != 0) problem += std::to_string(unstamped) + " statistics rows not stamped; ";
    const std::int64_t open = Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO");
    if (open != kSessions) problem += "open sessions " + std::to_string(open) + "; ";
    if (bench::LogHasError(home)) problem += "an error in the log; ";
    if (!problem.empty()) state.SkipWithError(problem.c_str());
  }

  TestDatabase database;
  fs::path home;
  Settings settings;
  ConnectionManager pool;
  Schema schema;
  TVoradaLogger log;
  ServiceMetrics metrics;
};

void BM_SteadyPass(benchmark::State& state) {
  const bool server = state.range(0) != 0;
  const bool only_changed = state.range(1) != 0;
  const bool arriving = state.range(2) != 0;
  if (server && std::getenv("QIT_TEST_SERVER") == nullptr) {
    state.SkipWithError("no Firebird server (QIT_TEST_SERVER)");
    for (auto _ : state) {
    }
    return;
  }
  Fixture fixture(server, only_changed);
  std::optional<TProcessaIntegracao> worker;
  worker.emplace(fixture.settings, fixture.pool, fixture.schema, fixture.log, &fixture.metrics);
  bool stuck = false;
  const auto pass = [&] {
    const std::uint64_t before = worker->Passes();
    worker->Acordar();
    stuck = stuck || !worker->WaitForPasses(before + 1, std::chrono::minutes(20));
  };
  const auto rows_written = [&] {
    const ServiceMetrics::Snapshot counted = fixture.metrics.Read();
    return counted.statistics_rows_stamped + counted.alarm_rows_stamped;
  };

  pass();  // stamps every row and prepares the statements
  std::uint64_t written = 0;
  std::int64_t page_writes = 0;
  int passes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (arriving) fixture.database.Execute({ArrivalsSql(++passes)});
    const std::uint64_t written_before = rows_written();
    const std::int64_t page_writes_before = fixture.PageWrites();
    state.ResumeTiming();
    pass();
    state.PauseTiming();
    written += rows_written() - written_before;
    page_writes += fixture.PageWrites() - page_writes_before;
    state.ResumeTiming();
  }
  worker.reset();
  const double iterations = static_cast<double>(state.iterations());
  state.counters["rows_written"] = static_cast<double>(written) / iterations;
  state.counters["rows_changed"] = arriving ? kSessions : 0;
  state.counters["page_writes"] = static_cast<double>(page_writes) / iterations;
  state.counters["MB_written"] =
      static_cast<double>(page_writes) * static_cast<double>(fixture.PageSize()) / iterations / 1e6;
  state.counters["open_sessions"] = static_cast<double>(fixture.metrics.Read().open_sessions);
  state.SetItemsProcessed(state.iterations() * kSessions);
  if (stuck) state.SkipWithError("a pass did not end within 20 minutes");
  fixture.Check(state);
}
BENCHMARK(BM_SteadyPass)
    ->ArgNames({"server", "only_changed", "arriving"})
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}})
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
