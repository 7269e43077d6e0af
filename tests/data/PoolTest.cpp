#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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
using ::testing::StartsWith;
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

// Connections given back together, before any waiter has run, must each let a waiter
// through: a return that is lost leaves a connection idle while a caller times out. Waiters
// that keep what they get cannot pass a connection on, so every return must count; waiters
// that give it back at once hand one connection along a queue of callers.
TEST_F(PoolTest, EveryWaiterGetsAConnectionWhenSeveralComeBackTogether) {
  struct Case {
    int pool_size;
    int waiters;
    bool keep;
  };
  for (const Case& c : {Case{1, 4, false}, Case{2, 2, true}, Case{2, 6, false}, Case{4, 4, true}}) {
    SCOPED_TRACE(::testing::Message() << "pool " << c.pool_size << ", waiters " << c.waiters << ", keep " << c.keep);
    ConnectionManager pool;
    pool.SetConnections({database_->GpsDefinition()});
    pool.SetMaxPoolSize(c.pool_size);
    pool.SetWaitIntervalSeconds(3);
    std::vector<PooledConnection> held;
    for (int i = 0; i < c.pool_size; ++i) held.push_back(pool.AcquireConnection());

    std::vector<PooledConnection> kept(c.waiters);
    std::vector<std::string> failures(c.waiters);
    std::vector<std::thread> waiters;
    for (int i = 0; i < c.waiters; ++i) {
      waiters.emplace_back([&, i] {
        failures[i] = FailureOf([&] {
          PooledConnection connection = pool.AcquireConnection();
          if (c.keep) kept[i] = std::move(connection);
        });
      });
    }
    std::this_thread::sleep_for(300ms);  // let every waiter block on the full pool
    held.clear();                        // every connection comes back at once
    for (std::thread& waiter : waiters) waiter.join();
    for (int i = 0; i < c.waiters; ++i) EXPECT_EQ(failures[i], "no error") << "waiter " << i;
    EXPECT_EQ(pool.LiveCount(), c.pool_size);
  }
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
  manager_.SetErrorHandler([&](std::string_view location, const std::exception& error) {
    reported = std::string(location) + ": " + error.what();
  });
  {
    PooledConnection connection = manager_.AcquireConnection();
    schema_.CreateDataset(*connection, "RefuseCommit")->Open();
  }
  EXPECT_THAT(reported, StartsWith("ReleaseConnection: "));
  EXPECT_THAT(reported, HasSubstr("commit refused"));
  EXPECT_EQ(manager_.LiveCount(), 0);
}

// A failure while the sweeper closes an expired connection is reported, and the sweeper
// keeps closing the connections that expire after it.
TEST_F(PoolTest, SweeperReportsAFailedCloseAndGoesOn) {
  std::mutex reports_mutex;
  std::vector<std::string> reports;
  manager_.SetErrorHandler([&](std::string_view location, const std::exception& error) {
    std::lock_guard lock(reports_mutex);
    reports.push_back(std::string(location) + ": " + error.what());
  });
  manager_.SetPoolTimeoutSeconds(1);
  manager_.SetPoolTransactionBehaviour(PoolTransactionBehaviour::ptNone);
  const auto wait_until_swept = [&] {
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (manager_.IdleCount() > 0 && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(50ms);
    return manager_.IdleCount() == 0;
  };

  // An idle connection with its transaction still open, whose attachment the server has
  // shut down meanwhile: rolling back before the detach fails.
  int killed = 0;
  {
    PooledConnection connection = manager_.AcquireConnection();
    killed = ConnectionId(*connection);
  }
  database_->Execute({"DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + std::to_string(killed)});
  ASSERT_TRUE(wait_until_swept());
  {
    std::lock_guard lock(reports_mutex);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_THAT(reports[0], StartsWith("Sweeper: "));
    EXPECT_THAT(reports[0], HasSubstr("shutdown"));
  }
  EXPECT_EQ(manager_.LiveCount(), 0);

  { PooledConnection connection = manager_.AcquireConnection(); }
  ASSERT_EQ(manager_.IdleCount(), 1);
  EXPECT_TRUE(wait_until_swept());
  EXPECT_EQ(manager_.LiveCount(), 0);
}

// Attachments the pool holds, as the server lists them.
int AttachmentCount(const std::vector<int>& ids, const ConnectionDefinition& definition) {
  ConnectionManager other;
  other.SetPoolingEnabled(false);
  other.SetConnections({definition});
  PooledConnection connection = other.AcquireConnection();
  std::string list;
  for (const int id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  const auto rows =
      connection->QueryOnce("SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID IN (" + list + ")");
  return static_cast<int>(ValueAsLargeInt(rows.at(0).at(0)));
}

TEST_F(PoolTest, ShutdownWakesWaitersClosesIdleConnectionsAndRefusesCallers) {
  constexpr std::string_view kShuttingDown = "Connection pool is shutting down";
  ConnectionDefinition other = database_->GpsDefinition("StatementCache=True;");
  other.Name = "Other";
  other.Default = false;
  manager_.SetConnections({database_->GpsDefinition(), other});
  manager_.SetMaxPoolSize(2);
  manager_.SetWaitIntervalSeconds(60);

  // The pool is full: one idle connection the waiter cannot use, one handed out.
  int idle_id = 0;
  {
    PooledConnection connection = manager_.AcquireConnection("Other");
    idle_id = ConnectionId(*connection);
  }
  PooledConnection held = manager_.AcquireConnection();
  const int held_id = ConnectionId(*held);
  AddRow(*held, 104);  // left open for the give-back to commit

  std::string waiter_failure;
  std::chrono::steady_clock::duration waited{};
  std::thread waiter([&] {
    const auto start = std::chrono::steady_clock::now();
    waiter_failure = FailureOf([&] { manager_.AcquireConnection(); });
    waited = std::chrono::steady_clock::now() - start;
  });
  std::this_thread::sleep_for(300ms);  // let the waiter block on the full pool
  manager_.Shutdown();
  waiter.join();
  EXPECT_EQ(waiter_failure, kShuttingDown);
  EXPECT_LT(waited, 20s);  // woken, not timed out after its 60 seconds

  EXPECT_EQ(manager_.IdleCount(), 0);
  EXPECT_EQ(manager_.LiveCount(), 1);
  EXPECT_EQ(AttachmentCount({idle_id}, database_->GpsDefinition()), 0);
  for (const bool pooling : {true, false}) {
    manager_.SetPoolingEnabled(pooling);
    EXPECT_EQ(FailureOf([&] { manager_.AcquireConnection(); }), kShuttingDown);
  }

  // The handed-out connection is committed as usual when it comes back, then closed.
  held.Release();
  EXPECT_EQ(manager_.LiveCount(), 0);
  EXPECT_EQ(manager_.IdleCount(), 0);
  EXPECT_EQ(CommittedRows(104), 1);
  EXPECT_EQ(AttachmentCount({held_id}, database_->GpsDefinition()), 0);
  manager_.Shutdown();  // a second call changes nothing
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
