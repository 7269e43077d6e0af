// The insert worker on a real embedded database: what a pass writes, and that an aborted pass
// or a stop loses nothing.
#include "workers/unInserirIntegracao.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "common/Resources.h"
#include "queue/MemorySendQueue.h"

namespace qit::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Sent {
  std::string vehicle;
  std::string driver;  // with "Nome <driver>" as its additional information when not empty
  std::string grouping_1;
};

std::unique_ptr<TListaIntegraTelemetria> List(const std::vector<Sent>& records) {
  auto list = std::make_unique<TListaIntegraTelemetria>();
  for (const Sent& sent : records) {
    TIntegraTelemetria* r = list->Add();
    r->ID_Veiculo = sent.vehicle;
    r->DataOperacao = TDateTime::EncodeDate(2024, 5, 1);
    r->DataHoraInicio = TDateTime::Encode({2024, 5, 1, 8, 0, 0});
    r->DataHoraTermino = TDateTime::Encode({2024, 5, 1, 17, 0, 0});
    r->ID_Motorista = sent.driver;
    if (!sent.driver.empty()) r->Inf_Adicional_Motorista = "Nome " + sent.driver;
    r->ID_Agrupamento_1 = sent.grouping_1;
    r->Inf_Adicional_Agrupamento_1 = sent.grouping_1.empty() ? "" : "Desc " + sent.grouping_1;
  }
  return list;
}

class InserirIntegracaoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo)); }
  static void TearDownTestSuite() { database_.reset(); }

  InserirIntegracaoTest()
      : home_(fs::temp_directory_path() / ("qit-inserir-" + std::to_string(std::random_device{}()))),
        log_(home_),
        queue_(log_),
        drivers_(log_) {
    log_.SetPrefixo("log_enviar");
    log_.SetMultiThread(true);
    settings_.TempoAguardar_Minutos = 60;
    settings_.GravarMotorista = true;
    settings_.ConsultarEmpresa = true;
    pool_.SetConnections({database_->GpsDefinition()});
    database_->Execute({"DELETE FROM TELEMETRIA_INTEGRACAO"});
  }
  ~InserirIntegracaoTest() override {
    worker_.reset();
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }

  void StartWorker() { StartWorker(schema_, queue_); }
  void StartWorker(Schema& schema) { StartWorker(schema, queue_); }
  void StartWorker(Schema& schema, ISendQueueConsumer& consumer) {
    worker_ = std::make_unique<TinserirIntegracao>(TinserirIntegracao::Parts{
        settings_, pool_, schema, log_, consumer, drivers_, [this] { ++wake_ups_; }, home_ / "Rejeitados", 50ms,
        &metrics_});
    queue_.SetWakeUp([this] { worker_->Acordar(); });
  }

  // Waits (at most a generous while) until the worker has counted `passes` passes.
  ServiceMetrics::Snapshot AfterPasses(std::uint64_t passes) {
    for (int i = 0; i < 600; ++i) {
      const ServiceMetrics::Snapshot counted = metrics_.Read();
      if (counted.insert_worker.passes_ok + counted.insert_worker.passes_failed >= passes) return counted;
      std::this_thread::sleep_for(25ms);
    }
    return metrics_.Read();
  }

  // Waits (at most a generous while) until the queue holds no record.
  bool QueueEmptied() {
    for (int i = 0; i < 600 && queue_.WaitingRecords() > 0; ++i) std::this_thread::sleep_for(25ms);
    return queue_.WaitingRecords() == 0;
  }

  // "vehicle|company" of every integration row, in insertion order.
  std::vector<std::string> Rows() {
    PooledConnection connection = pool_.AcquireConnection();
    std::vector<std::string> rows;
    for (const auto& row : connection->QueryOnce(
             "SELECT IDENTIFICADOR_VEICULO, CODIGO_EMPRESA FROM TELEMETRIA_INTEGRACAO ORDER BY CODIGO"))
      rows.push_back(ValueAsString(row[0]) + "|" + ValueAsString(row[1]));
    return rows;
  }

  // The files of the records given up on, with their contents.
  std::vector<std::pair<fs::path, std::string>> Rejected() {
    std::vector<std::pair<fs::path, std::string>> files;
    for (const auto& entry : fs::directory_iterator(home_ / "Rejeitados")) {
      std::ifstream in(entry.path());
      std::stringstream content;
      content << in.rdbuf();
      files.emplace_back(entry.path(), content.str());
    }
    return files;
  }

  std::string LogText() {
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(home_))
      if (entry.path().extension() == ".log") {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        text += content.str();
      }
    return text;
  }

  static inline std::optional<TestDatabase> database_;
  fs::path home_;
  Settings settings_;
  ConnectionManager pool_;
  Schema schema_;
  TVoradaLogger log_;
  MemorySendQueue queue_;
  DriverCache drivers_;
  std::atomic<int> wake_ups_ = 0;
  ServiceMetrics metrics_;
  std::unique_ptr<TinserirIntegracao> worker_;
};

TEST_F(InserirIntegracaoTest, APassWritesEveryKnownVehicleWithTheCompanyOfItsList) {
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "MOT1", "TURNO-A"}, {"NAO-EXISTE", "", ""}}).get(), 1);
  queue_.AdicionarListaDeEnvio(List({{"VEI002", "", ""}}).get(), 1);
  ASSERT_TRUE(QueueEmptied());
  for (int i = 0; i < 200 && wake_ups_ == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI002|1"}));
  EXPECT_GE(wake_ups_, 1);
  const std::string log = LogText();
  EXPECT_NE(log.find("Loop TListaIntegraTelemetria - Count=2"), std::string::npos);
  EXPECT_NE(log.find("Acordando Thread"), std::string::npos);
  // Counted: two rows written, the unknown vehicle dropped, passes that went through.
  const ServiceMetrics::Snapshot counted = AfterPasses(1);
  EXPECT_EQ(counted.records_inserted, 2u);
  EXPECT_EQ(counted.records_dropped, 1u);
  EXPECT_EQ(counted.records_rejected, 0u);
  EXPECT_GE(counted.insert_worker.passes_ok, 1u);
  EXPECT_EQ(counted.insert_worker.passes_failed, 0u);
  EXPECT_GT(counted.insert_worker.pass_seconds, 0.0);
  EXPECT_EQ(counted.last_database_failure, 0);
  EXPECT_TRUE(metrics_.LastDatabaseAttempt().ok);
}

// The second record of three fails for itself (a text longer than its column): the first
// stays written, the other two go back to the queue in their order; after its third failed
// pass the failing record is written to its own file and the third record lands.
TEST_F(InserirIntegracaoTest, AFailingRecordLosesNothingAndIsGivenUpOnAfterThreePasses) {
  StartWorker();
  auto list = List({{"VEI001", "", ""}, {"VEI002", "", "TURNO-B"}, {"VEI003", "", ""}});
  list->Items(1)->Inf_Adicional_Agrupamento_1 = std::string(400, 'x');
  queue_.AdicionarListaDeEnvio(list.get(), 1);
  ASSERT_TRUE(QueueEmptied());

  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI003|1"}));
  const auto rejected = Rejected();
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_NE(rejected[0].second.find("<tns:ID_Veiculo>VEI002</tns:ID_Veiculo>"), std::string::npos);
  EXPECT_NE(rejected[0].second.find("<!-- CodigoEmpresa: 1 -->"), std::string::npos);
  EXPECT_NE(LogText().find("gravado em " + rejected[0].first.string()), std::string::npos);
  // Three failed passes, each a failed database attempt; one record given up on, two written.
  const ServiceMetrics::Snapshot counted = AfterPasses(4);
  EXPECT_EQ(counted.insert_worker.passes_failed, 3u);
  EXPECT_EQ(counted.records_rejected, 1u);
  EXPECT_EQ(counted.records_inserted, 2u);
  EXPECT_GT(counted.last_database_failure, 0);
}

// Several records per transaction give the same database as one per transaction. In a list
// of 50 records (drivers and groupings registered, one unknown vehicle), record 17 fails for
// itself, after registering a new driver: with 50 records per transaction it is rolled back to
// its savepoint alone, driver included, and goes
// back to the queue while the other 49 commit, as they do one by one; after its third failed
// pass it is given up on either way.
TEST_F(InserirIntegracaoTest, SeveralRecordsPerTransactionGiveTheSameDatabaseAsOne) {
  struct Outcome {
    std::vector<std::string> rows;
    std::vector<std::string> controls;
    std::vector<std::string> drivers;
    std::uint64_t inserted = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failed_passes = 0;
    std::string log;
  };
  // The texts of a query with the run's prefix taken out, so that two runs compare.
  const auto values = [this](const std::string& sql, const std::string& prefix) {
    PooledConnection connection = pool_.AcquireConnection();
    std::vector<std::string> texts;
    for (const auto& row : connection->QueryOnce(sql)) {
      std::string text;
      for (const DbValue& value : row) text += ValueAsString(value) + "|";
      for (std::size_t at; (at = text.find(prefix)) != std::string::npos;) text.erase(at, prefix.size());
      texts.push_back(text);
    }
    return texts;
  };
  const auto run = [&](const std::string& prefix, int per_transaction) {
    settings_.RegistrosPorTransacao = per_transaction;
    database_->Execute({"DELETE FROM TELEMETRIA_INTEGRACAO"});
    const ServiceMetrics::Snapshot before = metrics_.Read();
    std::vector<Sent> sent;
    for (int i = 0; i < 50; ++i)
      sent.push_back({i == 30 ? "NAO-EXISTE" : "VEI00" + std::to_string(1 + i % 3),
                      prefix + "MOT" + std::to_string(i % 5), prefix + "G" + std::to_string(i % 7)});
    // Record 17 registers a driver of its own before its grouping fails: the failure must
    // take the driver away again.
    sent[16].driver = prefix + "MOTX";
    auto list = List(sent);
    list->Items(16)->Inf_Adicional_Agrupamento_1 = std::string(400, 'x');  // longer than its column
    StartWorker();
    queue_.AdicionarListaDeEnvio(list.get(), 1);
    Outcome outcome;
    EXPECT_TRUE(QueueEmptied());
    worker_.reset();
    const ServiceMetrics::Snapshot after = metrics_.Read();
    outcome.inserted = after.records_inserted - before.records_inserted;
    outcome.dropped = after.records_dropped - before.records_dropped;
    outcome.failed_passes = after.insert_worker.passes_failed - before.insert_worker.passes_failed;
    EXPECT_EQ(after.records_rejected - before.records_rejected, 1u);
    outcome.rows = values("SELECT IDENTIFICADOR_VEICULO, CODIGO_EMPRESA, MOTORISTA, AGRUPAMENTO_1 "
                          "FROM TELEMETRIA_INTEGRACAO ORDER BY CODIGO",
                          prefix);
    outcome.controls = values("SELECT IDENTIFICADOR, DESCRICAO FROM AGRUPAMENTO_CONTROLE WHERE IDENTIFICADOR "
                              "STARTING WITH '" + prefix + "' ORDER BY IDENTIFICADOR",
                              prefix);
    outcome.drivers = values("SELECT CODIGO_CAMPO, VALOR_STRING FROM TAB_VERT_REPOSITORIO WHERE CODIGO_TABELA = 10 "
                             "AND VALOR_STRING CONTAINING '" + prefix + "' ORDER BY VALOR_STRING",
                             prefix);
    return outcome;
  };

  const Outcome one = run("K1-", 1);
  const Outcome fifty = run("K50-", 50);
  EXPECT_EQ(fifty.inserted, 48u);
  EXPECT_EQ(fifty.dropped, 1u);
  EXPECT_EQ(fifty.failed_passes, 3u);
  EXPECT_EQ(fifty.rows.size(), 48u);
  EXPECT_EQ(fifty.rows, one.rows);
  EXPECT_EQ(fifty.controls, one.controls);
  EXPECT_EQ(fifty.drivers, one.drivers);
  EXPECT_EQ(fifty.controls.size(), 5u + 7u);
  EXPECT_EQ(fifty.drivers.size(), 5u * 2u) << "a row with the identifier and one with the name per driver";
  EXPECT_EQ(one.inserted, 48u);
  EXPECT_EQ(one.failed_passes, 3u);
}

// A record whose driver cannot be registered (a trigger refuses it) fails in its one
// request; written again statement by statement, its lines are those of that writing alone:
// each step once, the three attempts, and the record lands without its driver.
TEST_F(InserirIntegracaoTest, ARecordThatFailsInItsRequestIsLoggedAsWrittenStatementByStatement) {
  const auto count = [](const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  database_->Execute({"CREATE EXCEPTION E_DRIVER_REFUSED 'motorista recusado'",
                      "CREATE TRIGGER REFUSE_DRIVER FOR TAB_VERT_REPOSITORIO BEFORE INSERT AS BEGIN "
                      "IF (NEW.VALOR_STRING STARTING WITH 'MOT-RECUSADO') THEN EXCEPTION E_DRIVER_REFUSED; END"});
  for (const int per_transaction : {1, 100}) {
    settings_.RegistrosPorTransacao = per_transaction;
    database_->Execute({"DELETE FROM TELEMETRIA_INTEGRACAO"});
    const std::string driver = "MOT-RECUSADO-" + std::to_string(per_transaction);
    auto list = List({{"VEI002", "MOT-OK", "G1"}, {"VEI001", driver, ""}, {"VEI003", "", ""}});
    StartWorker();
    queue_.AdicionarListaDeEnvio(list.get(), 1);
    ASSERT_TRUE(QueueEmptied());
    worker_.reset();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI002|1", "VEI001|1", "VEI003|1"})) << per_transaction;
    const std::string log = LogText();
    const std::size_t runs = per_transaction == 1 ? 1 : 2;  // the log holds both runs
    EXPECT_EQ(count(log, "Id Veículo:[VEI001] - Atualizar Controle - Motorista - " + driver), 1u) << per_transaction;
    EXPECT_EQ(count(log, "Id Veículo:[VEI001] - Inserindo Registro Com Motorista"), runs) << per_transaction;
    EXPECT_EQ(count(log, "Id Veículo:[VEI002] - Inserindo Registro Com Motorista"), runs) << per_transaction;
    EXPECT_EQ(count(log, "Erro ao atualizar motorista - Tentativa 1 de 3"), runs) << per_transaction;
    EXPECT_EQ(count(log, "Erro ao atualizar motorista - Tentativa 3 de 3"), runs) << per_transaction;
  }
  database_->Execute({"DROP TRIGGER REFUSE_DRIVER", "DROP EXCEPTION E_DRIVER_REFUSED"});
}

// With several records per transaction, the control and driver rows that many records
// refresh are written once per transaction, with the last record's values.
TEST_F(InserirIntegracaoTest, ATransactionWritesEachSharedRowOnceWithTheLastValues) {
  database_->Execute({"CREATE TABLE SHARED_WRITES (TABELA VARCHAR(20), CODIGO INTEGER)",
                      "CREATE TRIGGER CONTROL_WRITTEN FOR AGRUPAMENTO_CONTROLE AFTER UPDATE AS BEGIN "
                      "INSERT INTO SHARED_WRITES VALUES ('CONTROLE', NEW.CODIGO); END",
                      "CREATE TRIGGER DRIVER_ROW_WRITTEN FOR TAB_VERT_REPOSITORIO AFTER UPDATE AS BEGIN "
                      "INSERT INTO SHARED_WRITES VALUES ('TAB_VERT', NEW.CODIGO); END"});
  settings_.RegistrosPorTransacao = 100;
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "MOT-SHARED", "G-SHARED"}}).get(), 1);  // registers them
  ASSERT_TRUE(QueueEmptied());
  database_->Execute({"DELETE FROM SHARED_WRITES"});
  std::vector<Sent> sent;
  for (int i = 0; i < 20; ++i) sent.push_back({"VEI00" + std::to_string(1 + i % 3), "MOT-SHARED", "G-SHARED"});
  auto list = List(sent);
  for (int i = 0; i < 20; ++i) {
    list->Items(i)->Inf_Adicional_Motorista = "Nome " + std::to_string(i);
    list->Items(i)->Inf_Adicional_Agrupamento_1 = "Desc " + std::to_string(i);
  }
  queue_.AdicionarListaDeEnvio(list.get(), 1);
  ASSERT_TRUE(QueueEmptied());
  worker_.reset();

  PooledConnection connection = pool_.AcquireConnection();
  const auto texts = [&](const std::string& sql) {
    std::vector<std::string> found;
    for (const auto& row : connection->QueryOnce(sql)) found.push_back(ValueAsString(row[0]) + "|" + ValueAsString(row[1]));
    return found;
  };
  // Each row written once: the two control records (driver and grouping), and the driver's
  // name, status and company rows.
  EXPECT_THAT(texts("SELECT TABELA, COUNT(*) FROM SHARED_WRITES GROUP BY TABELA, CODIGO ORDER BY 1"),
              ::testing::ElementsAre("CONTROLE|1", "CONTROLE|1", "TAB_VERT|1", "TAB_VERT|1", "TAB_VERT|1"));
  EXPECT_THAT(texts("SELECT IDENTIFICADOR, DESCRICAO FROM AGRUPAMENTO_CONTROLE WHERE IDENTIFICADOR IN "
                    "('MOT-SHARED', 'G-SHARED') ORDER BY IDENTIFICADOR"),
              ::testing::ElementsAre("G-SHARED|Desc 19", "MOT-SHARED|Nome 19"));
  EXPECT_EQ(texts("SELECT COUNT(*), MAX(VALOR_STRING) FROM TAB_VERT_REPOSITORIO WHERE VALOR_STRING = 'Nome 19'"),
            std::vector<std::string>{"1|Nome 19"});
  connection = PooledConnection();
  database_->Execute({"DROP TRIGGER CONTROL_WRITTEN", "DROP TRIGGER DRIVER_ROW_WRITTEN"});
}

// Texts of a request reach the log cut and on one line, however long they are and whatever
// they hold: an unknown vehicle of 100 000 characters, and a driver of 100 000 that fails
// every pass until the record is given up on.
TEST_F(InserirIntegracaoTest, RequestTextsInTheLogAreBoundedAndCannotDriveATerminal) {
  StartWorker();
  queue_.AdicionarListaDeEnvio(
      List({{std::string(100000, 'V') + "\x1b[2J", "", ""}, {"VEI001", std::string(100000, 'M') + "\x1b]0;x", ""}})
          .get(),
      1);
  ASSERT_TRUE(QueueEmptied());
  const std::string log = LogText();
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_NE(log.find("VVV\u2026(+"), std::string::npos);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 4 * kRequestTextLimit) << line.substr(0, 200);
}

// A database that cannot be reached is not the records' fault: they wait, however many
// passes fail, and land once it is back.
// The queue, whose done marks fail the first times as on a full disk: the record leaves the
// queue and the mark is raised.
class FailingMarks final : public ISendQueueConsumer {
 public:
  FailingMarks(MemorySendQueue& queue, int failures) : queue_(queue), failures_(failures) {}
  std::vector<QueuedRecord> TakeBatch(std::size_t max_records) override { return queue_.TakeBatch(max_records); }
  void GiveBack(std::vector<QueuedRecord> records) override { queue_.GiveBack(std::move(records)); }
  void Acknowledge(std::span<const std::uint64_t> sequences) override {
    queue_.Acknowledge(sequences);
    if (failures_-- > 0) throw EListaDeEnvio("Falha ao gravar a fila de envio: No space left on device");
  }
  std::size_t WaitingRecords() const override { return queue_.WaitingRecords(); }
  std::size_t WaitingBytes() const override { return queue_.WaitingBytes(); }

 private:
  MemorySendQueue& queue_;
  int failures_;
};

// Stops the worker when the test's locals go, also when an assertion ends the test early.
struct StopsWorkerFirst {
  std::unique_ptr<TinserirIntegracao>& worker;
  ~StopsWorkerFirst() { worker.reset(); }
};

// A done mark that cannot be written ends the pass, but the committed record is neither
// written again nor counted as failing, however often it happens.
TEST_F(InserirIntegracaoTest, AFailedDoneMarkNeitherRepeatsNorRejectsTheCommittedRecord) {
  FailingMarks marks(queue_, 3);
  StartWorker(schema_, marks);
  const StopsWorkerFirst stop_first{worker_};  // its thread uses the wrapper, which ends with this test
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", ""}, {"VEI002", "", ""}, {"VEI003", "", ""}}).get(), 1);
  ASSERT_TRUE(QueueEmptied());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI002|1", "VEI003|1"}));
  EXPECT_FALSE(fs::exists(home_ / "Rejeitados"));
}

// The same with several records per transaction, one of which fails for itself: the mark of
// the others fails too, and the failed record is still handed back, not lost with the mark.
TEST_F(InserirIntegracaoTest, AFailedDoneMarkDoesNotTakeTheFailedRecordOfATransactionAlong) {
  settings_.RegistrosPorTransacao = 3;
  FailingMarks marks(queue_, 1);
  StartWorker(schema_, marks);
  const StopsWorkerFirst stop_first{worker_};
  auto list = List({{"VEI001", "", ""}, {"VEI002", "", "TURNO-B"}, {"VEI003", "", ""}});
  list->Items(1)->Inf_Adicional_Agrupamento_1 = std::string(400, 'x');  // longer than its column
  queue_.AdicionarListaDeEnvio(list.get(), 1);
  ASSERT_TRUE(QueueEmptied());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI003|1"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(home_ / "Rejeitados"), fs::directory_iterator()), 1);
}

// A commit refused because of one record of a transaction of several (a commit trigger) is
// held against no record: the records are written one per transaction from then on, and the
// failure lands on the record that causes it. Each record's list line is written once,
// however often it comes back.
TEST_F(InserirIntegracaoTest, ARefusedCommitLandsOnTheRecordThatCausesIt) {
  database_->Execute({
      "CREATE TABLE REFUSE_VEHICLE (ID VARCHAR(20))",
      "CREATE EXCEPTION E_COMMIT_REFUSED 'commit refused'",
      "CREATE TRIGGER REFUSE_COMMIT_TC ON TRANSACTION COMMIT AS BEGIN "
      "IF (EXISTS (SELECT 1 FROM TELEMETRIA_INTEGRACAO T JOIN REFUSE_VEHICLE R ON R.ID = T.IDENTIFICADOR_VEICULO)) "
      "THEN EXCEPTION E_COMMIT_REFUSED; END",
      "INSERT INTO REFUSE_VEHICLE VALUES ('VEI002')",
  });
  settings_.RegistrosPorTransacao = 10;
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", ""}, {"VEI002", "", ""}, {"VEI003", "", ""}}).get(), 1);
  const bool emptied = QueueEmptied();
  worker_.reset();
  database_->Execute({"DELETE FROM REFUSE_VEHICLE"});
  ASSERT_TRUE(emptied);

  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI003|1"}));
  const auto rejected = Rejected();
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_NE(rejected[0].second.find("<tns:ID_Veiculo>VEI002</tns:ID_Veiculo>"), std::string::npos);
  EXPECT_NE(rejected[0].second.find("commit refused"), std::string::npos);
  const std::string log = LogText();
  for (const char* vehicle : {"VEI001", "VEI002", "VEI003"}) {
    const std::string line = std::string("Logar Lista - Veiculo: ") + vehicle + " ";
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find(line, at)) != std::string::npos; at += line.size()) ++lines;
    EXPECT_EQ(lines, 1u) << vehicle;
  }
}

// A failure that is not the record's (here the database lacks a column the insert names, as
// after a mistaken change of its schema) is not held against it: the record waits however
// many passes fail, and lands once the database is mended.
TEST_F(InserirIntegracaoTest, AFailureOfTheDatabaseIsNotHeldAgainstTheRecord) {
  database_->Execute({"ALTER TABLE TELEMETRIA_INTEGRACAO DROP INF_ADICIONAL_AGR_2"});
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", ""}}).get(), 1);
  const ServiceMetrics::Snapshot counted = AfterPasses(5);
  worker_.reset();
  database_->Execute({"ALTER TABLE TELEMETRIA_INTEGRACAO ADD INF_ADICIONAL_AGR_2 VARCHAR(250)"});
  EXPECT_GE(counted.insert_worker.passes_failed, 5u);
  EXPECT_EQ(counted.records_rejected, 0u);
  EXPECT_EQ(queue_.WaitingRecords(), 1u);
  EXPECT_FALSE(fs::exists(home_ / "Rejeitados"));

  StartWorker();
  worker_->Acordar();
  ASSERT_TRUE(QueueEmptied());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1"}));
}

// Another transaction holds the control record the record must refresh: the worker's wait for
// it ends at the pool's lock time-out, the pass fails without holding it against the record,
// and the record lands once the lock is gone.
TEST_F(InserirIntegracaoTest, ALockHeldElsewhereDelaysTheRecordWithoutHoldingTheWorker) {
  pool_.SetTransactionDefaults({.lock_timeout_seconds = 1});
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", "LOCKG"}}).get(), 1);
  ASSERT_TRUE(QueueEmptied());

  DbConnection holder("HOLDER", database_->ConnectionString(), "Interbase", "GPS");
  holder.QueryOnce("SELECT 1 FROM RDB$DATABASE");
  Schema hold{testing::ScratchCatalogue()
                  .Command("Hold", "UPDATE AGRUPAMENTO_CONTROLE SET DESCRICAO = DESCRICAO WHERE IDENTIFICADOR = 'LOCKG'", {})
                  .Xml()};
  hold.CreateCommand(holder, "Hold")->ExecuteCommand();  // uncommitted: the row stays locked
  const std::uint64_t failed_before = metrics_.Read().insert_worker.passes_failed;
  queue_.AdicionarListaDeEnvio(List({{"VEI002", "", "LOCKG"}}).get(), 1);
  const ServiceMetrics::Snapshot counted = AfterPasses(metrics_.Read().insert_worker.passes_ok + failed_before + 2);
  EXPECT_GE(counted.insert_worker.passes_failed, failed_before + 2);
  EXPECT_EQ(queue_.WaitingRecords(), 1u);
  EXPECT_FALSE(fs::exists(home_ / "Rejeitados"));

  holder.RollbackTransaction();
  ASSERT_TRUE(QueueEmptied());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI002|1"}));
}

TEST_F(InserirIntegracaoTest, RecordsWaitForADatabaseThatIsAway) {
  ConnectionDefinition away = database_->GpsDefinition();
  away.ConnectionString = "FIB?Server=127.0.0.1/1;Database=/nao/existe.fdb;UserID=SYSDBA;Password=x;ConnectTimeout=1;";
  pool_.SetConnections({away});
  StartWorker();
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", ""}}).get(), 1);
  for (int i = 0; i < 4; ++i) {
    worker_->Acordar();
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(queue_.WaitingRecords(), 1u);
  EXPECT_FALSE(fs::exists(home_ / "Rejeitados"));

  pool_.SetConnections({database_->GpsDefinition()});
  worker_->Acordar();
  ASSERT_TRUE(QueueEmptied());
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1"}));
}

// Without the drivers already known, a driver would be registered a second time: while the
// cache cannot be loaded, the records wait.
TEST_F(InserirIntegracaoTest, RecordsWaitWhileTheDriverCacheCannotBeLoaded) {
  std::string catalogue(FindResource("CATALOGUE"));
  const std::string load = "Name=\"AgrupamentosId_TabVert.Get\"";
  catalogue.replace(catalogue.find(load), load.size(), "Name=\"Indisponivel\"");
  Schema without_driver_load(catalogue);
  StartWorker(without_driver_load);
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "MOT9", ""}}).get(), 1);
  for (int i = 0; i < 3; ++i) {
    worker_->Acordar();
    std::this_thread::sleep_for(100ms);
  }
  worker_.reset();
  EXPECT_EQ(queue_.WaitingRecords(), 1u);
  EXPECT_TRUE(Rows().empty());
  EXPECT_FALSE(drivers_.Loaded());
}

TEST_F(InserirIntegracaoTest, AStopWritesWhatIsQueuedWithinItsTime) {
  queue_.AdicionarListaDeEnvio(List({{"VEI001", "", ""}, {"VEI002", "", ""}}).get(), 1);
  StartWorker();  // nobody wakes it: only the stop makes it run
  worker_->Stop(std::chrono::steady_clock::now() + 30s);
  EXPECT_EQ(queue_.WaitingRecords(), 0u);
  EXPECT_EQ(Rows(), (std::vector<std::string>{"VEI001|1", "VEI002|1"}));
}

}  // namespace
}  // namespace qit::testing
