#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScratchCatalogue.h"
#include "StampingReference.h"
#include "TestDatabase.h"
#include "common/ServiceMetrics.h"
#include "data/ConnectionManager.h"
#include "data/DbConnection.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/WaitTimeout.h"
#include "workers/unProcessaIntegracao.h"

namespace qit {
namespace {

using testing::TestDatabase;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using namespace std::chrono_literals;

constexpr auto kLiveness = 60s;

// The sessions' fixed times; every session below spans 10:00 to 11:00 on this day.
constexpr const char* kStart = "2024-03-15 10:00:00";
constexpr const char* kEnd = "2024-03-15 11:00:00";
constexpr const char* kInside = "2024-03-15 10:30:00";
constexpr const char* kBefore = "2024-03-15 09:59:59";
constexpr const char* kAfter = "2024-03-15 11:00:01";

// A fresh fleet database, the pool and catalogue pointed at it, and the processing worker's
// logger writing to a scratch folder on a fixed date.
class ProcessaIntegracaoTest : public ::testing::Test {
 protected:
  ProcessaIntegracaoTest()
      : database_(TestDatabase::Embedded(TestDatabase::Content::kSchema)),
        logs_(std::filesystem::temp_directory_path() /
              ("qit-processa-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))),
        log_(logs_, [] { return TDateTime::Encode({2024, 3, 15, 12, 0, 0, 0}); }),
        probe_("PROBE", database_.ConnectionString(), "Interbase", "GPS") {
    log_.SetPrefixo("log_atualizar");
    log_.SetDiretorio("Logs/Integradores/Telemetria/");
    log_.SetMultiThread(true);
    log_.SetLogLevel(stDebug);
    manager_.SetConnections({database_.GpsDefinition()});
    settings_.TempoAguardar_Minutos = 60;  // no pass unless woken
    settings_.Qtde_Dias_Remocao = 5;
    settings_.GravarMotorista = true;
    settings_.Exportar_Telemetria = true;
  }
  ~ProcessaIntegracaoTest() override {
    worker_.reset();
    probe_.Disconnect();
    std::filesystem::remove_all(logs_);
  }

  void Start(ServiceMetrics* metrics = nullptr, Schema* schema = nullptr) {
    worker_.emplace(settings_, manager_, schema ? *schema : schema_, log_, metrics);
  }

  // Wakes the worker and waits for the pass that follows.
  void Pass() {
    const auto before = worker_->Passes();
    worker_->Acordar();
    ASSERT_TRUE(worker_->WaitForPasses(before + 1, kLiveness));
  }

  void AddSession(int codigo, int veiculo, const std::string& motorista = "M1") {
    database_.Execute({"INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATA_OPERACAO, DATAHORA_INI, "
                       "DATAHORA_FIM, MOTORISTA, INF_ADICIONAL_MOT, AGRUPAMENTO_1, INF_ADICIONAL_AGR_1, AGRUPAMENTO_2, "
                       "INF_ADICIONAL_AGR_2, IDENTIFICADOR_VEICULO, CODIGO_EMPRESA) VALUES (" +
                       std::to_string(codigo) + ", " + std::to_string(veiculo) + ", '2024-03-15', '" + kStart +
                       "', '" + kEnd + "', '" + motorista + "', 'info mot', 'G1', 'info g1', 'G2', 'info g2', 'V" +
                       std::to_string(veiculo) + "', 7)"});
  }
  // Statistics and alarm rows of a vehicle at the given times, with an old driver on them.
  void AddStats(int veiculo, const std::vector<const char*>& times) {
    for (const char* time : times)
      database_.Execute({"INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA) VALUES (" +
                         std::to_string(veiculo) + ", '" + time + "', 'OLD')"});
  }
  void AddAlarms(int veiculo, const std::vector<const char*>& times) {
    for (const char* time : times)
      database_.Execute({"INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME, MOTORISTA) VALUES (" +
                         std::to_string(veiculo) + ", '" + time + "', 'OLD')"});
  }
  // A session of `veiculo` with data after its end in both tables: it completes at once.
  void AddCompletingSession(int codigo, int veiculo) {
    AddSession(codigo, veiculo);
    AddStats(veiculo, {kInside, kAfter});
    AddAlarms(veiculo, {kInside, kAfter});
  }

  // The export of the vehicle's sessions fails (a trigger raises) until the table
  // REFUSE_EXPORT is emptied.
  void RefuseExportsOf(int veiculo) {
    database_.Execute({
        "CREATE TABLE REFUSE_EXPORT (CODIGO_VEICULO INTEGER)",
        "CREATE EXCEPTION E_EXPORT_REFUSED 'export refused'",
        "CREATE TRIGGER REFUSE_EXPORT_BI FOR TELEMETRIA_EXPORTADA BEFORE INSERT AS BEGIN "
        "IF (EXISTS (SELECT 1 FROM REFUSE_EXPORT R WHERE R.CODIGO_VEICULO = NEW.CODIGO_VEICULO)) "
        "THEN EXCEPTION E_EXPORT_REFUSED; END",
        "INSERT INTO REFUSE_EXPORT VALUES (" + std::to_string(veiculo) + ")",
    });
  }

  // The committed rows of a query, each row's columns joined by "|", NULL as "<null>".
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    for (const auto& row : probe_.QueryOnce(sql)) {
      std::string text;
      for (std::size_t i = 0; i < row.size(); ++i)
        text += (i ? "|" : "") + (IsNullValue(row[i]) ? std::string("<null>") : ValueAsString(row[i]));
      rows.push_back(text);
    }
    return rows;
  }
  std::vector<std::string> OpenSessions() { return Rows("SELECT CODIGO FROM TELEMETRIA_INTEGRACAO ORDER BY CODIGO"); }
  std::vector<std::string> History() {
    return Rows("SELECT CODIGO_VEICULO FROM TELEMETRIA_INTEGRA_PROCESSADO ORDER BY CODIGO_VEICULO");
  }
  std::vector<std::string> Exports() {
    return Rows("SELECT CODIGO_VEICULO FROM TELEMETRIA_EXPORTADA ORDER BY CODIGO_VEICULO");
  }
  // "time|driver|grouping 1|grouping 2" of the vehicle's rows in time order.
  std::vector<std::string> Stats(int veiculo) {
    return Rows("SELECT LEFT(CAST(CAST(DATAHORA AS TIME) AS VARCHAR(13)), 8), MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2 "
                "FROM ESTATISTICOS_AVLS WHERE CODIGOVEICULO = " + std::to_string(veiculo) + " ORDER BY DATAHORA");
  }
  std::vector<std::string> Alarms(int veiculo) {
    return Rows("SELECT LEFT(CAST(CAST(DATAHORA_ALARME AS TIME) AS VARCHAR(13)), 8), MOTORISTA, AGRUPAMENTO_1, "
                "AGRUPAMENTO_2 FROM VEICULOS_ALARMES WHERE CODIGOVEICULO = " + std::to_string(veiculo) + " ORDER BY DATAHORA_ALARME");
  }

  // The texts of the log file (time stamp cut off), from the first pass's first line on.
  std::vector<std::string> LogTexts() const {
    std::ifstream file(logs_ / "Logs/Integradores/Telemetria/log_atualizar240315.log", std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::vector<std::string> texts;
    const std::string all = content.str();
    for (std::size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2)
      texts.push_back(all.substr(at + 24, end - at - 24));  // "dd/mm/yy hh:nn:ss.zzz : "
    while (!texts.empty() && !texts.front().starts_with("Atualizar") && !texts.front().starts_with("Erro"))
      texts.erase(texts.begin());
    return texts;
  }
  bool LogHas(const std::string& fragment) const {
    for (const auto& text : LogTexts())
      if (text.find(fragment) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> errors;
    for (const auto& text : LogTexts())
      if (text.starts_with("Erro em")) errors.push_back(text);
    return errors;
  }

  static inline int counter_ = 0;
  TestDatabase database_;
  std::filesystem::path logs_;
  TVoradaLogger log_;
  DbConnection probe_;  // reads committed data through an attachment of its own
  Settings settings_;
  ConnectionManager manager_;
  Schema schema_;
  std::optional<TProcessaIntegracao> worker_;  // last: stops before what it uses goes away
};

TEST(WaitTimeoutTest, MinutesInMillisecondsHeldInThe32BitRange) {
  const struct {
    int minutes;
    std::int64_t milliseconds;
  } cases[] = {
      {std::numeric_limits<int>::min(), 0},
      {-1, 0},
      {0, 0},
      {1, 60'000},
      {35'791, 2'147'460'000},  // the largest that fits
      {35'792, 2'147'483'647},
      {std::numeric_limits<int>::max(), 2'147'483'647},
  };
  for (const auto& c : cases) EXPECT_EQ(WaitTimeout(c.minutes).count(), c.milliseconds) << c.minutes;
}

// Which rows of the span are stamped, and when a session completes: one vehicle per case,
// all in one pass.
TEST_F(ProcessaIntegracaoTest, StampsTheSpanAndCompletesOnceBothTablesHaveLaterData) {
  const struct {
    int veiculo;
    bool stat_after, alarm_after, completes;
  } cases[] = {
      {1, true, true, true},
      {2, true, false, false},
      {3, false, true, false},
      {4, false, false, false},
  };
  for (const auto& c : cases) {
    AddSession(c.veiculo * 10, c.veiculo, "M" + std::to_string(c.veiculo));
    AddStats(c.veiculo, {kBefore, kStart, kInside, kEnd});
    AddAlarms(c.veiculo, {kBefore, kStart, kInside, kEnd});
    if (c.stat_after) AddStats(c.veiculo, {kAfter});
    if (c.alarm_after) AddAlarms(c.veiculo, {kAfter});
  }
  AddStats(9, {kInside});  // another vehicle's row in the span is left alone

  Start();
  Pass();

  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_THAT(OpenSessions(), ElementsAre("20", "30", "40"));
  EXPECT_THAT(History(), ElementsAre("1"));
  EXPECT_THAT(Exports(), ElementsAre("1"));
  EXPECT_THAT(Rows("SELECT CODIGO_VEICULO, DATA_OPERACAO, DATAHORA_INI, DATAHORA_FIM, MOTORISTA, INF_ADICIONAL_MOT, "
                   "AGRUPAMENTO_1, INF_ADICIONAL_AGR_1, AGRUPAMENTO_2, INF_ADICIONAL_AGR_2, IDENTIFICADOR_VEICULO, "
                   "CODIGO_EMPRESA FROM TELEMETRIA_INTEGRA_PROCESSADO"),
              ElementsAre("1|15/03/2024|15/03/2024 10:00:00|15/03/2024 11:00:00|M1|info mot|G1|info g1|G2|info g2|"
                          "V1|7"));
  EXPECT_THAT(Rows("SELECT CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM FROM TELEMETRIA_EXPORTADA"),
              ElementsAre("1|15/03/2024 10:00:00|15/03/2024 11:00:00"));

  for (const auto& c : cases) {
    const std::string m = "M" + std::to_string(c.veiculo);
    std::vector<std::string> stats = {"09:59:59|OLD|<null>|<null>", "10:00:00|OLD|<null>|<null>",
                                      "10:30:00|" + m + "|G1|G2", "11:00:00|" + m + "|G1|G2"};
    std::vector<std::string> alarms = {"09:59:59|OLD|<null>|<null>", "10:00:00|" + m + "|G1|G2",
                                       "10:30:00|" + m + "|G1|G2", "11:00:00|" + m + "|G1|G2"};
    if (c.stat_after) stats.push_back("11:00:01|OLD|<null>|<null>");
    if (c.alarm_after) alarms.push_back("11:00:01|OLD|<null>|<null>");
    EXPECT_EQ(Stats(c.veiculo), stats) << c.veiculo;
    EXPECT_EQ(Alarms(c.veiculo), alarms) << c.veiculo;
  }
  EXPECT_THAT(Stats(9), ElementsAre("10:30:00|OLD|<null>|<null>"));

  // An open session is stamped again on the next pass, rows that arrived meanwhile included;
  // it completes once the missing later row arrives.
  AddStats(4, {"2024-03-15 10:45:00"});
  AddStats(2, {kInside});
  AddAlarms(2, {kAfter});
  Pass();
  EXPECT_THAT(Stats(4), ::testing::Contains("10:45:00|M4|G1|G2"));
  EXPECT_THAT(OpenSessions(), ElementsAre("30", "40"));
  EXPECT_THAT(History(), ElementsAre("1", "2"));
}

TEST_F(ProcessaIntegracaoTest, WithoutDriverRecordingTheRowsKeepTheirDriverButHistoryCarriesIt) {
  settings_.GravarMotorista = false;
  settings_.Exportar_Telemetria = false;
  AddCompletingSession(1, 5);

  Start();
  Pass();

  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_THAT(Stats(5), ElementsAre("10:30:00|OLD|G1|G2", "11:00:01|OLD|<null>|<null>"));
  EXPECT_THAT(Alarms(5), ElementsAre("10:30:00|OLD|G1|G2", "11:00:01|OLD|<null>|<null>"));
  EXPECT_THAT(Rows("SELECT MOTORISTA, INF_ADICIONAL_MOT FROM TELEMETRIA_INTEGRA_PROCESSADO"),
              ElementsAre("M1|info mot"));
  EXPECT_THAT(OpenSessions(), IsEmpty());
  EXPECT_THAT(Exports(), IsEmpty());
  EXPECT_TRUE(LogHas("GravarMotorista=F"));
  EXPECT_FALSE(LogHas("Exportar dados"));
}

TEST_F(ProcessaIntegracaoTest, PurgesRowsOfTheConfiguredAgeWithoutHistory) {
  AddCompletingSession(1, 1);
  AddSession(2, 2);
  database_.Execute({
      "UPDATE TELEMETRIA_INTEGRACAO SET DATAHORA_INSERCAO = DATEADD(-5 DAY TO CURRENT_TIMESTAMP) WHERE CODIGO = 1",
      "UPDATE TELEMETRIA_INTEGRACAO SET DATAHORA_INSERCAO = DATEADD(1 MINUTE TO DATEADD(-5 DAY TO CURRENT_TIMESTAMP)) "
      "WHERE CODIGO = 2",
  });

  Start();
  Pass();

  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_THAT(OpenSessions(), ElementsAre("2"));
  EXPECT_THAT(History(), IsEmpty());
  EXPECT_THAT(Exports(), IsEmpty());
  EXPECT_THAT(Stats(1), ElementsAre("10:30:00|OLD|<null>|<null>", "11:00:01|OLD|<null>|<null>"));
}

TEST_F(ProcessaIntegracaoTest, AnEmptyTablePurgesReadsAndCommits) {
  Start();
  Pass();
  EXPECT_THAT(LogTexts(), ElementsAre("Atualizar Removendo registros vencidos de 5 dias atrás",
                                      "Atualizar Buscando Sessões Abertas", "Atualizar Commitando Transação"));
}

// Every step of every session the pass works on; a session with nothing to do writes no line.
TEST_F(ProcessaIntegracaoTest, LogsEveryStepOfACompletedSessionInsideItsMethod) {
  settings_.Qtde_Dias_Remocao = 30;
  AddCompletingSession(1, 42);
  AddSession(2, 43, "");  // stays open: no later data
  AddStats(43, {kInside});
  AddSession(3, 44, "");  // no row to stamp and not complete: the pass has nothing to do for it

  Start();
  Pass();

  EXPECT_THAT(
      LogTexts(),
      ElementsAre("Atualizar Removendo registros vencidos de 30 dias atrás", "Atualizar Buscando Sessões Abertas",
                  "Atualizar Commitando Transação", "-> Atualizando Estatisticos e Alarmes",
                  " |Atualizar Atualizando Estatisticos e Alarmes - Veiculo=42 - Motorista=M1 - Agrupamento1=G1 - "
                  "Agrupamento2=G2 - DatahoraIni=15/03/2024 10:00:00 - DatahoraFim=15/03/2024 11:00:00 - "
                  "GravarMotorista=T",
                  " |Atualizar Copiando Registro para a Tabela de Histórico",
                  " |Atualizar Deletando Registro da Tabela Oficial",
                  " |Atualizar Exportar dados do veiculo 42 de 15/03/2024 10:00:00 Até 15/03/2024 11:00:00",
                  "<- Atualizando Estatisticos e Alarmes", "-> Atualizando Estatisticos e Alarmes",
                  " |Atualizar Atualizando Estatisticos e Alarmes - Veiculo=43 - Motorista= - Agrupamento1=G1 - "
                  "Agrupamento2=G2 - DatahoraIni=15/03/2024 10:00:00 - DatahoraFim=15/03/2024 11:00:00 - "
                  "GravarMotorista=T",
                  "<- Atualizando Estatisticos e Alarmes"));
}

// A session that fails for itself is rolled back whole and stays open; the sessions after it
// go on in the same pass, which counts as failed.
TEST_F(ProcessaIntegracaoTest, AFailedSessionIsRolledBackAndRetriedWhole) {
  RefuseExportsOf(3);
  for (int veiculo = 1; veiculo <= 5; ++veiculo) AddCompletingSession(veiculo, veiculo);

  ServiceMetrics metrics;
  Start(&metrics);
  Pass();

  EXPECT_THAT(History(), ElementsAre("1", "2", "4", "5"));
  EXPECT_THAT(Exports(), ElementsAre("1", "2", "4", "5"));
  EXPECT_THAT(OpenSessions(), ElementsAre("3"));
  EXPECT_THAT(Stats(3), ElementsAre("10:30:00|OLD|<null>|<null>", "11:00:01|OLD|<null>|<null>"));
  EXPECT_THAT(Stats(4), ElementsAre("10:30:00|M1|G1|G2", "11:00:01|OLD|<null>|<null>"));
  EXPECT_EQ(metrics.Read().processing_worker.passes_failed, 1u);
  const auto errors = Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Erro em (Atualizar Atualizar Exportar dados do veiculo 3 de 15/03/2024 10:00:00 "
                                    "Até 15/03/2024 11:00:00) = ("));
  EXPECT_THAT(errors[0], HasSubstr("export refused"));
  // The session's method is left before the error is written.
  const auto texts = LogTexts();
  const auto error_line = std::find(texts.begin(), texts.end(), errors[0]);
  ASSERT_NE(error_line, texts.begin());
  EXPECT_EQ(*(error_line - 1), "<- Atualizando Estatisticos e Alarmes");

  database_.Execute({"DELETE FROM REFUSE_EXPORT"});
  Pass();

  EXPECT_THAT(History(), ElementsAre("1", "2", "3", "4", "5"));
  EXPECT_THAT(Exports(), ElementsAre("1", "2", "3", "4", "5"));
  EXPECT_THAT(OpenSessions(), IsEmpty());
  EXPECT_THAT(Stats(3), ElementsAre("10:30:00|M1|G1|G2", "11:00:01|OLD|<null>|<null>"));
}

// Another transaction holds a statistics row of a session: the pass waits for it no longer
// than the pool's lock time-out, fails as the database's failure (the pass ends, the session
// stays open) and the next pass, once the lock is gone, completes it.
TEST_F(ProcessaIntegracaoTest, ALockHeldElsewhereEndsThePassAtTheLockTimeOut) {
  manager_.SetTransactionDefaults({.lock_timeout_seconds = 1});
  AddCompletingSession(1, 1);
  AddCompletingSession(2, 2);
  Schema hold{testing::ScratchCatalogue()
                  .Command("Hold", "UPDATE ESTATISTICOS_AVLS SET MOTORISTA = MOTORISTA WHERE CODIGOVEICULO = 1", {})
                  .Xml()};
  hold.CreateCommand(probe_, "Hold")->ExecuteCommand();  // uncommitted: the rows stay locked

  ServiceMetrics metrics;
  Start(&metrics);
  Pass();
  EXPECT_THAT(OpenSessions(), ElementsAre("1", "2"));
  EXPECT_EQ(metrics.Read().processing_worker.passes_failed, 1u);
  const auto errors = Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], HasSubstr("concurrent transaction"));

  probe_.RollbackTransaction();
  Pass();
  EXPECT_THAT(OpenSessions(), IsEmpty());
  EXPECT_THAT(History(), ElementsAre("1", "2"));
}

// Sessions per transaction ([CONFIGURACOES] SessoesPorTransacao) over 50 completing sessions.
// A value below 1 counts as 1; 7 puts the sessions in transactions of 7 and a last one of 1.
class SessionsPerTransactionTest : public ProcessaIntegracaoTest, public ::testing::WithParamInterface<int> {
 protected:
  static constexpr int kSessions = 50;

  void SetUp() override {
    for (int veiculo = 1; veiculo <= kSessions; ++veiculo) AddCompletingSession(veiculo, veiculo);
    settings_.SessoesPorTransacao = GetParam();
    Start(&metrics_);
  }

  // Every vehicle's statistics and alarm rows are stamped when its session is in history and
  // untouched otherwise; the exports are the history's; the counts are what was committed.
  void ExpectTheDatabaseFollowsHistory() {
    const std::vector<std::string> history = History();
    EXPECT_EQ(Exports(), history);
    EXPECT_EQ(metrics_.Read().sessions_completed, history.size());
    EXPECT_EQ(metrics_.Read().exports, history.size());
    for (int veiculo = 1; veiculo <= kSessions; ++veiculo) {
      const bool moved = std::find(history.begin(), history.end(), std::to_string(veiculo)) != history.end();
      const std::vector<std::string> rows = {moved ? "10:30:00|M1|G1|G2" : "10:30:00|OLD|<null>|<null>",
                                             "11:00:01|OLD|<null>|<null>"};
      EXPECT_EQ(Stats(veiculo), rows) << veiculo;
      EXPECT_EQ(Alarms(veiculo), rows) << veiculo;
    }
  }
  std::vector<std::string> AllSessions() const {
    std::vector<std::string> all;
    for (int veiculo = 1; veiculo <= kSessions; ++veiculo) all.push_back(std::to_string(veiculo));
    return all;
  }

  // Once nothing fails any more: the next pass moves every session to history, and the
  // errors of the pass before stay the only ones.
  void ExpectTheNextPassCompletesEverySession(std::size_t errors_before) {
    Pass();
    EXPECT_EQ(History(), AllSessions());
    EXPECT_THAT(OpenSessions(), IsEmpty());
    ExpectTheDatabaseFollowsHistory();
    EXPECT_EQ(Errors().size(), errors_before);
  }

  ServiceMetrics metrics_;
};

// The 17th session fails its export. Alone in its transaction, or under a savepoint in a
// transaction of several, it is undone alone, and every other session of the pass commits.
// Once the export goes through, the database is the same whatever the number per transaction.
TEST_P(SessionsPerTransactionTest, AFailedSessionIsUndoneAloneAndTheResultIsTheSame) {
  RefuseExportsOf(17);

  Pass();
  const std::vector<std::string> history = History();
  EXPECT_EQ(history.size(), kSessions - 1u);
  EXPECT_THAT(history, Not(Contains("17")));
  EXPECT_THAT(OpenSessions(), ElementsAre("17"));
  ExpectTheDatabaseFollowsHistory();
  EXPECT_EQ(metrics_.Read().processing_worker.passes_failed, 1u);
  const auto errors = Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Erro em (Atualizar Atualizar Exportar dados do veiculo 17 de "));

  database_.Execute({"DELETE FROM REFUSE_EXPORT"});
  ExpectTheNextPassCompletesEverySession(1);
}

// A transaction that fails as a whole (here every commit is refused) leaves every one of its
// sessions open and uncounted, with one error line a transaction, and the pass goes on with
// the next transaction; the next pass does them all.
TEST_P(SessionsPerTransactionTest, ARefusedCommitLeavesEverySessionOfTheTransactionOpen) {
  database_.Execute({
      "CREATE TABLE REFUSE_COMMIT (ID INTEGER)",
      "CREATE EXCEPTION E_COMMIT_REFUSED 'commit refused'",
      "CREATE TRIGGER REFUSE_COMMIT_TC ON TRANSACTION COMMIT AS BEGIN "
      "IF (EXISTS (SELECT 1 FROM REFUSE_COMMIT) AND EXISTS (SELECT 1 FROM TELEMETRIA_INTEGRA_PROCESSADO)) "
      "THEN EXCEPTION E_COMMIT_REFUSED; END",
      "INSERT INTO REFUSE_COMMIT VALUES (1)",
  });

  Pass();
  EXPECT_THAT(History(), IsEmpty());
  EXPECT_EQ(OpenSessions(), AllSessions());
  ExpectTheDatabaseFollowsHistory();
  const int per_transaction = std::max(1, GetParam());
  const std::size_t transactions = (kSessions + per_transaction - 1) / per_transaction;
  const auto errors = Errors();
  ASSERT_EQ(errors.size(), transactions);
  for (const std::string& error : errors) EXPECT_THAT(error, HasSubstr("commit refused"));

  database_.Execute({"DELETE FROM REFUSE_COMMIT"});
  ExpectTheNextPassCompletesEverySession(transactions);
}

INSTANTIATE_TEST_SUITE_P(PerTransaction, SessionsPerTransactionTest, ::testing::Values(1, 50, 7, 0));

// The connection is taken at the pass, not at start: a database that is missing when the
// worker starts only delays the work.
TEST_F(ProcessaIntegracaoTest, ADatabaseMissingAtStartDelaysTheWorkOnly) {
  AddCompletingSession(1, 1);
  const auto file = database_.File();
  const auto aside = std::filesystem::path(file.string() + ".aside");
  std::filesystem::rename(file, aside);

  Start();
  Pass();
  const auto errors = Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Erro em (Atualizar ) = ("));
  EXPECT_EQ(manager_.LiveCount(), 0);

  std::filesystem::rename(aside, file);
  Pass();
  EXPECT_EQ(Errors().size(), 1u);
  EXPECT_THAT(History(), ElementsAre("1"));
  EXPECT_THAT(OpenSessions(), IsEmpty());
}

// The stamping writes a row only when its values change: a second pass over the same sessions
// writes nothing, and rows that arrived between passes are the only ones written. An AFTER
// UPDATE trigger counts the writes the database saw; the metrics count the same.
TEST_F(ProcessaIntegracaoTest, APassWritesOnlyTheRowsWhoseValuesChange) {
  database_.Execute({
      "CREATE TABLE STAMP_WRITES (TABELA VARCHAR(10))",
      "CREATE TRIGGER STATS_WRITTEN FOR ESTATISTICOS_AVLS AFTER UPDATE AS BEGIN "
      "INSERT INTO STAMP_WRITES VALUES ('stats'); END",
      "CREATE TRIGGER ALARMS_WRITTEN FOR VEICULOS_ALARMES AFTER UPDATE AS BEGIN "
      "INSERT INTO STAMP_WRITES VALUES ('alarms'); END",
  });
  const auto writes = [&] {
    return Rows("SELECT TABELA, COUNT(*) FROM STAMP_WRITES GROUP BY TABELA ORDER BY TABELA");
  };
  AddSession(1, 1);
  AddSession(2, 2);
  AddStats(1, {kStart, kInside, kEnd});  // the one at the start is outside the span
  AddAlarms(1, {kStart, kInside});
  AddStats(2, {kInside});
  ServiceMetrics metrics;
  Start(&metrics);

  Pass();
  EXPECT_THAT(writes(), ElementsAre("alarms|2", "stats|3"));
  Pass();
  EXPECT_THAT(writes(), ElementsAre("alarms|2", "stats|3"));
  AddStats(2, {"2024-03-15 10:45:00"});
  AddAlarms(1, {kEnd});
  Pass();
  EXPECT_THAT(writes(), ElementsAre("alarms|3", "stats|4"));

  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_EQ(metrics.Read().statistics_rows_stamped, 4u);
  EXPECT_EQ(metrics.Read().alarm_rows_stamped, 3u);
  EXPECT_EQ(metrics.Read().last_pass_sessions, 2u);
}

// The rows end as the statements that write every row of the span leave them: overlapping
// sessions of one vehicle with different drivers (the later one in the pass wins), a
// session without a driver, NULL columns, a session without a start (every row up to its
// end), rows that arrive between passes; with and without the driver recorded.
TEST_F(ProcessaIntegracaoTest, TheEndStateIsThatOfWritingEveryRow) {
  Schema every_row(testing::CatalogueStampingEveryRow());
  const auto run = [&](Schema& schema) {
    database_.Execute({"DELETE FROM TELEMETRIA_INTEGRACAO", "DELETE FROM ESTATISTICOS_AVLS",
                       "DELETE FROM VEICULOS_ALARMES"});
    AddSession(1, 1, "M1");
    AddSession(2, 1, "M2");
    AddSession(3, 2, "");
    AddSession(4, 3, "M3");
    database_.Execute({"UPDATE TELEMETRIA_INTEGRACAO SET DATAHORA_INI = NULL, AGRUPAMENTO_2 = NULL WHERE CODIGO = 4"});
    AddStats(3, {"2024-03-14 10:00:00", kInside});
    AddStats(1, {kStart, kInside, kEnd});
    AddAlarms(1, {kStart, kInside});
    AddStats(2, {kInside});
    database_.Execute({
        "INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
        "VALUES (1, '2024-03-15 10:40:00', 'M2', 'G1', 'G2')",
        "INSERT INTO VEICULOS_ALARMES (CODIGOVEICULO, DATAHORA_ALARME, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
        "VALUES (2, '2024-03-15 10:40:00', NULL, NULL, 'G2')",
    });
    Start(nullptr, &schema);
    Pass();
    AddStats(2, {"2024-03-15 10:45:00"});
    AddAlarms(1, {kEnd});
    Pass();
    worker_.reset();
    std::vector<std::string> rows;
    for (int veiculo : {1, 2, 3})
      for (const auto& table : {Stats(veiculo), Alarms(veiculo)}) rows.insert(rows.end(), table.begin(), table.end());
    return rows;
  };
  for (bool with_driver : {true, false}) {
    SCOPED_TRACE(with_driver);
    settings_.GravarMotorista = with_driver;
    const auto expected = run(every_row);
    EXPECT_EQ(run(schema_), expected);
  }
  EXPECT_THAT(Errors(), IsEmpty());
}

// At the stError level (the default of [Log] LevelAtualizar) the log holds a pass's errors
// and nothing else: no line per session.
TEST_F(ProcessaIntegracaoTest, AtTheErrorLevelOnlyErrorsAreLogged) {
  log_.SetLogLevel(stError);
  RefuseExportsOf(2);
  AddCompletingSession(1, 1);
  AddCompletingSession(2, 2);
  Start();
  Pass();
  const auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_THAT(texts[0], StartsWith("Erro em (Atualizar Atualizar Exportar dados do veiculo 2 de "));
  EXPECT_THAT(History(), ElementsAre("1"));
}

// Passes start at most once per interval: wake-ups inside it give one pass at its end, and
// a stop while the worker waits for it starts no pass. 0 keeps passes starting on demand.
TEST_F(ProcessaIntegracaoTest, PassesStartAtMostOncePerInterval) {
  settings_.IntervaloMinimoProcessamento_Segundos = 1;
  const auto begun = std::chrono::steady_clock::now();
  Start();
  Pass();
  for (int i = 0; i < 5; ++i) worker_->Acordar();
  ASSERT_TRUE(worker_->WaitForPasses(2, kLiveness));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 1s);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(worker_->Passes(), 2u);  // the five wake-ups were one pass
  worker_.reset();

  settings_.IntervaloMinimoProcessamento_Segundos = 3600;
  Start();
  Pass();
  worker_->Acordar();
  const auto stopping = std::chrono::steady_clock::now();
  worker_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 60s);  // not the hour
  EXPECT_EQ(worker_->Passes(), 1u);
  worker_.reset();

  settings_.IntervaloMinimoProcessamento_Segundos = 0;
  const auto unpaced = std::chrono::steady_clock::now();
  Start();
  for (int i = 0; i < 3; ++i) Pass();
  EXPECT_LT(std::chrono::steady_clock::now() - unpaced, 15s);  // paced, it would take 20 s
}

TEST_F(ProcessaIntegracaoTest, WaitingTimeRunsPassesWithoutWakeUps) {
  for (int minutes : {0, -5}) {
    settings_.TempoAguardar_Minutos = minutes;
    Start();
    EXPECT_TRUE(worker_->WaitForPasses(3, kLiveness)) << minutes;
    worker_.reset();
  }
}

TEST_F(ProcessaIntegracaoTest, StopEndsAWaitingWorkerAndGivesTheConnectionBack) {
  Start();
  Pass();
  EXPECT_EQ(manager_.LiveCount(), 1);
  EXPECT_EQ(manager_.IdleCount(), 0);  // held by the worker between passes

  worker_->Stop();
  EXPECT_EQ(manager_.IdleCount(), 1);
  worker_->Stop();  // a second stop does nothing
  worker_->Acordar();
  EXPECT_EQ(worker_->Passes(), 1u);
}

// Stop waits for the session being processed and leaves the remaining ones for a later run.
TEST_F(ProcessaIntegracaoTest, StopFinishesTheCurrentSessionOnly) {
  AddCompletingSession(1, 1);
  AddCompletingSession(2, 2);
  // Another transaction holds a statistics row of the first session: the worker's update
  // waits for it.
  DbConnection blocker("BLOCKER", database_.ConnectionString(), "Interbase", "GPS");
  blocker.BeginTransaction();
  blocker.Execute(*blocker.Prepare("UPDATE ESTATISTICOS_AVLS SET VELOCIDADE = 1 WHERE CODIGOVEICULO = 1"), {});

  Start();
  worker_->Acordar();
  // The session's lines are written once its request is through; until then the worker's
  // statement shows as running, waiting for the lock.
  const auto waiting = [&] {
    return Rows("SELECT COUNT(*) FROM MON$STATEMENTS WHERE MON$STATE = 1 AND MON$SQL_TEXT LIKE '%ESTATISTICOS_AVLS%' "
                "AND MON$ATTACHMENT_ID <> CURRENT_CONNECTION") == std::vector<std::string>{"1"};
  };
  const auto deadline = std::chrono::steady_clock::now() + kLiveness;
  while (!waiting() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(waiting());

  std::atomic<bool> stopped = false;
  std::thread stopper([&] {
    worker_->Stop();
    stopped = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(stopped);  // still inside the first session
  blocker.RollbackTransaction();
  stopper.join();

  EXPECT_EQ(worker_->Passes(), 1u);
  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_TRUE(LogHas("Veiculo=1 "));
  EXPECT_THAT(History(), ElementsAre("1"));
  EXPECT_THAT(OpenSessions(), ElementsAre("2"));
  EXPECT_THAT(Stats(2), ElementsAre("10:30:00|OLD|<null>|<null>", "11:00:01|OLD|<null>|<null>"));
  EXPECT_FALSE(LogHas("Veiculo=2 "));
}

// Wake-ups from many threads while passes run, then a stop: no pass is lost or left
// running, and the thread sanitizer sees no race.
TEST_F(ProcessaIntegracaoTest, WakeUpsFromManyThreadsThenStop) {
  AddSession(1, 1);
  Start();
  std::vector<std::thread> wakers;
  for (int t = 0; t < 4; ++t)
    wakers.emplace_back([this] {
      for (int i = 0; i < 50; ++i) worker_->Acordar();
    });
  for (auto& waker : wakers) waker.join();
  EXPECT_TRUE(worker_->WaitForPasses(1, kLiveness));
  worker_->Stop();
  const auto passes = worker_->Passes();
  EXPECT_GE(passes, 1u);
  EXPECT_LE(passes, 200u);
  EXPECT_THAT(Errors(), IsEmpty());
  EXPECT_EQ(manager_.IdleCount(), 1);
}

}  // namespace
}  // namespace qit
