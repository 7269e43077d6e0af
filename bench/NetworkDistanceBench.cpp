// network_distance_bench [--rounds 5] [--records 100] [--sessions 100] [--delays 0.5,1,2]
//                        [--writers 1] [--ping-pong]
//
// The insert and processing workers with their database a network hop away: through the
// Firebird server on localhost (scripts/firebird-server start), directly and through a
// DelayProxy that adds each of --delays (milliseconds) to every round trip. It starts with the
// proxy's ping-pong check (--ping-pong: the check alone). The databases are fresh, with forced
// writes; the configurations are interleaved over rounds (each round runs every configuration
// once, in a shuffled order), so that the machine's drift reaches all alike.
//
//   insert      the real TinserirIntegracao: --records records (lists of 10) are queued, the
//               worker is woken, and a run ends when the queue is empty, every record
//               committed; RegistrosPorTransacao 1 and 100, GravarMotorista and
//               ConsultarEmpresa on. The records come from 20 vehicles, each with its driver
//               (registered before timing, as most drivers are in production) and two
//               groupings that several vehicles share.
//   processing  the real TProcessaIntegracao: --sessions sessions, one per vehicle, are added,
//               the worker is woken, and a run ends with its pass. Every session is real work:
//               its vehicle's 9 statistics and 2 alarm rows are stamped with a driver of the
//               run's own (so they are written), and the session moves to history;
//               SessoesPorTransacao 1 and 50.
//
// Every configuration keeps its worker, pool and proxy from its warm-up (which prepares the
// statements) to the end, so that a run measures the steady work and not the attach. Per
// configuration: items per second (the median and the best over the rounds) and round trips
// per item (the proxy's count during the run; a direct run has nobody to count them). Every
// run is checked (rows written, sessions moved and stamped) and the workers' logs must hold
// no error; otherwise the program ends with status 1.
//
// The list of parallel writers (--writers) reaches the workers' settings in one place,
// SetParallelWriters; until the settings have such a member, only 1 is accepted.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "DelayProxy.h"
#include "LogErrors.h"
#include "PingPong.h"
#include "TestDatabase.h"
#include "common/Settings.h"
#include "data/ConnectionManager.h"
#include "data/DbValue.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "workers/DriverCache.h"
#include "workers/unInserirIntegracao.h"
#include "workers/unProcessaIntegracao.h"

namespace qit {
namespace {

namespace fs = std::filesystem;
using testing::TestDatabase;
using Clock = std::chrono::steady_clock;

constexpr int kCompany = 1;
constexpr int kVehicles = 20;  // the insert worker's fleet
constexpr int kFirstVehicle = 101;
constexpr int kRecordsPerList = 10;
constexpr std::uint16_t kServerPort = 3050;
constexpr auto kRunLimit = std::chrono::minutes(5);

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// ---------------------------------------------------------------------------------------
// Parallel writers

template <class S>
concept HasParallelWriters = requires(S& settings) {
  settings.GravadoresParalelos = 1;
};

// The one place the writer count reaches the workers' settings.
template <class S>
void SetParallelWriters(S& settings, int writers) {
  if constexpr (HasParallelWriters<S>)
    settings.GravadoresParalelos = writers;
  else if (writers != 1)
    throw std::invalid_argument("the settings have no GravadoresParalelos yet: only --writers 1 can run");
}

// ---------------------------------------------------------------------------------------
// The databases

// Vehicles kFirstVehicle.. (identifiers NET<code>) of company 1, each with a device and in
// operation 1 (whose grouping types the demo data defines), and each with statistics rows on
// the hour from 09:00 to 17:00 and alarms at 10:30 and 15:30 on 2024-05-01, plus a statistics
// row at 18:00 and an alarm at 18:30: a session from 08:00 to 17:00 stamps 11 rows and is
// complete.
std::string FleetSql(int vehicles) {
  return fmt::format(R"(EXECUTE BLOCK AS
  DECLARE v INTEGER = {};
  DECLARE h INTEGER;
BEGIN
  WHILE (v <= {}) DO BEGIN
    INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, PLACA, CODIGOEMPRESA, APAGADO)
      VALUES (:v, 'NET' || :v, 'NET' || :v, 1, 'F');
    INSERT INTO DISPOSITIVOS (CODIGO, NUMERO_SERIE, APAGADO) VALUES (:v, 'DSP-' || :v, 'F');
    INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO, REMOVIDO) VALUES (:v, :v, :v, 'F');
    INSERT INTO GRUPOSCONTROLE_VEICULOS (CODIGO, CODIGOVEICULO, CODIGOOPERACOES) VALUES (:v, :v, 1);
    h = 9;
    WHILE (h <= 18) DO BEGIN
      INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA)
        VALUES (:v, DATEADD(:h HOUR TO TIMESTAMP '2024-05-01 00:00:00'));
      h = h + 1;
    END
    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 10:30:00');
    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 15:30:00');
    INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME) VALUES (:v, TIMESTAMP '2024-05-01 18:30:00');
    v = v + 1;
  END
END)",
                     kFirstVehicle, kFirstVehicle + vehicles - 1);
}
constexpr int kRowsStampedPerSession = 9 + 2;

// One open session per vehicle of the fleet, 08:00 to 17:00, whose driver names the run.
std::string SessionsSql(int vehicles, int run) {
  return fmt::format(R"(EXECUTE BLOCK AS
  DECLARE v INTEGER = {};
BEGIN
  WHILE (v <= {}) DO BEGIN
    INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO_VEICULO, DATA_OPERACAO, DATAHORA_INI, DATAHORA_FIM, MOTORISTA,
        INF_ADICIONAL_MOT, AGRUPAMENTO_1, INF_ADICIONAL_AGR_1, AGRUPAMENTO_2, INF_ADICIONAL_AGR_2,
        IDENTIFICADOR_VEICULO, CODIGO_EMPRESA)
      VALUES (:v, TIMESTAMP '2024-05-01 00:00:00', TIMESTAMP '2024-05-01 08:00:00', TIMESTAMP '2024-05-01 17:00:00',
        'MOT-' || :v || '-{}', 'Motorista', 'TURNO-A', 'Turno A', 'ROTA-01', 'Rota 01', 'NET' || :v, 1);
    v = v + 1;
  END
END)",
                     kFirstVehicle, kFirstVehicle + vehicles - 1, run);
}

// A fresh database on the server with the demo data and a fleet, and a direct pool that
// counts rows in it (its own connection, outside every run).
struct Database {
  explicit Database(int vehicles)
      : database(TestDatabase::OnServer(TestDatabase::Content::kSchemaAndDemo,
                                        Environment("QIT_TEST_SERVER_USER", "QIT_TEST"),
                                        Environment("QIT_TEST_SERVER_PASSWORD", "qit_test"), true)) {
    database.Execute({FleetSql(vehicles)});
    checker.SetConnections({database.GpsDefinition()});
  }

  std::int64_t Count(const std::string& sql) {
    PooledConnection connection = checker.AcquireConnection("GPS");
    const std::int64_t value = ValueAsLargeInt(connection->QueryOnce(sql)[0][0]);
    if (connection->InTransaction()) connection->CommitTransaction();  // a fresh snapshot next time
    return value;
  }

  TestDatabase database;
  ConnectionManager checker;
};

// ---------------------------------------------------------------------------------------
// Configurations and their runs

struct RunResult {
  int items = 0;
  double seconds = 0;
  std::uint64_t round_trips = 0;
  std::string problem;  // empty when the run did what it is timed for
};

// The way to the database (directly, or through a proxy adding a delay), the pool of
// connections that takes it, and the worker's log folder. The proxy outlives the pool, whose
// connections go through it.
class Route {
 public:
  Route(const TestDatabase& database, std::optional<double> delay_ms, const std::string& name)
      : home_(fs::temp_directory_path() /
              ("qit-bench-distance-" + name + "-" + std::to_string(std::random_device{}()))) {
    std::string server;
    if (delay_ms) {
      proxy_.emplace("localhost", kServerPort, std::chrono::microseconds(std::llround(*delay_ms * 1000)));
      // The parser keeps the last Server of a connection string.
      server = "Server=127.0.0.1/" + std::to_string(proxy_->Port()) + ";";
    }
    pool_ = std::make_unique<ConnectionManager>();
    // A configuration waits for the others between its runs; its connection must not be
    // closed as idle meanwhile, as it would not be under a steady load.
    pool_->SetPoolTimeoutSeconds(0);
    pool_->SetConnections({database.GpsDefinition(server)});
  }
  ~Route() {
    pool_.reset();
    proxy_.reset();
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }

  ConnectionManager& Pool() { return *pool_; }
  const fs::path& Home() const { return home_; }
  void ResetRoundTrips() {
    if (proxy_) proxy_->ResetRoundTrips();
  }
  std::uint64_t RoundTrips() const { return proxy_ ? proxy_->RoundTrips() : 0; }

 private:
  fs::path home_;
  std::optional<bench::DelayProxy> proxy_;
  std::unique_ptr<ConnectionManager> pool_;
};

// One configuration's worker on its route, ready for timed runs.
class Rig {
 public:
  virtual ~Rig() = default;
  virtual RunResult Run() = 0;
  // Stops the worker and closes its log; true when the log holds an error line.
  virtual bool Finish() = 0;
};

class InsertRig final : public Rig {
 public:
  InsertRig(Database& database, std::optional<double> delay_ms, int per_transaction, int writers, int records)
      : database_(database), route_(database.database, delay_ms, "insert") {
    log_.emplace(route_.Home());
    log_->SetPrefixo("log_enviar");
    log_->SetMultiThread(true);
    log_->SetLogLevel(stError);  // the default of [Log] Level
    settings_.GravarMotorista = true;
    settings_.ConsultarEmpresa = true;
    settings_.TempoAguardar_Minutos = 60;  // no pass unless woken
    settings_.RegistrosPorTransacao = per_transaction;
    SetParallelWriters(settings_, writers);
    drivers_.emplace(*log_);
    drivers_->CarregarCDS(route_.Pool(), schema_);
    queue_.emplace(*log_);
    worker_.emplace(TinserirIntegracao::Parts{settings_, route_.Pool(), schema_, *log_, *queue_, *drivers_, [] {},
                                              route_.Home() / "Rejeitados"});
    for (int first = 0; first < records; first += kRecordsPerList)
      lists_.push_back(List(first, std::min(kRecordsPerList, records - first)));

    // One record per vehicle: prepares the statements and, in the first configuration,
    // registers the drivers and the groupings.
    const auto warm_up = List(0, kVehicles);
    if (const RunResult result = Pass({warm_up.get()}, kVehicles); !result.problem.empty())
      throw std::runtime_error("insert warm-up: " + result.problem);
  }
  ~InsertRig() override { Finish(); }

  RunResult Run() override {
    std::vector<const TListaIntegraTelemetria*> lists;
    int records = 0;
    for (const auto& list : lists_) {
      lists.push_back(list.get());
      records += static_cast<int>(list->Count());
    }
    return Pass(lists, records);
  }

  bool Finish() override {
    if (!worker_) return false;
    worker_->Stop(Clock::now());
    worker_.reset();
    queue_.reset();
    drivers_.reset();
    log_->Close();
    const bool error = bench::LogHasError(route_.Home());
    log_.reset();
    return error;
  }

 private:
  // Records `first` to `first + count - 1` of an endless sequence: vehicle, driver and
  // groupings go round the fleet (grouping 1 shared by every second vehicle, grouping 2 by
  // every fourth), and each record starts a minute after the previous one (for 12 hours).
  static std::unique_ptr<TListaIntegraTelemetria> List(int first, int count) {
    auto list = std::make_unique<TListaIntegraTelemetria>();
    for (int n = first; n < first + count; ++n) {
      const int vehicle = kFirstVehicle + n % kVehicles;
      TIntegraTelemetria& r = *list->Add();
      r.ID_Veiculo = "NET" + std::to_string(vehicle);
      r.DataOperacao = TDateTime::EncodeDate(2024, 6, 1);
      r.DataHoraInicio = TDateTime::Encode({2024, 6, 1, 6 + n / 60 % 12, n % 60, 0});
      r.DataHoraTermino = TDateTime::Encode({2024, 6, 1, 18, n % 60, 0});
      r.ID_Motorista = "MOT-" + std::to_string(vehicle);
      r.Inf_Adicional_Motorista = "Motorista " + std::to_string(vehicle);
      r.ID_Agrupamento_1 = vehicle % 2 == 0 ? "TURNO-A" : "TURNO-B";
      r.Inf_Adicional_Agrupamento_1 = vehicle % 2 == 0 ? "Turno A" : "Turno B";
      r.ID_Agrupamento_2 = "ROTA-0" + std::to_string(vehicle % 4 + 1);
      r.Inf_Adicional_Agrupamento_2 = "Rota " + std::to_string(vehicle % 4 + 1);
    }
    return list;
  }

  RunResult Pass(const std::vector<const TListaIntegraTelemetria*>& lists, int records) {
    const std::int64_t before = database_.Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO");
    for (const TListaIntegraTelemetria* list : lists) queue_->AdicionarListaDeEnvio(list, kCompany);
    RunResult result;
    result.items = records;
    route_.ResetRoundTrips();
    const auto start = Clock::now();
    const auto woken = std::chrono::system_clock::now();
    worker_->Acordar();
    // A pass that fails puts its records back and tries again later: the run measures
    // nothing from then on, so it ends with the failure.
    std::optional<TinserirIntegracao::PassOutcome> failed;
    while (queue_->WaitingRecords() > 0 && Clock::now() - start < kRunLimit && !failed) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (auto last = worker_->LastPass(); last && last->ended >= woken && !last->done) failed = std::move(last);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.round_trips = route_.RoundTrips();
    if (failed) {
      result.problem = "a pass failed: " + failed->error;
      return result;
    }
    if (queue_->WaitingRecords() > 0) {
      result.problem = fmt::format("{} records still waiting after {} minutes", queue_->WaitingRecords(),
                                   std::chrono::duration_cast<std::chrono::minutes>(kRunLimit).count());
      return result;
    }
    const std::int64_t written = database_.Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO") - before;
    if (written != records) result.problem = fmt::format("{} rows written for {} records", written, records);
    return result;
  }

  Database& database_;
  Route route_;
  Settings settings_;
  Schema schema_;
  std::optional<TVoradaLogger> log_;
  std::optional<DriverCache> drivers_;
  std::optional<MemorySendQueue> queue_;
  std::optional<TinserirIntegracao> worker_;
  std::vector<std::unique_ptr<TListaIntegraTelemetria>> lists_;
};

class ProcessingRig final : public Rig {
 public:
  ProcessingRig(Database& database, std::optional<double> delay_ms, int per_transaction, int writers, int sessions,
                int& runs)
      : database_(database), route_(database.database, delay_ms, "processing"), sessions_(sessions), runs_(runs) {
    log_.emplace(route_.Home());
    log_->SetPrefixo("log_atualizar");
    log_->SetMultiThread(true);
    log_->SetLogLevel(stError);            // the default of [Log] LevelAtualizar
    settings_.TempoAguardar_Minutos = 60;  // no pass unless woken
    settings_.Qtde_Dias_Remocao = 5;
    settings_.GravarMotorista = true;
    settings_.SessoesPorTransacao = per_transaction;
    SetParallelWriters(settings_, writers);
    worker_.emplace(settings_, route_.Pool(), schema_, *log_);
    // A first pass takes the connection and prepares the statements.
    if (const RunResult result = Run(); !result.problem.empty())
      throw std::runtime_error("processing warm-up: " + result.problem);
  }
  ~ProcessingRig() override { Finish(); }

  RunResult Run() override {
    const int run = ++runs_;
    database_.database.Execute({SessionsSql(sessions_, run)});
    const std::int64_t history_before = database_.Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRA_PROCESSADO");
    RunResult result;
    result.items = sessions_;
    route_.ResetRoundTrips();
    const auto start = Clock::now();
    const std::uint64_t passes = worker_->Passes();
    worker_->Acordar();
    const bool ended = worker_->WaitForPasses(passes + 1, kRunLimit);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.round_trips = route_.RoundTrips();
    if (!ended) {
      result.problem = "the pass did not end within the time limit";
      return result;
    }
    const std::string driver = "'MOT-' || CODIGOVEICULO || '-" + std::to_string(run) + "'";
    const std::int64_t moved = database_.Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRA_PROCESSADO") - history_before;
    const std::int64_t open = database_.Count("SELECT COUNT(*) FROM TELEMETRIA_INTEGRACAO");
    const std::int64_t stamped = database_.Count("SELECT COUNT(*) FROM ESTATISTICOS_AVLS WHERE MOTORISTA = " + driver) +
                                 database_.Count("SELECT COUNT(*) FROM VEICULOS_ALARMES WHERE MOTORISTA = " + driver);
    if (moved != sessions_ || open != 0 || stamped != std::int64_t{sessions_} * kRowsStampedPerSession)
      result.problem = fmt::format("{} sessions moved to history, {} left open, {} rows stamped", moved, open, stamped);
    return result;
  }

  bool Finish() override {
    if (!worker_) return false;
    worker_->Stop();
    worker_.reset();
    log_->Close();
    const bool error = bench::LogHasError(route_.Home());
    log_.reset();
    return error;
  }

 private:
  Database& database_;
  Route route_;
  const int sessions_;
  int& runs_;  // shared by the configurations: each run's sessions get drivers of their own
  Settings settings_;
  Schema schema_;
  std::optional<TVoradaLogger> log_;
  std::optional<TProcessaIntegracao> worker_;
};

// ---------------------------------------------------------------------------------------
// The command line, the rounds and the table

struct Options {
  int rounds = 5;
  int records = 100;
  int sessions = 100;
  std::vector<double> delays_ms = {0.5, 1, 2};
  std::vector<int> writers = {1};
  bool ping_pong_only = false;
};

template <class Number>
std::vector<Number> ParseList(const std::string& text) {
  std::vector<Number> values;
  std::istringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    char* end = nullptr;
    const double value = std::strtod(item.c_str(), &end);
    const bool whole = !std::is_integral_v<Number> || (value >= 1 && value == std::floor(value));
    if (item.empty() || end != item.c_str() + item.size() || !std::isfinite(value) || value < 0 || !whole)
      throw std::invalid_argument("not a list of " + std::string(std::is_integral_v<Number> ? "counts" : "numbers") +
                                  ": " + text);
    values.push_back(static_cast<Number>(value));
  }
  if (values.empty()) throw std::invalid_argument("an empty list");
  return values;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--ping-pong") {
      options.ping_pong_only = true;
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument("no value after " + name);
    const std::string value = argv[++i];
    const auto count = [&] {
      const std::vector<int> values = ParseList<int>(value);
      if (values.size() != 1) throw std::invalid_argument(name + " takes one count");
      return values[0];
    };
    if (name == "--rounds")
      options.rounds = count();
    else if (name == "--records")
      options.records = count();
    else if (name == "--sessions")
      options.sessions = count();
    else if (name == "--delays")
      options.delays_ms = ParseList<double>(value);
    else if (name == "--writers")
      options.writers = ParseList<int>(value);
    else
      throw std::invalid_argument("unknown option " + name);
  }
  for (const int writers : options.writers) {
    Settings probe;
    SetParallelWriters(probe, writers);  // refuses what the settings cannot take
  }
  return options;
}

struct Configuration {
  std::string worker;  // "insert" or "processing"
  int per_transaction = 1;
  int writers = 1;
  std::optional<double> delay_ms;
  std::unique_ptr<Rig> rig;
  std::vector<RunResult> runs;
};

std::string DelayName(const std::optional<double>& delay_ms) {
  return delay_ms ? fmt::format("+{} ms", *delay_ms) : "direct";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// One line per configuration: the median rate over the rounds and the best one, the time per
// item of the best run and what the distance added to it against the same configuration
// direct, and the round trips per item. On a shared machine other work only ever slows a run,
// so the best runs are the ones to compare times by; the round trips do not vary.
void PrintTable(const std::vector<Configuration>& configurations) {
  const auto rates_of = [](const Configuration& c) {
    std::vector<double> rates;
    for (const RunResult& run : c.runs) rates.push_back(run.items / run.seconds);
    return rates;
  };
  const auto best_ms = [&](const Configuration& c) {
    const std::vector<double> rates = rates_of(c);
    return 1000 / *std::max_element(rates.begin(), rates.end());
  };
  std::map<std::tuple<std::string, int, int>, double> direct_ms;
  for (const Configuration& c : configurations)
    if (!c.delay_ms) direct_ms[{c.worker, c.per_transaction, c.writers}] = best_ms(c);

  std::cout << "| worker | per transaction | writers | added round trip | items/s, median | items/s, best "
               "| ms per item, best | ms added per item, best | round trips per item |\n"
               "|---|---|---|---|---|---|---|---|---|\n";
  for (const Configuration& c : configurations) {
    const std::vector<double> rates = rates_of(c);
    std::vector<double> trips;
    for (const RunResult& run : c.runs) trips.push_back(static_cast<double>(run.round_trips) / run.items);
    const double ms = best_ms(c);
    const std::string added =
        c.delay_ms ? fmt::format("{:.2f}", ms - direct_ms[{c.worker, c.per_transaction, c.writers}]) : "-";
    std::cout << fmt::format("| {} | {} | {} | {} | {:.1f} | {:.1f} | {:.2f} | {} | {} |\n", c.worker,
                             c.per_transaction, c.writers, DelayName(c.delay_ms), Median(rates),
                             *std::max_element(rates.begin(), rates.end()), ms, added,
                             c.delay_ms ? fmt::format("{:.2f}", Median(trips)) : "-");
  }
}

int Main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  bench::RunPingPongCheck(std::cout, options.delays_ms);
  if (options.ping_pong_only) return 0;

  std::vector<std::optional<double>> distances = {std::nullopt};
  distances.insert(distances.end(), options.delays_ms.begin(), options.delays_ms.end());
  const std::string load_before = LoadAverage();
  const auto started = Clock::now();

  Database inserts(kVehicles);
  Database sessions(options.sessions);
  int processing_runs = 0;
  std::vector<Configuration> configurations;
  for (const int writers : options.writers)
    for (const auto& delay_ms : distances) {
      for (const int per_transaction : {1, 100}) {
        std::cerr << fmt::format("warm-up: insert, {} per transaction, {} writers, {}\n", per_transaction, writers,
                                 DelayName(delay_ms));
        configurations.push_back(
            {"insert",
             per_transaction,
             writers,
             delay_ms,
             std::make_unique<InsertRig>(inserts, delay_ms, per_transaction, writers, options.records),
             {}});
      }
      for (const int per_transaction : {1, 50}) {
        std::cerr << fmt::format("warm-up: processing, {} per transaction, {} writers, {}\n", per_transaction, writers,
                                 DelayName(delay_ms));
        configurations.push_back({"processing",
                                  per_transaction,
                                  writers,
                                  delay_ms,
                                  std::make_unique<ProcessingRig>(sessions, delay_ms, per_transaction, writers,
                                                                  options.sessions, processing_runs),
                                  {}});
      }
    }

  bool failed = false;
  std::vector<std::size_t> order(configurations.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (int round = 1; round <= options.rounds; ++round) {
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(round)));
    for (const std::size_t i : order) {
      Configuration& c = configurations[i];
      const RunResult run = c.rig->Run();
      std::cerr << fmt::format(
          "round {}/{}: {}, {} per transaction, {} writers, {}: {:.1f} items/s, {} round trips{}\n", round,
          options.rounds, c.worker, c.per_transaction, c.writers, DelayName(c.delay_ms), run.items / run.seconds,
          run.round_trips, run.problem.empty() ? "" : " - FAILED: " + run.problem);
      failed = failed || !run.problem.empty();
      c.runs.push_back(run);
    }
  }
  for (Configuration& c : configurations) {
    if (c.rig->Finish()) {
      std::cerr << fmt::format("{}, {} per transaction, {} writers, {}: an error in the log\n", c.worker,
                               c.per_transaction, c.writers, DelayName(c.delay_ms));
      failed = true;
    }
    c.rig.reset();
  }
  const double minutes = std::chrono::duration<double>(Clock::now() - started).count() / 60;
  std::cout << fmt::format(
      "Workers at network distance: {} rounds, {} records per insert run, {} sessions per "
      "processing run; {:.1f} minutes; load average {} before, {} after\n\n",
      options.rounds, options.records, options.sessions, minutes, load_before, LoadAverage());
  PrintTable(configurations);
  if (failed) std::cerr << "some runs failed (see above): their figures are not of the work they claim\n";
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace qit

int main(int argc, char** argv) {
  try {
    return qit::Main(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "network_distance_bench: " << error.what() << '\n';
    return 1;
  }
}
