#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/DataErrors.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::ScratchCatalogue;
using testing::TestDatabase;

// Writes held back by a write batch reach the database together, all or none.
class WriteBatchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchema));
    database_->Execute({"CREATE TABLE BATCH_ROWS (ID INTEGER NOT NULL PRIMARY KEY, TEXTO VARCHAR(20))"});
  }
  static void TearDownTestSuite() { database_.reset(); }

  void SetUp() override {
    database_->Execute({"DELETE FROM BATCH_ROWS"});
    manager_.SetConnections({database_->GpsDefinition()});
    connection_ = manager_.AcquireConnection();
    connection_->BeginTransaction();
  }

  void Put(int id, const char* text = "x") {
    auto put = schema_.CreateCommand(*connection_, "Put");
    put->ParamByName("ID").SetAsInteger(id);
    put->ParamByName("TEXTO").SetAsString(text);
    put->ExecuteCommand();
  }

  // The rows' identifiers in order, as the connection's transaction sees them.
  std::string Ids() {
    auto rows = schema_.CreateDataset(*connection_, "Ids");
    rows->Open();
    std::string ids;
    for (; !rows->Eof(); rows->Next()) ids += (ids.empty() ? "" : ",") + rows->FieldByName("ID").AsString();
    return ids;
  }

  static inline std::optional<TestDatabase> database_;
  Schema schema_{ScratchCatalogue()
                     .Command("Put", "INSERT INTO BATCH_ROWS (ID, TEXTO) VALUES (:ID, :TEXTO)", {"ID", "TEXTO"})
                     .Command("Rename", "UPDATE BATCH_ROWS SET TEXTO = :TEXTO WHERE ID >= :ID", {"TEXTO", "ID"})
                     .Dataset("Ids", "SELECT ID FROM BATCH_ROWS ORDER BY ID", {}, {"ID"})
                     .Xml()};
  ConnectionManager manager_;
  PooledConnection connection_;
};

TEST_F(WriteBatchTest, AWriteThatFailsUndoesEveryWriteOfTheBlock) {
  Put(1);  // before the batch: stays
  connection_->OpenBatch();
  Put(2);
  Put(3);
  Put(1);  // a duplicate key
  EXPECT_THROW(connection_->SendBatch(), EFirebirdError);
  EXPECT_TRUE(connection_->BatchOpen());
  connection_->DiscardBatch();
  EXPECT_EQ(Ids(), "1");
  connection_->CommitTransaction();
}

TEST_F(WriteBatchTest, AQuerySeesTheWritesBeforeItAndDiscardUndoesThemAll) {
  connection_->OpenBatch();
  Put(10);
  EXPECT_EQ(Ids(), "10");  // sent early, after the batch's savepoint
  Put(11);
  connection_->DiscardBatch();
  EXPECT_EQ(Ids(), "");

  connection_->OpenBatch();
  Put(20);
  EXPECT_EQ(Ids(), "20");
  Put(21);
  Put(22);
  connection_->SendBatch();
  EXPECT_FALSE(connection_->BatchOpen());
  connection_->CommitTransaction();
  EXPECT_EQ(Ids(), "20,21,22");
}

TEST_F(WriteBatchTest, CountedWritesLearnTheirRowsWhenTheBatchIsSent) {
  Put(40);
  Put(41);
  const auto rename = [&](int from, std::uint64_t& affected) {
    auto command = schema_.CreateCommand(*connection_, "Rename");
    command->ParamByName("TEXTO").SetAsString("y");
    command->ParamByName("ID").SetAsInteger(from);
    command->ExecuteCommand(&affected);
  };
  for (const bool batched : {false, true}) {
    std::uint64_t two = 99, none = 99, one = 99;
    if (batched) connection_->OpenBatch();
    rename(40, two);
    Put(batched ? 30 : 20);  // below the renamed rows
    rename(100, none);
    rename(41, one);
    connection_->SendBatch();
    EXPECT_EQ(two, 2u) << batched;
    EXPECT_EQ(none, 0u) << batched;
    EXPECT_EQ(one, 1u) << batched;
  }
}

TEST_F(WriteBatchTest, TheEndOfTheTransactionEndsTheBatch) {
  connection_->OpenBatch();
  Put(30);
  connection_->RollbackTransaction();  // takes the kept writes with it
  EXPECT_FALSE(connection_->BatchOpen());
  EXPECT_EQ(Ids(), "");
  connection_->OpenBatch();
  Put(31, "Ação");
  EXPECT_EQ(Ids(), "31");  // sent early
  Put(32);
  connection_->CommitTransaction();  // sends the rest; the savepoint went with the commit
  EXPECT_FALSE(connection_->BatchOpen());
  EXPECT_EQ(Ids(), "31,32");
}

}  // namespace
}  // namespace qit
