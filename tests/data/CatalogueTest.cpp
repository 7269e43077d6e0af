#include <gtest/gtest.h>

#include <optional>

#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/DataErrors.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::TestDatabase;

const StatementDefinition& OnlyVariant(const std::vector<StatementDefinition>& statements) {
  EXPECT_EQ(statements.size(), 1u);
  return statements.front();
}

template <class Definition>
const Definition& Named(const std::vector<Definition>& definitions, std::string_view name) {
  for (const Definition& definition : definitions)
    if (definition.Name == name) return definition;
  throw EDatabaseError("not in the catalogue: " + std::string(name));
}

TEST(CatalogueTest, HoldsEveryStatementOnce) {
  const Schema schema;
  EXPECT_EQ(schema.Datasets().size(), 14u);
  EXPECT_EQ(schema.Commands().size(), 14u);
}

TEST(CatalogueTest, SqlTextsAreKeptByteForByte) {
  const Schema schema;
  const struct {
    std::string_view name;
    std::string_view sql;
  } commands[] = {
      {"Deletar_RegistroIntegracao",
       "delete from telemetria_integracao ti\n"
       "where cast(:dias as integer) + ti.DATAHORA_INSERCAO <= CURRENT_TIMESTAMP\n\n"},
      {"DeletarIntegracao", "DELETE FROM TELEMETRIA_INTEGRACAO TI\nWHERE TI.CODIGO = :CODIGO\n\n"},
      {"ExportarTelemetria", "EXPORTAR_TELEMETRIA"},
  };
  for (const auto& command : commands)
    EXPECT_EQ(OnlyVariant(Named(schema.Commands(), command.name).Statements).SQL, command.sql) << command.name;

  EXPECT_EQ(OnlyVariant(Named(schema.Datasets(), "AgrupamentosId.GetProximoCodigo").Statements).SQL,
            "SELECT GEN_ID(GEN_AGRUPAMENTO_CONTROLE, 1) AS CODIGO\n  FROM RDB$DATABASE\n");
  const std::string& verifica = OnlyVariant(Named(schema.Datasets(), "VerificaVeiculo").Statements).SQL;
  EXPECT_TRUE(verifica.starts_with("SELECT\n  DISTINCT V.CODIGO\nFROM\n  VEICULOS V\n"));
  EXPECT_TRUE(verifica.ends_with("AND\n  V.CODIGOEMPRESA = :CODIGO_EMPRESA\n\n"));
  const std::string& sessoes = OnlyVariant(Named(schema.Datasets(), "BuscaSessoesAbertas").Statements).SQL;
  EXPECT_TRUE(sessoes.starts_with("SELECT\n    TI.CODIGO\n  , TI.CODIGO_VEICULO\n"));
  EXPECT_TRUE(sessoes.ends_with("FROM\n  TELEMETRIA_INTEGRACAO TI\n"));
  EXPECT_FALSE(sessoes.ends_with("\n\n"));
}

TEST(CatalogueTest, VariantAttributesParametersAndFields) {
  const Schema schema;
  const StatementDefinition& alarms =
      OnlyVariant(Named(schema.Datasets(), "BuscaRegistroPosteriorAlarmes").Statements);
  EXPECT_EQ(alarms.Connection, "GPS");
  EXPECT_EQ(alarms.ConnectionType, "");
  EXPECT_FALSE(alarms.Default);
  EXPECT_EQ(alarms.Name, "");
  const StatementDefinition& metadados = OnlyVariant(Named(schema.Datasets(), "Metadados").Statements);
  EXPECT_EQ(metadados.Connection, "");
  EXPECT_EQ(metadados.ConnectionType, "Interbase");
  EXPECT_TRUE(metadados.Default);
  EXPECT_EQ(metadados.Name, "GPS");
  EXPECT_EQ(metadados.ColumnMappings.size(), 8u);

  const CommandDefinition& export_command = Named(schema.Commands(), "ExportarTelemetria");
  EXPECT_EQ(OnlyVariant(export_command.Statements).StatementType, StatementType::stStoredProcedure);
  ASSERT_EQ(export_command.Params.size(), 3u);
  EXPECT_EQ(export_command.Params[1].Name, "DATAHORA_INI");
  EXPECT_EQ(export_command.Params[1].DataType, DataType::datDateTime);
  EXPECT_EQ(export_command.Params[1].ParamType, ParamType::daptInput);

  const CommandDefinition& insert = Named(schema.Commands(), "InserirAgrupamentoControle");
  EXPECT_EQ(insert.Params[3].Name, "DATAHORA");
  EXPECT_EQ(insert.Params[2].DataType, DataType::datString);
  EXPECT_EQ(insert.Params[2].Size, 250);
  EXPECT_EQ(Named(schema.Commands(), "DeletarIntegracao").Params[0].DataType, DataType::datUnknown);

  const DatasetDefinition& sessions = Named(schema.Datasets(), "BuscaSessoesAbertas");
  ASSERT_EQ(sessions.Fields.size(), 13u);
  EXPECT_EQ(sessions.Fields[6].Name, "INF_ADICIONAL_MOT");
  EXPECT_EQ(sessions.Fields[6].DataType, DataType::datString);
  EXPECT_EQ(sessions.Fields[6].Size, 250);
  EXPECT_EQ(Named(schema.Datasets(), "AgrupamentosId_TabVert.GetProximoCodigo").Fields[0].DataType,
            DataType::datLargeInt);
}

TEST(CatalogueTest, MalformedCatalogueIsRefused) {
  EXPECT_THROW(Schema("<Schema><Datasets>"), EDatabaseError);
  EXPECT_THROW(Schema("<Schema><Commands><Command Name=\"X\"><Statements><Statement StatementType=\"stOther\"/>"
                      "</Statements></Command></Commands></Schema>"),
               EDatabaseError);
}

// Every statement of the catalogue is accepted by the test database (every table, column,
// generator and procedure exists) and every dataset's fields are columns of its result.
TEST(CatalogueOnDatabaseTest, EveryStatementRunsOnTheTestSchema) {
  const TestDatabase database = TestDatabase::Embedded(TestDatabase::Content::kSchemaAndDemo);
  ConnectionManager manager;
  manager.SetConnections({database.GpsDefinition()});
  Schema schema;
  PooledConnection connection = manager.AcquireConnection();
  connection->BeginTransaction();
  for (const DatasetDefinition& definition : schema.Datasets()) {
    SCOPED_TRACE(definition.Name);
    auto dataset = schema.CreateDataset(*connection, definition.Name);
    EXPECT_NO_THROW(dataset->Open());
  }
  for (const CommandDefinition& definition : schema.Commands()) {
    SCOPED_TRACE(definition.Name);
    EXPECT_NO_THROW(schema.CreateCommand(*connection, definition.Name));
  }
  connection->RollbackTransaction();
}

}  // namespace
}  // namespace qit
