#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/FbClient.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::ScratchCatalogue;
using testing::TestDatabase;

// Every parameter value reaches the database as its tag and the column's type ask. One row
// per case; the parameters a case does not set stay as a fresh statement has them.
class BindingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchema));
    database_->Execute({"CREATE TABLE BINDING (ID INTEGER NOT NULL, I INTEGER, SM SMALLINT, BIG BIGINT, "
                        "N NUMERIC(15,2), F DOUBLE PRECISION, FL FLOAT, S VARCHAR(20), C CHAR(5), "
                        "D DATE, T TIME, TS TIMESTAMP)"});
  }
  static void TearDownTestSuite() { database_.reset(); }

  void SetUp() override {
    manager_.SetConnections({database_->GpsDefinition()});
    connection_ = manager_.AcquireConnection();
  }

  // Inserts a row with one parameter set and returns the dataset standing on it. `batched`
  // sends the insert in a write batch together with a second insert, as one block.
  std::unique_ptr<DbDataset> RoundTrip(const std::string& column, const std::function<void(DbParam&)>& set,
                                       bool batched = false) {
    const int id = ++next_id_;
    if (batched) connection_->OpenBatch();
    auto put = schema_.CreateCommand(*connection_, "Put");
    put->ParamByName("ID").SetAsInteger(id);
    set(put->ParamByName(column));
    put->ExecuteCommand();
    if (batched) {
      auto companion = schema_.CreateCommand(*connection_, "Put");
      companion->ParamByName("ID").SetAsInteger(-id);
      companion->ExecuteCommand();
      connection_->SendBatch();
    }
    auto get = schema_.CreateDataset(*connection_, "Get");
    get->ParamByName("ID").SetAsInteger(id);
    get->Open();
    EXPECT_EQ(get->RecordCount(), 1);
    return get;
  }

  static inline std::optional<TestDatabase> database_;
  static constexpr const char* kColumns[] = {"I", "SM", "BIG", "N", "F", "FL", "S", "C", "D", "T", "TS"};
  Schema schema_{ScratchCatalogue()
                     .Command("Put",
                              "INSERT INTO BINDING (ID, I, SM, BIG, N, F, FL, S, C, D, T, TS) VALUES "
                              "(:ID, :I, :SM, :BIG, :N, :F, :FL, :S, :C, :D, :T, :TS)",
                              {"ID", "I", "SM", "BIG", "N", "F", "FL", "S", "C", "D", "T", "TS"})
                     .Dataset("Get", "SELECT * FROM BINDING WHERE ID = :ID", {"ID"},
                              {"ID", "I", "SM", "BIG", "N", "F", "FL", "S", "C", "D", "T", "TS"})
                     .Xml()};
  ConnectionManager manager_;
  PooledConnection connection_;
  static inline int next_id_ = 0;  // rows of every test share the table
};

TEST_F(BindingTest, UnsetParametersAreNullForNumbersAndDatesAndEmptyForText) {
  auto row = RoundTrip("ID", [](DbParam&) {});
  for (const char* column : kColumns) {
    const DbField& field = row->FieldByName(column);
    const bool text = std::string_view(column) == "S" || std::string_view(column) == "C";
    EXPECT_EQ(field.IsNull(), !text) << column;
    EXPECT_EQ(field.AsString(), "") << column;
  }
}

TEST_F(BindingTest, ValuesByTagAndColumnType) {
  const TDateTime moment = TDateTime::Encode({2024, 2, 29, 13, 45, 30, 250});
  struct Case {
    const char* column;
    std::function<void(DbParam&)> set;
    std::string expected;  // read back with AsString; "<null>" for a null column
  } cases[] = {
      {"I", [](DbParam& p) { p.SetAsString("42"); }, "42"},
      {"I", [](DbParam& p) { p.SetAsInteger(-7); }, "-7"},
      {"I", [](DbParam& p) { p.SetNull(); }, "<null>"},
      {"SM", [](DbParam& p) { p.SetAsString(""); }, "<null>"},
      {"BIG", [](DbParam& p) { p.SetAsLargeInt(1'099'511'627'776); }, "1099511627776"},
      {"N", [](DbParam& p) { p.SetAsString("3,25"); }, "3.25"},
      {"N", [](DbParam& p) { p.SetAsInteger(12); }, "12"},
      {"F", [](DbParam& p) { p.SetAsString("2,5"); }, "2.5"},
      {"F", [](DbParam& p) { p.SetAsFloat(0.125); }, "0.125"},
      {"FL", [](DbParam& p) { p.SetAsString("1,5"); }, "1.5"},
      {"S", [](DbParam& p) { p.SetAsString("Ação, 3,5 km"); }, "Ação, 3,5 km"},  // no comma change for text
      {"S", [](DbParam& p) { p.SetAsInteger(17); }, "17"},
      {"S", [](DbParam& p) { p.SetNull(); }, "<null>"},
      {"C", [](DbParam& p) { p.SetAsString("ab"); }, "ab"},
      {"D", [&](DbParam& p) { p.SetAsDateTime(moment); }, "29/02/2024"},
      {"D", [](DbParam& p) { p.SetAsString(""); }, "<null>"},
      {"T", [&](DbParam& p) { p.SetAsDateTime(moment); }, "30/12/1899 13:45:30"},
      {"TS", [&](DbParam& p) { p.SetAsDateTime(moment); }, "29/02/2024 13:45:30"},
      {"TS", [](DbParam& p) { p.SetAsString("2024-01-02 03:04:05"); }, "02/01/2024 03:04:05"},
      {"TS", [](DbParam& p) { p.SetAsString(""); }, "<null>"},
  };
  // Sent in a block, a value converts as it does for the statement on its own.
  for (const bool batched : {false, true}) {
    for (const Case& c : cases) {
      auto row = RoundTrip(c.column, c.set, batched);
      const DbField& field = row->FieldByName(c.column);
      EXPECT_EQ(field.IsNull() ? "<null>" : field.AsString(), c.expected)
          << c.column << " expected " << c.expected << (batched ? " in a block" : "");
    }
  }
}

TEST_F(BindingTest, DateTimeKeepsMilliseconds) {
  const TDateTime moment = TDateTime::Encode({1999, 12, 31, 23, 59, 59, 999});
  auto row = RoundTrip("TS", [&](DbParam& p) { p.SetAsDateTime(moment); });
  const TDateTime::Parts back = row->FieldByName("TS").AsDateTime().Decode();
  EXPECT_EQ(back.year, 1999);
  EXPECT_EQ(back.second, 59);
  EXPECT_EQ(back.millisecond, 999);
}

TEST_F(BindingTest, FieldReaders) {
  auto row = RoundTrip("BIG", [](DbParam& p) { p.SetAsLargeInt(0x1'0000'0005LL); });
  EXPECT_EQ(row->FieldByName("BIG").AsLargeInt(), 0x1'0000'0005LL);
  EXPECT_EQ(row->FieldByName("BIG").AsInteger(), 5);  // cut to 32 bits
  EXPECT_EQ(row->FieldByName("I").AsInteger(), 0);    // null
  EXPECT_EQ(row->FieldByName("TS").AsDateTime(), TDateTime());
  EXPECT_THROW(row->FieldByName("S").AsInteger(), EConvertError);  // '' is a text, not a null
}

TEST_F(BindingTest, TextThatIsNoNumberFailsWithTheServerMessage) {
  for (const bool batched : {false, true}) {
    if (batched) connection_->OpenBatch();
    auto put = schema_.CreateCommand(*connection_, "Put");
    put->ParamByName("ID").SetAsInteger(++next_id_);
    put->ParamByName("I").SetAsString("doze");
    try {
      put->ExecuteCommand();
      put->ParamByName("ID").SetAsInteger(++next_id_);
      put->ExecuteCommand();
      if (batched) connection_->SendBatch();
      FAIL() << "'doze' is no integer";
    } catch (const EFirebirdError& error) {
      EXPECT_NE(error.Message().find("conversion error"), std::string::npos) << error.Message();
    }
    connection_->DiscardBatch();
    EXPECT_TRUE(connection_->InTransaction());  // left as it was, for the caller to roll back
  }
}

}  // namespace
}  // namespace qit
