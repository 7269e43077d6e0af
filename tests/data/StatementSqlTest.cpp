#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <optional>
#include <set>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::ScratchCatalogue;
using testing::TestDatabase;

using Setter = std::function<void(DbStatement&)>;

// The catalogue's statements against the demo fleet: what each must answer or change.
class StatementSqlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo)); }
  static void TearDownTestSuite() { database_.reset(); }

  void SetUp() override {
    manager_.SetConnections({database_->GpsDefinition()});
    connection_ = manager_.AcquireConnection();
  }
  void TearDown() override {
    if (connection_->InTransaction()) connection_->RollbackTransaction();
  }

  std::unique_ptr<DbDataset> Open(Schema& schema, std::string_view name, const Setter& set = {}) {
    auto dataset = schema.CreateDataset(*connection_, name);
    if (set) set(*dataset);
    dataset->Open();
    return dataset;
  }
  std::unique_ptr<DbDataset> Open(std::string_view name, const Setter& set = {}) { return Open(schema_, name, set); }

  int Execute(std::string_view name, const Setter& set) {
    auto command = schema_.CreateCommand(*connection_, name);
    set(*command);
    std::uint64_t affected = 0;
    command->ExecuteCommand(&affected);
    return static_cast<int>(affected);
  }

  // The rows of a probe query, one text per row made of the named fields joined by "|".
  std::vector<std::string> Rows(std::string_view probe, const std::vector<std::string>& fields, const Setter& set = {}) {
    auto dataset = Open(probes_, probe, set);
    std::vector<std::string> rows;
    for (; !dataset->Eof(); dataset->Next()) {
      std::string row;
      for (const auto& field : fields)
        row += (&field == &fields.front() ? "" : "|") +
               (dataset->FieldByName(field).IsNull() ? "<null>" : dataset->FieldByName(field).AsString());
      rows.push_back(row);
    }
    return rows;
  }

  static Setter Vehicle(int code) {
    return [code](DbStatement& s) { s.ParamByName("V").SetAsInteger(code); };
  }

  static inline std::optional<TestDatabase> database_;
  Schema schema_;
  Schema probes_{
      ScratchCatalogue()
          .Dataset("Stats",
                   "SELECT DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2 FROM ESTATISTICOS_AVLS "
                   "WHERE CODIGOVEICULO = :V ORDER BY DATAHORA",
                   {"V"}, {"DATAHORA", "MOTORISTA", "AGRUPAMENTO_1", "AGRUPAMENTO_2"})
          .Dataset("Alarms",
                   "SELECT DATAHORA_ALARME AS DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2 FROM VEICULOS_ALARMES "
                   "WHERE CODIGOVEICULO = :V ORDER BY DATAHORA_ALARME",
                   {"V"}, {"DATAHORA", "MOTORISTA", "AGRUPAMENTO_1", "AGRUPAMENTO_2"})
          .Dataset("Integracao",
                   "SELECT CODIGO, MOTORISTA, INF_ADICIONAL_MOT, CODIGO_EMPRESA, "
                   "IIF(DATAHORA_INSERCAO IS NULL, 'no', 'yes') AS INSERIDO FROM TELEMETRIA_INTEGRACAO ORDER BY CODIGO",
                   {}, {"CODIGO", "MOTORISTA", "INF_ADICIONAL_MOT", "CODIGO_EMPRESA", "INSERIDO"})
          .Dataset("Historico",
                   "SELECT CODIGO_VEICULO, MOTORISTA, IDENTIFICADOR_VEICULO FROM TELEMETRIA_INTEGRA_PROCESSADO "
                   "WHERE CODIGO_VEICULO = :V",
                   {"V"}, {"CODIGO_VEICULO", "MOTORISTA", "IDENTIFICADOR_VEICULO"})
          .Dataset("Exportada", "SELECT CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM FROM TELEMETRIA_EXPORTADA", {},
                   {"CODIGO_VEICULO", "DATAHORA_INI", "DATAHORA_FIM"})
          .Dataset("TabVert",
                   "SELECT CODIGO, CODIGO_CAMPO, VALOR_STRING, VALOR_INTEIRO FROM TAB_VERT_REPOSITORIO "
                   "WHERE CODIGO_GRUPO = :V ORDER BY CODIGO_CAMPO",
                   {"V"}, {"CODIGO", "CODIGO_CAMPO", "VALOR_STRING", "VALOR_INTEIRO"})
          .Xml()};
  ConnectionManager manager_;
  PooledConnection connection_;
};

const TDateTime kIni = TDateTime::Encode({2024, 5, 10, 8, 0, 0, 0});
const TDateTime kFim = TDateTime::Encode({2024, 5, 10, 9, 0, 0, 0});
constexpr double kMinute = 1.0 / 1440;

Setter Session(int vehicle, bool with_driver) {
  return [vehicle, with_driver](DbStatement& s) {
    if (with_driver) s.ParamByName("MOTORISTA").SetAsString("M1");
    s.ParamByName("AGRUPAMENTO_1").SetAsString("A1");
    s.ParamByName("AGRUPAMENTO_2").SetAsString("A2");
    s.ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle);
    s.ParamByName("DATAHORA_INI").SetAsDateTime(kIni);
    s.ParamByName("DATAHORA_FIM").SetAsDateTime(kFim);
  };
}

TEST_F(StatementSqlTest, SessionWindowsOfStatisticsAndAlarms) {
  // Rows one minute before the start, at the start, inside, at the end, one minute after.
  const std::string times[] = {"'2024-05-10 07:59:00'", "'2024-05-10 08:00:00'", "'2024-05-10 08:30:00'",
                               "'2024-05-10 09:00:00'", "'2024-05-10 09:01:00'"};
  const struct {
    std::string_view command;
    std::string_view table;
    std::string_view time_column;
    int vehicle;
    bool with_driver;
    std::vector<std::string> expected;
  } cases[] = {
      {"AtualizaEstatisticos", "ESTATISTICOS_AVLS", "DATAHORA", 11, true,
       {"old|-", "old|-", "M1|A1", "M1|A1", "old|-"}},
      {"AtualizaEstatisticos_SemMotorista", "ESTATISTICOS_AVLS", "DATAHORA", 12, false,
       {"old|-", "old|-", "old|A1", "old|A1", "old|-"}},
      {"AtualizaAlarmes", "VEICULOS_ALARMES", "DATAHORA_ALARME", 13, true,
       {"old|-", "M1|A1", "M1|A1", "M1|A1", "old|-"}},
      {"AtualizaAlarmes_SemMotorista", "VEICULOS_ALARMES", "DATAHORA_ALARME", 14, false,
       {"old|-", "old|A1", "old|A1", "old|A1", "old|-"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> inserts;
    for (const auto& time : times)
      inserts.push_back("INSERT INTO " + std::string(c.table) + " (CODIGOVEICULO, " + std::string(c.time_column) +
                        ", MOTORISTA, AGRUPAMENTO_1) VALUES (" + std::to_string(c.vehicle) + ", " + time + ", 'old', '-')");
    database_->Execute(inserts);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(Execute(c.command, Session(c.vehicle, c.with_driver)), 2 + (c.table == "VEICULOS_ALARMES" ? 1 : 0));
    EXPECT_EQ(Rows(c.table == "VEICULOS_ALARMES" ? "Alarms" : "Stats", {"MOTORISTA", "AGRUPAMENTO_1"}, Vehicle(c.vehicle)),
              c.expected);
    // Rows that already hold the session's values are not written again; the same session
    // once more writes nothing and changes nothing.
    EXPECT_EQ(Execute(c.command, Session(c.vehicle, c.with_driver)), 0);
    EXPECT_EQ(Rows(c.table == "VEICULOS_ALARMES" ? "Alarms" : "Stats", {"MOTORISTA", "AGRUPAMENTO_1"}, Vehicle(c.vehicle)),
              c.expected);
  }
}

// Only a row that differs from the session's values in a column the statement sets is
// written: one column differing is enough, and a NULL column differs from any value.
TEST_F(StatementSqlTest, SessionStampsWriteOnlyRowsThatDiffer) {
  database_->Execute({
      "INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
      "VALUES (15, '2024-05-10 08:10:00', 'M1', 'A1', 'A2')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
      "VALUES (15, '2024-05-10 08:20:00', 'M1', 'A1', 'X2')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
      "VALUES (15, '2024-05-10 08:30:00', NULL, 'A1', 'A2')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGOVEICULO, DATAHORA, MOTORISTA, AGRUPAMENTO_1, AGRUPAMENTO_2) "
      "VALUES (15, '2024-05-10 08:40:00', 'OTHER', 'A1', 'A2')",
  });
  // Without the driver, the driver column does not count: only the second row differs.
  EXPECT_EQ(Execute("AtualizaEstatisticos_SemMotorista", Session(15, false)), 1);
  // With it, the NULL driver and the other driver differ as well.
  EXPECT_EQ(Execute("AtualizaEstatisticos", Session(15, true)), 2);
  EXPECT_EQ(Rows("Stats", {"MOTORISTA", "AGRUPAMENTO_1"}, Vehicle(15)),
            (std::vector<std::string>{"M1|A1", "M1|A1", "M1|A1", "M1|A1"}));
}

TEST_F(StatementSqlTest, NextRowLookupsCountOnlyRowsStrictlyAfterTheEnd) {
  database_->Execute({
      "INSERT INTO ESTATISTICOS_AVLS (CODIGO, CODIGOVEICULO, DATAHORA) VALUES (2101, 21, '2024-05-10 09:00:00')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGO, CODIGOVEICULO, DATAHORA) VALUES (2103, 21, '2024-05-10 09:02:00')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGO, CODIGOVEICULO, DATAHORA) VALUES (2102, 21, '2024-05-10 09:01:00')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGO, CODIGOVEICULO, DATAHORA) VALUES (2201, 22, '2024-05-10 09:00:00')",
      "INSERT INTO VEICULOS_ALARMES (CODIGO, CODIGOVEICULO, DATAHORA_ALARME) VALUES (2111, 21, '2024-05-10 09:00:00')",
      "INSERT INTO VEICULOS_ALARMES (CODIGO, CODIGOVEICULO, DATAHORA_ALARME) VALUES (2112, 21, '2024-05-10 09:00:01')",
      "INSERT INTO VEICULOS_ALARMES (CODIGO, CODIGOVEICULO, DATAHORA_ALARME) VALUES (2211, 22, '2024-05-10 09:00:00')",
      "INSERT INTO ESTATISTICOS_AVLS (CODIGO, CODIGOVEICULO, DATAHORA) VALUES (2301, 23, '2024-05-10 09:05:00')",
      "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM) VALUES "
      "(9021, 21, '2024-05-10 08:00:00', '2024-05-10 09:00:00')",
      "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM) VALUES "
      "(9022, 22, '2024-05-10 08:00:00', '2024-05-10 09:00:00')",
      "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM) VALUES "
      "(9023, 23, '2024-05-10 08:00:00', '2024-05-10 09:00:00')",
      "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM) VALUES "
      "(9024, 21, NULL, NULL)",
      "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, CODIGO_VEICULO, DATAHORA_INI, DATAHORA_FIM) VALUES "
      "(9025, 22, NULL, NULL)",
  });
  const auto after = [&](std::string_view dataset, int vehicle) {
    auto found = Open(dataset, [vehicle](DbStatement& s) {
      s.ParamByName("DATAHORA_FIM").SetAsDateTime(kFim);
      s.ParamByName("CODIGOVEICULO").SetAsInteger(vehicle);
    });
    return found->IsEmpty() ? -1 : found->FieldByName("CODIGO").AsInteger() * 10 + found->RecordCount();
  };
  EXPECT_EQ(after("BuscaRegistroPosterior", 21), 21021);
  EXPECT_EQ(after("BuscaRegistroPosteriorAlarmes", 21), 21121);
  EXPECT_EQ(after("BuscaRegistroPosterior", 22), -1);  // only a row at the end itself
  EXPECT_EQ(after("BuscaRegistroPosteriorAlarmes", 22), -1);

  // The pass's reading of complete sessions agrees with the two look-ups: vehicle 21 has both
  // rows after the end, 22 neither, 23 a statistics row alone; a session without an end
  // reads it as the zero date-time, as the worker does.
  std::vector<std::string> complete;
  for (auto sessions = Open("CompleteSessions"); !sessions->Eof(); sessions->Next())
    if (const int code = sessions->FieldByName("CODIGO").AsInteger(); code >= 9021 && code <= 9025)
      complete.push_back(std::to_string(code));
  std::sort(complete.begin(), complete.end());
  EXPECT_EQ(complete, (std::vector<std::string>{"9021", "9024", "9025"}));
  database_->Execute({"DELETE FROM TELEMETRIA_INTEGRACAO WHERE CODIGO BETWEEN 9021 AND 9025"});
}

TEST_F(StatementSqlTest, PurgeDeletesRowsInsertedDiasDaysAgoOrEarlier) {
  const auto reset = [&] {
    database_->Execute({
        "DELETE FROM TELEMETRIA_INTEGRACAO",
        "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, DATAHORA_INSERCAO) VALUES (1, CURRENT_TIMESTAMP - 5)",
        "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, DATAHORA_INSERCAO) "
        "VALUES (2, DATEADD(1 MINUTE TO DATEADD(-5 DAY TO CURRENT_TIMESTAMP)))",
        "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, DATAHORA_INSERCAO) VALUES (3, NULL)",
        "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO, DATAHORA_INSERCAO) VALUES (4, CURRENT_TIMESTAMP + 1)",
        "INSERT INTO TELEMETRIA_INTEGRACAO (CODIGO) VALUES (5)",
    });
  };
  const auto remaining = [&] {
    std::vector<std::string> codes = Rows("Integracao", {"CODIGO"});
    connection_->CommitTransaction();
    return codes;
  };
  reset();
  EXPECT_EQ(Execute("Deletar_RegistroIntegracao", [](DbStatement& s) { s.ParamByName("DIAS").SetAsInteger(5); }), 1);
  EXPECT_EQ(remaining(), (std::vector<std::string>{"2", "3", "4", "5"}));
  reset();
  Execute("Deletar_RegistroIntegracao", [](DbStatement& s) { s.ParamByName("dias").SetAsInteger(0); });
  EXPECT_EQ(remaining(), (std::vector<std::string>{"3", "4"}));
  reset();
  Execute("Deletar_RegistroIntegracao", [](DbStatement&) {});  // DIAS unset: NULL, nothing matches
  EXPECT_EQ(remaining().size(), 5u);
}

TEST_F(StatementSqlTest, ControlRecordLookups) {
  database_->Execute({
      "INSERT INTO AGRUPAMENTO_CONTROLE (CODIGO, CODIGO_TIPO_TELEMTRIA, DESCRICAO, IDENTIFICADOR, CODIGO_EMPRESA) "
      "VALUES (7001, 1, 'Joao da Silva', 'MOT-9', 1)",
  });
  const auto identifier = [&](std::string description, std::string type, int company) {
    auto found = Open("AgrupamentosId.Get", [&](DbStatement& s) {
      s.ParamByName("DESCRICAO").SetAsString(description);
      s.ParamByName("TIPO_TELEMTRIA").SetAsString(type);
      s.ParamByName("CODIGO_EMPRESA").SetAsInteger(company);
    });
    return found->IsEmpty() ? std::string("<none>") : found->FieldByName("IDENTIFICADOR").AsString();
  };
  EXPECT_EQ(identifier("JOAO DA SILVA", "02", 1), "MOT-9");
  EXPECT_EQ(identifier("joao da silva", "03", 1), "<none>");
  EXPECT_EQ(identifier("Joao da Silva", "02", 2), "<none>");

  const auto control = [&](std::string identifier, std::string type, int company) {
    auto found = Open("VerificaControle", [&](DbStatement& s) {
      s.ParamByName("IDENTIFICADOR_AGRUPAMENTO").SetAsString(identifier);
      s.ParamByName("CODIGO_VEICULO").SetAsInteger(1);
      s.ParamByName("IDENTIFICADOR_TIPO").SetAsString(type);
      s.ParamByName("CODIGOEMPRESA").SetAsInteger(company);
    });
    if (found->IsEmpty()) return std::string("<none>");
    const DbField& code = found->FieldByName("CODIGO_AGRUPAMENTO_CONTROLE");
    return found->FieldByName("CODIGO_TIPO_AGRUPAMENTO").AsString() + "|" + (code.IsNull() ? "<null>" : code.AsString());
  };
  EXPECT_EQ(control("MOT-9", "02", 1), "1|7001");
  EXPECT_EQ(control("MOT-9", "02", 2), "1|<null>");  // no control record in that company
  EXPECT_EQ(control("G-1", "03", 1), "2|<null>");
  EXPECT_EQ(control("MOT-9", "05", 1), "<none>");  // the vehicle's operation has no such type
}

TEST_F(StatementSqlTest, VehicleIdentification) {
  database_->Execute({
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA, APAGADO) VALUES (101, 'DEL', 1, 'T')",
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA) VALUES (102, 'REM', 1)",
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA) VALUES (103, 'DEVDEL', 1)",
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA) VALUES (104, 'TWIN', 1)",
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA) VALUES (105, 'TWIN', 1)",
      "INSERT INTO VEICULOS (CODIGO, IDENTIFICADOR, CODIGOEMPRESA) VALUES (106, 'MULTI', 1)",
      "INSERT INTO DISPOSITIVOS (CODIGO, APAGADO) VALUES (101, 'F')",
      "INSERT INTO DISPOSITIVOS (CODIGO, APAGADO) VALUES (102, 'T')",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (101, 101, 101)",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO, REMOVIDO) VALUES (102, 102, 101, 'T')",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (103, 103, 102)",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (104, 104, 101)",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (105, 105, 101)",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (106, 106, 1)",
      "INSERT INTO VEICULOS_DISPOSITIVOS (CODIGO, CODIGOVEICULO, CODIGODISPOSITIVO) VALUES (107, 106, 2)",
  });
  const auto codes = [&](std::string identifier, std::optional<int> company) {
    auto found = Open(company ? "VerificaVeiculo" : "VerificaVeiculo_SemEmpresa", [&](DbStatement& s) {
      s.ParamByName("IDENTIFICADOR").SetAsString(identifier);
      if (company) s.ParamByName("CODIGO_EMPRESA").SetAsInteger(*company);
    });
    std::multiset<int> result;
    for (; !found->Eof(); found->Next()) result.insert(found->FieldByName("CODIGO").AsInteger());
    return result;
  };
  EXPECT_EQ(codes("VEI001", 1), (std::multiset<int>{1}));
  EXPECT_EQ(codes("VEI001", 2), (std::multiset<int>{}));
  EXPECT_EQ(codes("VEI001", std::nullopt), (std::multiset<int>{1}));
  EXPECT_EQ(codes("DEL", 1), (std::multiset<int>{}));
  EXPECT_EQ(codes("REM", 1), (std::multiset<int>{}));
  EXPECT_EQ(codes("DEVDEL", std::nullopt), (std::multiset<int>{}));
  EXPECT_EQ(codes("TWIN", 1), (std::multiset<int>{104, 105}));
  EXPECT_EQ(codes("MULTI", 1), (std::multiset<int>{106}));  // two devices, one row
}

TEST_F(StatementSqlTest, DriversInTheVerticalRepository) {
  const auto insert = [&](int code, int group, int field, std::optional<std::string> text, std::optional<int> number) {
    Execute("InserirMotorista_TabVert", [&](DbStatement& s) {
      s.ParamByName("CODIGO").SetAsInteger(code);
      s.ParamByName("CODIGO_GRUPO").SetAsInteger(group);
      s.ParamByName("CODIGO_TABELA").SetAsInteger(10);
      s.ParamByName("CODIGO_CAMPO").SetAsInteger(field);
      if (text) s.ParamByName("VALOR_STRING").SetAsString(*text);
      else s.ParamByName("VALOR_STRING").SetNull();
      if (number) s.ParamByName("VALOR_INTEIRO").SetAsInteger(*number);
    });
  };
  // Driver 506 has a registration; driver 512 only a name. The company row shares its code
  // with the one before it, as the registration writes them.
  insert(501, 506, 2, std::nullopt, std::nullopt);
  insert(502, 506, 3, "MAT-506", std::nullopt);
  insert(505, 506, 6, "Ana", std::nullopt);
  insert(506, 506, 7, "F", std::nullopt);
  insert(506, 506, 8, std::nullopt, 1);
  insert(511, 512, 6, "Bruno", std::nullopt);
  EXPECT_EQ(Execute("AtualizarMotorista_TabVert",
                    [](DbStatement& s) {
                      s.ParamByName("VALOR").SetAsString("Ana Maria");
                      s.ParamByName("CODIGO_GRUPO").SetAsInteger(506);
                      s.ParamByName("CODIGO_TABELA").SetAsInteger(10);
                      s.ParamByName("CODIGO_CAMPO").SetAsInteger(6);
                    }),
            1);
  EXPECT_EQ(Rows("TabVert", {"CODIGO", "CODIGO_CAMPO", "VALOR_STRING", "VALOR_INTEIRO"}, Vehicle(506)),
            (std::vector<std::string>{"501|2|<null>|<null>", "502|3|MAT-506|<null>", "505|6|Ana Maria|<null>",
                                      "506|7|F|<null>", "506|8|<null>|1"}));

  auto drivers = Open("AgrupamentosId_TabVert.Get");
  std::vector<std::string> seen;
  for (; !drivers->Eof(); drivers->Next())
    seen.push_back(drivers->FieldByName("CODIGO").AsString() + "|" + drivers->FieldByName("MATRICULA").AsString() +
                   "|" + (drivers->FieldByName("MATRICULA").IsNull() ? "null" : "set") + "|" +
                   drivers->FieldByName("CODIGO_EMPRESA").AsString());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"506|MAT-506|set|1", "512||null|1"}));
}

TEST_F(StatementSqlTest, GeneratorsAdvanceOutsideTransactions) {
  const auto next = [&](std::string_view dataset) { return Open(dataset)->FieldByName("CODIGO").AsLargeInt(); };
  const std::int64_t first = next("AgrupamentosId.GetProximoCodigo");
  connection_->RollbackTransaction();
  const std::int64_t second = next("AgrupamentosId.GetProximoCodigo");
  EXPECT_EQ(second, first + 1);
  const std::int64_t block = next("AgrupamentosId_TabVert.GetProximoCodigo");
  connection_->RollbackTransaction();
  EXPECT_EQ(next("AgrupamentosId_TabVert.GetProximoCodigo"), block + 6);
}

TEST_F(StatementSqlTest, IntegrationRowLifecycle) {
  database_->Execute({"DELETE FROM TELEMETRIA_INTEGRACAO"});
  EXPECT_TRUE(Open("BuscaSessoesAbertas")->IsEmpty());
  EXPECT_TRUE(Open("BuscaSessoesAbertas")->Eof());

  const auto row = [](bool company) {
    return [company](DbStatement& s) {
      s.ParamByName("CODIGO_VEICULO").SetAsInteger(31);
      s.ParamByName("IDENTIFICADOR_VEICULO").SetAsString("VEI031");
      s.ParamByName("DATA_OPERACAO").SetAsDateTime(kIni);
      s.ParamByName("DATAHORA_INI").SetAsDateTime(kIni);
      s.ParamByName("DATAHORA_FIM").SetAsDateTime(kFim + kMinute);
      if (company) s.ParamByName("CODIGO_EMPRESA").SetAsInteger(1);
    };
  };
  Execute("InserirRegistroIntegracao", row(false));  // MOTORISTA and CODIGO_EMPRESA left unset
  Execute("InserirRegistroIntegracao_SemMotorista", row(true));
  const auto rows = Rows("Integracao", {"MOTORISTA", "INF_ADICIONAL_MOT", "CODIGO_EMPRESA", "INSERIDO"});
  EXPECT_EQ(rows, (std::vector<std::string>{"||<null>|yes", "<null>|<null>|1|yes"}));

  auto sessions = Open("BuscaSessoesAbertas");
  ASSERT_EQ(sessions->RecordCount(), 2);
  EXPECT_EQ(sessions->FieldByName("DATAHORA_FIM").AsDateTime().ToString(), "10/05/2024 09:01:00");
  EXPECT_EQ(sessions->FieldByName("IDENTIFICADOR_VEICULO").AsString(), "VEI031");
  const int code = sessions->FieldByName("CODIGO").AsInteger();
  EXPECT_GT(code, 0);  // from the generator, by trigger

  Execute("InserirRegistroIntegracaoHistorico", [&](DbStatement& s) {
    for (DbParam& param : s.Params())
      if (param.Name() != "CODIGO_VEICULO" && param.Name() != "IDENTIFICADOR_VEICULO" && param.Name() != "MOTORISTA")
        param.SetNull();
    s.ParamByName("CODIGO_VEICULO").SetAsInteger(sessions->FieldByName("CODIGO_VEICULO").AsInteger());
    s.ParamByName("IDENTIFICADOR_VEICULO").SetAsString(sessions->FieldByName("IDENTIFICADOR_VEICULO").AsString());
    s.ParamByName("MOTORISTA").SetAsString("M1");
  });
  EXPECT_EQ(Rows("Historico", {"CODIGO_VEICULO", "MOTORISTA", "IDENTIFICADOR_VEICULO"}, Vehicle(31)),
            (std::vector<std::string>{"31|M1|VEI031"}));
  const Setter by_code = [code](DbStatement& s) { s.ParamByName("CODIGO").SetAsInteger(code); };
  EXPECT_EQ(Execute("DeletarIntegracao", by_code), 1);
  EXPECT_EQ(Execute("DeletarIntegracao", by_code), 0);  // gone already: nothing to delete, no error
}

TEST_F(StatementSqlTest, ExportCallsTheProcedure) {
  Execute("ExportarTelemetria", [](DbStatement& s) {
    s.ParamByName("CODIGO_VEICULO").SetAsInteger(41);
    s.ParamByName("DATAHORA_INI").SetAsDateTime(kIni);
    s.ParamByName("DATAHORA_FIM").SetAsDateTime(kFim);
  });
  connection_->CommitTransaction();
  EXPECT_EQ(Rows("Exportada", {"CODIGO_VEICULO", "DATAHORA_INI", "DATAHORA_FIM"}),
            (std::vector<std::string>{"41|10/05/2024 08:00:00|10/05/2024 09:00:00"}));
}

TEST_F(StatementSqlTest, DriverTableDefinitionOfACompany) {
  auto metadados = Open("Metadados", [](DbStatement& s) { s.ParamByName("CODIGO_EMPRESA").SetAsInteger(1); });
  ASSERT_EQ(metadados->RecordCount(), 8);
  std::set<std::string> fields;
  for (; !metadados->Eof(); metadados->Next()) {
    EXPECT_EQ(metadados->FieldByName("DESCRICAO").AsString(), "Motoristas");
    EXPECT_EQ(metadados->FieldByName("CODIGO_TABELAS_VERTICAIS").AsInteger(), 10);
    EXPECT_EQ(metadados->FieldByName("CODIGO_CONFIG_APP_TABELA").AsInteger(), 1);
    fields.insert(metadados->FieldByName("IDENTIFICADOR").AsString() + "=" +
                  metadados->FieldByName("CODIGO_CAMPO_TABELA_VERTICAL").AsString());
  }
  EXPECT_EQ(fields, (std::set<std::string>{"CPO_APAGADO=5", "CPO_CODIGO=1", "CPO_CODIGO_EMPRESA=8", "CPO_CRACHA=2",
                                           "CPO_MATRICULA=3", "CPO_MINERADO=7", "CPO_NOME=6", "CPO_STATUS=4"}));
  EXPECT_TRUE(Open("Metadados", [](DbStatement& s) { s.ParamByName("CODIGO_EMPRESA").SetAsInteger(2); })->IsEmpty());
}

}  // namespace
}  // namespace qit
