#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "FailureOf.h"
#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/FbClient.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::FailureOf;
using testing::ScratchCatalogue;
using testing::TestDatabase;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr std::string_view kPoolFull = "Maximum pool size reached. Cannot create a new connection";

class PoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchema));
    database_->Execute({
        "CREATE TABLE POOL_ROWS (ID INTEGER NOT NULL)",
        "CREATE EXCEPTION E_COMMIT_REFUSED 'commit refused'",
        // Lets a test make the commit of its own transaction fail.
        "CREATE TRIGGER REFUSE_COMMIT ON TRANSACTION COMMIT AS BEGIN "
        "IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'REFUSE_COMMIT') = '1') THEN EXCEPTION E_COMMIT_REFUSED; END",
    });
  }
  static void TearDownTestSuite() { database_.reset(); }

  void SetUp() override { manager_.SetConnections({database_->GpsDefinition()}); }

  int ConnectionId(DbConnection& connection) {
    auto dataset = schema_.CreateDataset(connection, "ConnectionId");
    dataset->Open();
    return dataset->FieldByName("ID").AsInteger();
  }

  void AddRow(DbConnection& connection, int id) {
    auto command = schema_.CreateCommand(connection, "AddRow");
    command->ParamByName("ID").SetAsInteger(id);
    command->ExecuteCommand();
  }

  // Counted through an attachment of its own, so only committed rows are seen.
  int CommittedRows(int id) {
    ConnectionManager other;
    other.SetPoolingEnabled(false);
    other.SetConnections({database_->GpsDefinition()});
    PooledConnection connection = other.AcquireConnection();
    auto dataset = schema_.CreateDataset(*connection, "CountRows");
    dataset->ParamByName("ID").SetAsInteger(id);
    dataset->Open();
    return dataset->FieldByName("N").AsInteger();
  }

  static inline std::optional<TestDatabase> database_;
  Schema schema_{ScratchCatalogue()
                     .Dataset("ConnectionId", "SELECT CURRENT_CONNECTION AS ID FROM RDB$DATABASE", {}, {"ID"})
                     .Dataset("CountRows", "SELECT COUNT(*) AS N FROM POOL_ROWS WHERE ID = :ID", {"ID"}, {"N"})
                     .Dataset("RefuseCommit",
                              "SELECT RDB$SET_CONTEXT('USER_TRANSACTION', 'REFUSE_COMMIT', '1') AS R FROM RDB$DATABASE",
                              {}, {"R"})
                     .Command("AddRow", "INSERT INTO POOL_ROWS (ID) VALUES (:ID)", {"ID"})
                     .Xml()};
  ConnectionManager manager_;
};

TEST_F(PoolTest, GivenBackConnectionIsReusedAndCountedOnce) {
  int first_id = 0;
  {
    PooledConnection connection = manager_.AcquireConnection("gps");
    ASSERT_TRUE(connection->Connected());
    first_id = ConnectionId(*connection);
    EXPECT_EQ(manager_.LiveCount(), 1);
    EXPECT_EQ(manager_.IdleCount(), 0);
  }
  EXPECT_EQ(manager_.LiveCount(), 1);
  EXPECT_EQ(manager_.IdleCount(), 1);
  PooledConnection again = manager_.AcquireConnection();
  EXPECT_EQ(ConnectionId(*again), first_id);
  EXPECT_EQ(manager_.IdleCount(), 0);
}

TEST_F(PoolTest, ReleaseCommitsAnOpenTransaction) {
  {
    PooledConnection connection = manager_.AcquireConnection();
    connection->BeginTransaction();
    AddRow(*connection, 101);
    EXPECT_EQ(CommittedRows(101), 0);
  }
  EXPECT_EQ(CommittedRows(101), 1);
  PooledConnection again = manager_.AcquireConnection();
  EXPECT_FALSE(again->InTransaction());
}

TEST_F(PoolTest, RollbackBehaviourDiscardsAnOpenTransaction) {
  manager_.SetPoolTransactionBehaviour(PoolTransactionBehaviour::ptRollback);
  {
    PooledConnection connection = manager_.AcquireConnection();
    AddRow(*connection, 102);  // runs in the transaction the statement started
    EXPECT_TRUE(connection->InTransaction());
  }
  EXPECT_EQ(CommittedRows(102), 0);
  EXPECT_EQ(manager_.IdleCount(), 1);
}

TEST_F(PoolTest, DetachedConnectionIsNotPooled) {
  {
    PooledConnection connection = manager_.AcquireConnection();
    connection->Disconnect();
    EXPECT_FALSE(connection->Connected());
  }
  EXPECT_EQ(manager_.LiveCount(), 0);
  EXPECT_EQ(manager_.IdleCount(), 0);
}

TEST_F(PoolTest, IdleConnectionDetachedMeanwhileIsDroppedAtTheNextAcquire) {
  DbConnection* idle = nullptr;
  {
    PooledConnection connection = manager_.AcquireConnection();
    idle = connection.get();
  }
  idle->Disconnect();  // what a lost link does to an idle connection
  PooledConnection connection = manager_.AcquireConnection();
  EXPECT_TRUE(connection->Connected());
  EXPECT_EQ(manager_.LiveCount(), 1);
}

TEST_F(PoolTest, SecondCallerWaitsForTheOnlyConnection) {
  manager_.SetMaxPoolSize(1);
  manager_.SetWaitIntervalSeconds(30);
  PooledConnection first = manager_.AcquireConnection();
  DbConnection* const only = first.get();
  std::atomic<DbConnection*> received{nullptr};
  std::thread second([&] {
    PooledConnection connection = manager_.AcquireConnection();
    received = connection.get();
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(received.load(), nullptr);  // still waiting: the pool is full
  first.Release();
  second.join();
  EXPECT_EQ(received.load(), only);
  EXPECT_EQ(manager_.LiveCount(), 1);
}

TEST_F(PoolTest, FullPoolFailsAfterTheWaitOrAtOnce) {
  manager_.SetMaxPoolSize(1);
  manager_.SetWaitIntervalSeconds(1);
  PooledConnection held = manager_.AcquireConnection();
  for (const PoolBehaviour behaviour :
       {PoolBehaviour::pbWait, PoolBehaviour::pbRaiseError, PoolBehaviour::pbIgnoreAndReturn}) {
    manager_.SetPoolBehaviour(behaviour);
    EXPECT_EQ(FailureOf([&] { manager_.AcquireConnection(); }), kPoolFull) << static_cast<int>(behaviour);
  }
  EXPECT_EQ(manager_.LiveCount(), 1);
}

TEST_F(PoolTest, WithoutPoolingEveryConnectionIsNewAndNothingIsCounted) {
  manager_.SetPoolingEnabled(false);
  manager_.SetMaxPoolSize(1);
  PooledConnection first = manager_.AcquireConnection();
  PooledConnection second = manager_.AcquireConnection();
  EXPECT_NE(ConnectionId(*first), ConnectionId(*second));
  EXPECT_EQ(manager_.LiveCount(), 0);
  second = {};
  EXPECT_EQ(manager_.IdleCount(), 0);
}

TEST_F(PoolTest, SweeperClosesIdleConnectionsAfterTheTimeout) {
  manager_.SetPoolTimeoutSeconds(1);
  int first_id = 0;
  {
    PooledConnection connection = manager_.AcquireConnection();
    first_id = ConnectionId(*connection);
  }
  ASSERT_EQ(manager_.IdleCount(), 1);
  const auto give_up = std::chrono::steady_clock::now() + 20s;
  while (manager_.IdleCount() > 0 && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(manager_.IdleCount(), 0);
  EXPECT_EQ(manager_.LiveCount(), 0);
  PooledConnection connection = manager_.AcquireConnection();
  EXPECT_NE(ConnectionId(*connection), first_id);  // attached anew
}

TEST_F(PoolTest, PoolTimeoutCannotChangeWhileConnectionsAreLive) {
  { PooledConnection connection = manager_.AcquireConnection(); }
  EXPECT_EQ(FailureOf([&] { manager_.SetPoolTimeoutSeconds(5); }),
            "Cannot perform this operation when connections are pooled");
  EXPECT_EQ(manager_.PoolTimeoutSeconds(), 60);
}

TEST_F(PoolTest, FailedCommitOnReleaseClosesTheConnectionAndIsRaised) {
  {
    PooledConnection connection = manager_.AcquireConnection();
    AddRow(*connection, 103);
    schema_.CreateDataset(*connection, "RefuseCommit")->Open();
    EXPECT_THAT(FailureOf([&] { connection.Release(); }), HasSubstr("commit refused"));
    EXPECT_FALSE(connection);
  }
  EXPECT_EQ(manager_.LiveCount(), 0);
  EXPECT_EQ(manager_.IdleCount(), 0);
  EXPECT_EQ(CommittedRows(103), 0);
}

TEST_F(PoolTest, FailedCommitInTheHandleDestructorReachesTheHandler) {
  std::string reported;
  manager_.SetReleaseErrorHandler([&](const std::exception& error) { reported = error.what(); });
  {
    PooledConnection connection = manager_.AcquireConnection();
    schema_.CreateDataset(*connection, "RefuseCommit")->Open();
  }
  EXPECT_THAT(reported, HasSubstr("commit refused"));
  EXPECT_EQ(manager_.LiveCount(), 0);
}

TEST_F(PoolTest, FailedAttachLeavesThePoolUnchanged) {
  manager_.SetConnections({{.Name = "GPS",
                            .ConnectionString = "FIB?Database=/nonexistent/folder/none.fdb;UserID=SYSDBA",
                            .ConnectionType = "Interbase",
                            .Default = true,
                            .Description = {}}});
  EXPECT_THROW(manager_.AcquireConnection(), EFirebirdError);
  EXPECT_EQ(manager_.LiveCount(), 0);
}

TEST_F(PoolTest, DefinitionAndDriverErrors) {
  manager_.SetConnections({database_->GpsDefinition(),
                           {.Name = "Odd", .ConnectionString = " xyz ?Database=/a.fdb", .ConnectionType = {},
                            .Default = false, .Description = {}}});
  EXPECT_EQ(FailureOf([&] { manager_.AcquireConnection("Fleet"); }),
            "Cannot find connection \"Fleet\" in collection of type ConnectionDefinitions");
  EXPECT_EQ(FailureOf([&] { manager_.AcquireConnection("odd"); }), "Unknown driver xyz");
  EXPECT_EQ(manager_.LiveCount(), 0);
}

TEST_F(PoolTest, NotOpenedConnectionAttachesForItsFirstStatement) {
  PooledConnection connection = manager_.AcquireConnection("GPS", false);
  EXPECT_FALSE(connection->Connected());
  EXPECT_GT(ConnectionId(*connection), 0);
  EXPECT_TRUE(connection->Connected());
}

TEST(PoolDefaultsTest, BuiltInDefinitionAndSettings) {
  ConnectionManager manager;
  const auto definitions = manager.Connections();
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_EQ(definitions[0].Name, "GPS");
  EXPECT_EQ(definitions[0].ConnectionString,
            "FIB?Server=localhost;Database=/var/firebird/db/avls_56.fdb;UserID=sysdba;Password=lanternix;");
  EXPECT_EQ(definitions[0].ConnectionType, "Interbase");
  EXPECT_TRUE(definitions[0].Default);
  EXPECT_TRUE(manager.PoolingEnabled());
  EXPECT_EQ(manager.PoolBehaviour(), PoolBehaviour::pbWait);
  EXPECT_EQ(manager.MaxPoolSize(), 100);
  EXPECT_EQ(manager.WaitIntervalSeconds(), 5);
  EXPECT_EQ(manager.PoolTimeoutSeconds(), 60);
  EXPECT_EQ(manager.PoolTransactionBehaviour(), PoolTransactionBehaviour::ptCommit);
}

}  // namespace
}  // namespace qit
