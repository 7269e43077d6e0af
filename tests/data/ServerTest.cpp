#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::TestDatabase;

// The same data access through a Firebird server on localhost (Server=localhost in the
// connection string). Runs only where scripts/firebird-server has started one and
// QIT_TEST_SERVER is set; the account is the one that script creates.
class ServerTest : public ::testing::Test {
 protected:
  static std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
  }

  void SetUp() override {
    if (std::getenv("QIT_TEST_SERVER") == nullptr) GTEST_SKIP() << "no Firebird server for tests (QIT_TEST_SERVER)";
    database_.emplace(TestDatabase::OnServer(TestDatabase::Content::kSchemaAndDemo,
                                             Environment("QIT_TEST_SERVER_USER", "QIT_TEST"),
                                             Environment("QIT_TEST_SERVER_PASSWORD", "qit_test")));
    manager_.SetConnections({database_->GpsDefinition()});
  }

  std::optional<TestDatabase> database_;
  ConnectionManager manager_;
  Schema schema_;
};

TEST_F(ServerTest, InsertPathThroughTheServer) {
  EXPECT_EQ(database_->GpsDefinition().ConnectionString.find("FIB?Server=localhost;"), 0u);
  DbConnection* first = nullptr;
  {
    PooledConnection connection = manager_.AcquireConnection();
    first = connection.get();
    auto vehicle = schema_.CreateDataset(*connection, "VerificaVeiculo");
    vehicle->ParamByName("IDENTIFICADOR").SetAsString("VEI002");
    vehicle->ParamByName("CODIGO_EMPRESA").SetAsInteger(1);
    vehicle->Open();
    ASSERT_EQ(vehicle->RecordCount(), 1);
    auto insert = schema_.CreateCommand(*connection, "InserirRegistroIntegracao");
    insert->ParamByName("CODIGO_VEICULO").SetAsInteger(vehicle->FieldByName("CODIGO").AsInteger());
    insert->ParamByName("IDENTIFICADOR_VEICULO").SetAsString("VEI002");
    insert->ParamByName("MOTORISTA").SetAsString("José");
    insert->ParamByName("DATAHORA_INI").SetAsDateTime(TDateTime::Encode({2024, 1, 1, 10, 0, 0, 0}));
    std::uint64_t inserted = 0;
    insert->ExecuteCommand(&inserted);
    EXPECT_EQ(inserted, 1u);
    auto export_call = schema_.CreateCommand(*connection, "ExportarTelemetria");
    export_call->ParamByName("CODIGO_VEICULO").SetAsInteger(2);
    export_call->ExecuteCommand();
  }  // committed on release
  PooledConnection connection = manager_.AcquireConnection();
  EXPECT_EQ(connection.get(), first);  // the pooled attachment is reused
  auto sessions = schema_.CreateDataset(*connection, "BuscaSessoesAbertas");
  sessions->Open();
  ASSERT_EQ(sessions->RecordCount(), 1);
  EXPECT_EQ(sessions->FieldByName("CODIGO_VEICULO").AsInteger(), 2);
  EXPECT_EQ(sessions->FieldByName("MOTORISTA").AsString(), "José");
  EXPECT_EQ(sessions->FieldByName("DATAHORA_INI").AsDateTime().ToString(), "01/01/2024 10:00:00");
}

}  // namespace
}  // namespace qit
