#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FailureOf.h"
#include "ScratchCatalogue.h"
#include "TestDatabase.h"
#include "data/ConnectionManager.h"
#include "data/DataErrors.h"
#include "data/FbClient.h"
#include "data/Schema.h"

namespace qit {
namespace {

using testing::FailureOf;
using testing::ScratchCatalogue;
using testing::TestDatabase;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ConnectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    database_.emplace(TestDatabase::Embedded(TestDatabase::Content::kSchema));
    database_->Execute({
        "CREATE TABLE NOTES (ID INTEGER NOT NULL, TEXTO VARCHAR(40))",
        "CREATE PROCEDURE ADD_NOTE (ID INTEGER, TEXTO VARCHAR(40), EXTRA INTEGER) AS BEGIN "
        "INSERT INTO NOTES (ID, TEXTO) VALUES (:ID, COALESCE(:TEXTO, 'none') || COALESCE(:EXTRA, '')); END",
    });
  }
  static void TearDownTestSuite() { database_.reset(); }

  PooledConnection Acquire(std::string_view extra = {}) {
    manager_.SetConnections({database_->GpsDefinition(extra)});
    return manager_.AcquireConnection();
  }

  int Count(DbConnection& connection, std::string_view sql_text) {
    auto dataset = schema_.CreateDataset(connection, "StatementsLike");
    dataset->ParamByName("TEXTO").SetAsString(std::string(sql_text));
    dataset->Open();
    return dataset->FieldByName("N").AsInteger();
  }

  static inline std::optional<TestDatabase> database_;
  ConnectionManager manager_;
  Schema schema_{
      ScratchCatalogue()
          .Dataset("Notes", "SELECT ID, TEXTO FROM NOTES WHERE ID = :ID ORDER BY TEXTO", {"ID", "UNUSED"},
                   {"ID", "TEXTO"})
          .Dataset("ConnectionId", "SELECT CURRENT_CONNECTION AS ID FROM RDB$DATABASE", {}, {"ID"})
          .Dataset("StatementsLike",
                   "SELECT COUNT(*) AS N FROM MON$STATEMENTS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION "
                   "AND MON$SQL_TEXT = :TEXTO",
                   {"TEXTO"}, {"N"})
          .Dataset("MissingParam", "SELECT ID FROM NOTES WHERE ID = :ID AND TEXTO = :TEXTO", {"ID"}, {"ID"})
          .Dataset("MissingField", "SELECT ID FROM NOTES", {}, {"ID", "TEXTO"})
          .Dataset("Broken", "SELECT * FROM NO_SUCH_TABLE", {}, {})
          .Command("AddNote", "INSERT INTO NOTES (ID, TEXTO) VALUES (:ID, :TEXTO)", {"ID", "TEXTO"})
          .Command("AddNoteByProcedure", "ADD_NOTE", {"id", "TEXTO:daptOutput", "UNKNOWN"}, "stStoredProcedure")
          .Xml()};
};

TEST_F(ConnectionTest, TransactionLifecycle) {
  PooledConnection connection = Acquire();
  EXPECT_FALSE(connection->InTransaction());
  connection->BeginTransaction();
  EXPECT_EQ(FailureOf([&] { connection->BeginTransaction(); }), "Transaction is already active");
  connection->CommitTransaction();
  EXPECT_FALSE(connection->InTransaction());
  EXPECT_EQ(FailureOf([&] { connection->CommitTransaction(); }), "Transaction is not active");

  // Creating a statement does not start the transaction; running it does.
  auto notes = schema_.CreateDataset(*connection, "Notes");
  EXPECT_FALSE(connection->InTransaction());
  notes->Open();
  EXPECT_TRUE(connection->InTransaction());
  connection->RollbackTransaction();
  auto add = schema_.CreateCommand(*connection, "AddNote");
  add->ParamByName("ID").SetAsInteger(1);
  std::uint64_t added = 0;
  add->ExecuteCommand(&added);
  EXPECT_EQ(added, 1u);
  EXPECT_TRUE(connection->InTransaction());
}

TEST_F(ConnectionTest, PreparedStatementsAreKeptPerConnection) {
  PooledConnection connection = Acquire();
  const std::string text = schema_.Datasets()[0].Statements[0].SQL;
  const std::string sent = "SELECT ID, TEXTO FROM NOTES WHERE ID = ? ORDER BY TEXTO";
  std::vector<std::unique_ptr<DbDataset>> alive;
  for (int i = 0; i < 3; ++i) alive.push_back(schema_.CreateDataset(*connection, "notes"));
  EXPECT_EQ(Count(*connection, sent), 1);
  for (auto& dataset : alive) {
    dataset->ParamByName("ID").SetAsInteger(1);
    dataset->Open();
  }
}

TEST_F(ConnectionTest, StatementCacheCanBeTurnedOff) {
  PooledConnection connection = Acquire("StatementCache=False;");
  const std::string sent = "SELECT ID, TEXTO FROM NOTES WHERE ID = ? ORDER BY TEXTO";
  std::vector<std::unique_ptr<DbDataset>> alive;
  for (int i = 0; i < 3; ++i) alive.push_back(schema_.CreateDataset(*connection, "Notes"));
  EXPECT_EQ(Count(*connection, sent), 3);
}

TEST_F(ConnectionTest, WrongSqlFailsAtEveryCreation) {
  PooledConnection connection = Acquire();
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      schema_.CreateDataset(*connection, "Broken");
      FAIL() << "a statement on an unknown table must not be created";
    } catch (const EFirebirdError& error) {
      EXPECT_THAT(error.Message(), HasSubstr("Table unknown"));
      EXPECT_THAT(error.Message(), HasSubstr("NO_SUCH_TABLE"));
      EXPECT_EQ(error.ClassName(), "EFirebirdError");
      EXPECT_FALSE(error.ConnectionLost());
    }
  }
  EXPECT_TRUE(connection->Connected());
}

TEST_F(ConnectionTest, StatementSurvivesADisconnect) {
  PooledConnection connection = Acquire();
  auto add = schema_.CreateCommand(*connection, "AddNote");
  auto notes = schema_.CreateDataset(*connection, "Notes");
  connection->Disconnect();
  EXPECT_FALSE(connection->Connected());
  add->ParamByName("ID").SetAsInteger(2);
  add->ParamByName("TEXTO").SetAsString("after");
  add->ExecuteCommand();
  EXPECT_TRUE(connection->Connected());
  notes->ParamByName("ID").SetAsInteger(2);
  notes->Open();
  EXPECT_EQ(notes->FieldByName("TEXTO").AsString(), "after");
}

TEST_F(ConnectionTest, LostAttachmentIsLetGoAndTheNextStatementAttachesAnew) {
  PooledConnection connection = Acquire();
  auto id = schema_.CreateDataset(*connection, "ConnectionId");
  id->Open();
  const int first = id->FieldByName("ID").AsInteger();
  connection->CommitTransaction();
  database_->Execute({"DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + std::to_string(first)});

  try {
    id->Open();
    FAIL() << "the attachment was shut down";
  } catch (const EFirebirdError& error) {
    EXPECT_TRUE(error.ConnectionLost()) << error.Message();
  }
  EXPECT_FALSE(connection->Connected());
  EXPECT_FALSE(connection->InTransaction());
  id->Open();
  EXPECT_NE(id->FieldByName("ID").AsInteger(), first);
}

TEST_F(ConnectionTest, NamesMatchInAnyCaseAndUnknownNamesFailWithTheirCollection) {
  PooledConnection connection = Acquire();
  auto notes = schema_.CreateDataset(*connection, "NOTES");
  EXPECT_EQ(notes->Name(), "Notes");
  notes->ParamByName("id").SetAsInteger(3);
  notes->Open();
  EXPECT_TRUE(notes->IsEmpty());
  EXPECT_TRUE(notes->FieldByName("texto").IsNull());

  EXPECT_EQ(FailureOf([&] { schema_.CreateDataset(*connection, "Nope"); }),
            "Cannot find item \"Nope\" in collection of type Datasets");
  EXPECT_EQ(FailureOf([&] { schema_.CreateCommand(*connection, "Notes"); }),
            "Cannot find item \"Notes\" in collection of type Commands");
  EXPECT_EQ(FailureOf([&] { notes->ParamByName("X"); }), "Cannot find item \"X\" in collection of type Params");
  EXPECT_EQ(FailureOf([&] { notes->FieldByName("Y"); }), "Cannot find item \"Y\" in collection of type Fields");
  EXPECT_EQ(FailureOf([&] { schema_.CreateDataset(*connection, "MissingParam")->Open(); }),
            "Cannot find item \"TEXTO\" in collection of type Params");
  EXPECT_EQ(FailureOf([&] { schema_.CreateDataset(*connection, "MissingField")->Open(); }),
            "Cannot find field TEXTO");
}

TEST_F(ConnectionTest, DatasetNavigation) {
  PooledConnection connection = Acquire();
  auto add = schema_.CreateCommand(*connection, "AddNote");
  for (const char* text : {"b", "a", "c"}) {
    add->ParamByName("ID").SetAsInteger(4);
    add->ParamByName("TEXTO").SetAsString(text);
    add->ExecuteCommand();
  }
  auto notes = schema_.CreateDataset(*connection, "Notes");
  notes->ParamByName("ID").SetAsInteger(4);
  notes->Open();
  EXPECT_EQ(notes->RecordCount(), 3);
  notes->Last();
  EXPECT_EQ(notes->FieldByName("TEXTO").AsString(), "c");
  EXPECT_FALSE(notes->Eof());
  notes->First();
  std::string seen;
  for (; !notes->Eof(); notes->Next()) seen += notes->FieldByName("TEXTO").AsString();
  EXPECT_EQ(seen, "abc");
  EXPECT_EQ(notes->FieldByName("TEXTO").AsString(), "c");  // stays on the last row
  notes->Close();
  EXPECT_TRUE(notes->Eof());
  EXPECT_EQ(notes->FieldByName("TEXTO").AsString(), "");
}

TEST_F(ConnectionTest, StoredProcedureCallIsBuiltFromItsDeclaredParameters) {
  PooledConnection connection = Acquire();
  ASSERT_FALSE(connection->InTransaction());
  auto call = schema_.CreateCommand(*connection, "AddNoteByProcedure");
  EXPECT_TRUE(connection->InTransaction());  // building the call starts the transaction
  EXPECT_EQ(call->SQL(), "EXECUTE PROCEDURE ADD_NOTE (?ID, ?TEXTO, ?EXTRA)");
  call->ParamByName("ID").SetAsInteger(5);
  call->ParamByName("TEXTO").SetAsString("output params are not sent");
  call->ParamByName("UNKNOWN").SetAsInteger(9);  // the procedure has no such parameter
  call->ExecuteCommand();
  auto notes = schema_.CreateDataset(*connection, "Notes");
  notes->ParamByName("ID").SetAsInteger(5);
  notes->Open();
  ASSERT_EQ(notes->RecordCount(), 1);
  EXPECT_EQ(notes->FieldByName("TEXTO").AsString(), "none");
}

TEST_F(ConnectionTest, StoredProcedureCallIsBuiltOncePerDatabase) {
  PooledConnection connection = Acquire();
  EXPECT_EQ(schema_.CreateCommand(*connection, "AddNoteByProcedure")->SQL(),
            "EXECUTE PROCEDURE ADD_NOTE (?ID, ?TEXTO, ?EXTRA)");
  connection->CommitTransaction();
  // A parameter list changed later is not read again by this process.
  database_->Execute({"ALTER PROCEDURE ADD_NOTE (ID INTEGER, TEXTO VARCHAR(40)) AS BEGIN "
                      "INSERT INTO NOTES (ID, TEXTO) VALUES (:ID, :TEXTO); END"});
  EXPECT_EQ(schema_.CreateCommand(*connection, "AddNoteByProcedure")->SQL(),
            "EXECUTE PROCEDURE ADD_NOTE (?ID, ?TEXTO, ?EXTRA)");
  // Another catalogue object reads the list again (on an attachment of its own, since this
  // one keeps the procedure's old version prepared).
  Schema fresh{ScratchCatalogue().Command("Call", "ADD_NOTE", {"ID"}, "stStoredProcedure").Xml()};
  ConnectionManager other;
  other.SetConnections({database_->GpsDefinition()});
  PooledConnection another = other.AcquireConnection();
  EXPECT_EQ(fresh.CreateCommand(*another, "Call")->SQL(), "EXECUTE PROCEDURE ADD_NOTE (?ID, ?TEXTO)");
}

TEST_F(ConnectionTest, AttachErrorsCarryTheClientText) {
  manager_.SetConnections({{.Name = "GPS",
                            .ConnectionString = "FIB?Database=/nonexistent/none.fdb;UserID=SYSDBA;Charset=UTF8",
                            .ConnectionType = "Interbase",
                            .Default = true,
                            .Description = {}}});
  try {
    manager_.AcquireConnection();
    FAIL() << "attaching a missing file must fail";
  } catch (const EFirebirdError& error) {
    EXPECT_THAT(error.Message(), HasSubstr("/nonexistent/none.fdb"));
  }
}

TEST_F(ConnectionTest, TransactionOptionsReachTheServerAndTheDefaultIsTheServers) {
  // What the server reports of the current transaction: isolation (0 table stability,
  // 1 snapshot, 2 read committed with record versions), lock timeout (-1 waits without
  // limit, 0 does not wait) and read-only.
  Schema monitor{ScratchCatalogue()
                     .Dataset("Current",
                              "SELECT MON$ISOLATION_MODE AS ISOLATION, MON$LOCK_TIMEOUT AS LOCK_TIMEOUT, "
                              "MON$READ_ONLY AS READ_ONLY FROM MON$TRANSACTIONS "
                              "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION",
                              {}, {"ISOLATION", "LOCK_TIMEOUT", "READ_ONLY"})
                     .Xml()};
  using Level = TransactionOptions::IsolationLevel;
  struct Case {
    std::optional<TransactionOptions> options;  // none: started by a statement
    int isolation;
    int lock_timeout;
    int read_only;
  } cases[] = {
      {std::nullopt, 1, -1, 0},
      {TransactionOptions{}, 1, -1, 0},
      {TransactionOptions{.isolation = Level::kReadCommitted, .read_only = true}, 2, -1, 1},
      {TransactionOptions{.isolation = Level::kSnapshotTableStability, .wait = false}, 0, 0, 0},
      {TransactionOptions{.lock_timeout_seconds = 7}, 1, 7, 0},
      // A lock timeout means nothing to a transaction that does not wait.
      {TransactionOptions{.wait = false, .lock_timeout_seconds = 7}, 1, 0, 0},
  };
  PooledConnection connection = Acquire();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options ? c.options->lock_timeout_seconds * 100 + static_cast<int>(c.options->isolation) : -1);
    if (c.options) connection->BeginTransaction(*c.options);
    auto current = monitor.CreateDataset(*connection, "Current");
    current->Open();
    EXPECT_TRUE(connection->InTransaction());
    EXPECT_EQ(current->FieldByName("ISOLATION").AsInteger(), c.isolation);
    EXPECT_EQ(current->FieldByName("LOCK_TIMEOUT").AsInteger(), c.lock_timeout);
    EXPECT_EQ(current->FieldByName("READ_ONLY").AsInteger(), c.read_only);
    current->Close();
    connection->RollbackTransaction();
  }
  EXPECT_EQ(FailureOf([&] { connection->BeginTransaction({.lock_timeout_seconds = -1}); }), "Invalid lock timeout -1");
  EXPECT_FALSE(connection->InTransaction());
}

TEST_F(ConnectionTest, ReadOnlyTransactionRefusesWritesAndNoWaitFailsOnAConflictAtOnce) {
  PooledConnection connection = Acquire();
  connection->BeginTransaction({.read_only = true});
  auto add = schema_.CreateCommand(*connection, "AddNote");
  add->ParamByName("ID").SetAsInteger(60);
  EXPECT_THAT(FailureOf([&] { add->ExecuteCommand(); }), HasSubstr("read-only transaction"));
  connection->RollbackTransaction();

  database_->Execute({"INSERT INTO NOTES (ID, TEXTO) VALUES (61, 'before')"});
  Schema updates{ScratchCatalogue().Command("Touch", "UPDATE NOTES SET TEXTO = :TEXTO WHERE ID = 61", {"TEXTO"}).Xml()};
  auto touch = updates.CreateCommand(*connection, "Touch");
  touch->ParamByName("TEXTO").SetAsString("first");
  touch->ExecuteCommand();  // holds the row in an uncommitted transaction

  PooledConnection other = manager_.AcquireConnection();
  other->BeginTransaction({.wait = false});
  auto conflicting = updates.CreateCommand(*other, "Touch");
  conflicting->ParamByName("TEXTO").SetAsString("second");
  try {
    conflicting->ExecuteCommand();
    ADD_FAILURE() << "no conflict";
  } catch (const EFirebirdError& error) {
    EXPECT_THAT(error.what(), HasSubstr("update conflicts with concurrent update"));
    EXPECT_TRUE(error.Conflict());  // work that may succeed later, not a fault of the work itself
    EXPECT_FALSE(error.ConnectionLost());
  }
  EXPECT_TRUE(other->InTransaction());  // the failed statement leaves the transaction open
}

// Only what the data itself causes is the data's failure: the same statement with the same
// values would fail again. What the database, its schema or another transaction causes may
// go through later.
TEST_F(ConnectionTest, AFailureIsTheDatasOnlyWhenTheValuesCauseIt) {
  database_->Execute({
      "CREATE EXCEPTION E_NOTE_REFUSED 'note refused'",
      "CREATE TRIGGER NOTES_REFUSE FOR NOTES BEFORE INSERT AS BEGIN "
      "IF (NEW.ID = 99) THEN EXCEPTION E_NOTE_REFUSED; END",
      "INSERT INTO NOTES (ID, TEXTO) VALUES (70, 'held')",
  });
  Schema statements{ScratchCatalogue()
                        .Command("AddNote", "INSERT INTO NOTES (ID, TEXTO) VALUES (:ID, :TEXTO)", {"ID", "TEXTO"})
                        .Command("Divide", "UPDATE NOTES SET ID = ID / :ZERO WHERE ID = 70", {"ZERO"})
                        .Command("Touch", "UPDATE NOTES SET TEXTO = 'x' WHERE ID = 70", {})
                        .Command("Broken", "DELETE FROM NO_SUCH_TABLE", {})
                        .Xml()};
  PooledConnection holder = Acquire();
  statements.CreateCommand(*holder, "Touch")->ExecuteCommand();  // holds row 70

  PooledConnection connection = manager_.AcquireConnection();
  const auto add = [&](std::optional<int> id, std::string text) {
    return [&connection, &statements, id, text] {
      auto command = statements.CreateCommand(*connection, "AddNote");
      if (id) command->ParamByName("ID").SetAsInteger(*id);
      command->ParamByName("TEXTO").SetAsString(text);
      command->ExecuteCommand();
    };
  };
  const struct {
    const char* name;
    std::function<void()> action;
    bool data;
  } cases[] = {
      {"a value too long for its column", add(71, std::string(41, 'x')), true},
      {"a text too long for any parameter", add(72, std::string(40000, 'x')), true},
      {"a null where the column takes none", add(std::nullopt, "no id"), true},
      {"an exception raised by a trigger", add(99, "refused"), true},
      {"a division by zero", [&] {
         auto divide = statements.CreateCommand(*connection, "Divide");
         divide->ParamByName("ZERO").SetAsInteger(0);
         divide->ExecuteCommand();
       }, true},
      {"a table the database lacks", [&] { statements.CreateCommand(*connection, "Broken")->ExecuteCommand(); }, false},
      {"a row another transaction holds", [&] {
         connection->BeginTransaction({.wait = false});
         statements.CreateCommand(*connection, "Touch")->ExecuteCommand();
       }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.action();
      ADD_FAILURE() << "no error";
    } catch (const std::exception& error) {
      EXPECT_EQ(IsDataFailure(error), c.data) << error.what();
    }
    if (connection->InTransaction()) connection->RollbackTransaction();
  }
  holder->RollbackTransaction();
  database_->Execute({"DROP TRIGGER NOTES_REFUSE", "DROP EXCEPTION E_NOTE_REFUSED", "DELETE FROM NOTES WHERE ID = 70"});
}

// The pool's transaction defaults reach every transaction its connections begin without
// parameters of their own, and bound the wait for a lock.
TEST_F(ConnectionTest, ThePoolsTransactionDefaultsBoundTheWaitForALock) {
  database_->Execute({"INSERT INTO NOTES (ID, TEXTO) VALUES (80, 'held')"});
  Schema statements{ScratchCatalogue()
                        .Command("Touch", "UPDATE NOTES SET TEXTO = 'x' WHERE ID = 80", {})
                        .Dataset("LockTimeout",
                                 "SELECT MON$LOCK_TIMEOUT AS T FROM MON$TRANSACTIONS "
                                 "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION",
                                 {}, {"T"})
                        .Xml()};
  PooledConnection holder = Acquire();
  statements.CreateCommand(*holder, "Touch")->ExecuteCommand();

  manager_.SetTransactionDefaults({.lock_timeout_seconds = 1});
  PooledConnection waiting = manager_.AcquireConnection();
  for (const bool begun : {false, true}) {
    SCOPED_TRACE(begun ? "begun without parameters" : "started by a statement");
    if (begun) waiting->BeginTransaction();
    auto timeout = statements.CreateDataset(*waiting, "LockTimeout");
    timeout->Open();
    EXPECT_EQ(timeout->FieldByName("T").AsInteger(), 1);
    timeout->Close();
    try {
      statements.CreateCommand(*waiting, "Touch")->ExecuteCommand();
      ADD_FAILURE() << "no lock time-out";
    } catch (const EFirebirdError& error) {
      EXPECT_TRUE(error.Conflict()) << error.what();
      EXPECT_FALSE(IsDataFailure(error));
    }
    waiting->RollbackTransaction();
  }
  holder->RollbackTransaction();
  database_->Execute({"DELETE FROM NOTES WHERE ID = 80"});
}

// A loopback port that never answers. kDropsConnects: its listen queue is full, so the
// system drops further connection requests, as for a host that is down. kMute: connections
// are taken (by the system) but nothing is ever sent back, as from a server that hangs.
class SilentPort {
 public:
  enum class Kind { kDropsConnects, kMute };

  explicit SilentPort(Kind kind) {
    listener_ = Socket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, kind == Kind::kMute ? 16 : 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    for (int i = 0; kind == Kind::kDropsConnects && i < 3; ++i) {
      const int filler = Socket();
      fcntl(filler, F_SETFL, O_NONBLOCK);
      connect(filler, reinterpret_cast<sockaddr*>(&address), length);
      fillers_.push_back(filler);
    }
  }
  ~SilentPort() {
    for (const int filler : fillers_) close(filler);
    close(listener_);
  }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  int Port() const { return port_; }

 private:
  static int Socket() {
    const int handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle < 0) throw std::runtime_error("cannot create a socket");
    return handle;
  }

  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST_F(ConnectionTest, AttachToAServerThatDoesNotAnswerGivesUpAfterTheConnectTimeout) {
  for (const SilentPort::Kind kind : {SilentPort::Kind::kDropsConnects, SilentPort::Kind::kMute}) {
    SCOPED_TRACE(static_cast<int>(kind));
    const SilentPort silent(kind);
    const std::string server = "127.0.0.1/" + std::to_string(silent.Port());
    manager_.SetConnections({{.Name = "GPS",
                              .ConnectionString = "FIB?Server=" + server +
                                                  ";Database=/db/none.fdb;UserID=SYSDBA;Password=x;ConnectTimeout=1",
                              .ConnectionType = "Interbase",
                              .Default = true,
                              .Description = {}}});
    const auto start = std::chrono::steady_clock::now();
    const std::string failure = FailureOf([&] { manager_.AcquireConnection(); });
    // Without the timeout the client library waits minutes in either case.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    if (kind == SilentPort::Kind::kDropsConnects)
      EXPECT_EQ(failure, "Cannot reach the database server " + server + ": no answer within 1 seconds");
    else
      EXPECT_THAT(failure, HasSubstr("connection rejected"));  // the client library's text
    EXPECT_EQ(manager_.LiveCount(), 0);
  }
}

TEST_F(ConnectionTest, ConnectTimeoutMustBeAPositiveNumberOfSeconds) {
  for (const char* value : {"0", "-3", "soon", ""}) {
    EXPECT_EQ(FailureOf([&] { Acquire(std::string("ConnectTimeout=") + value + ";"); }),
              std::string("Invalid connect timeout \"") + value + "\" in the connection string");
  }
  EXPECT_EQ(manager_.LiveCount(), 0);
  // The embedded engine takes the key as well.
  EXPECT_TRUE(Acquire("ConnectTimeout=5;")->Connected());
}

// ---- Statement selection ----

StatementDefinition Variant(std::string connection, std::string type, bool is_default, std::string sql) {
  return {.Connection = std::move(connection),
          .ConnectionType = std::move(type),
          .Default = is_default,
          .Name = {},
          .SQL = std::move(sql),
          .StatementType = StatementType::stSQL,
          .ColumnMappings = {}};
}

TEST(StatementSelectionTest, ConnectionThenTypeThenDefaultThenDefaultConnection) {
  const DbConnection gps("GPS", "FIB?Database=x", "Interbase", "Main");
  struct Case {
    std::vector<StatementDefinition> variants;
    std::string chosen;
  } cases[] = {
      {{Variant("", "", true, "default"), Variant("", "interbase", false, "type"), Variant("gps", "", false, "name")},
       "name"},
      {{Variant("", "", true, "default"), Variant("Other", "INTERBASE", false, "type")}, "type"},
      {{Variant("main", "", false, "main"), Variant("", "", true, "default1"), Variant("", "", true, "default2")},
       "default1"},
      {{Variant("Other", "Oracle", false, "other"), Variant("MAIN", "", false, "main")}, "main"},
  };
  for (const Case& c : cases) EXPECT_EQ(SelectStatement(c.variants, gps, "S").SQL, c.chosen);

  EXPECT_EQ(FailureOf([&] { SelectStatement({Variant("Other", "Oracle", false, "x")}, gps, "Busca"); }),
            "Cannot find statement Busca for connection Main");
}

}  // namespace
}  // namespace qit
