#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <firebird/Interface.h>

#include "data/ConnectionString.h"
#include "data/DbValue.h"
#include "data/KeptWrites.h"
#include "data/FbClient.h"
#include "data/PreparedStatement.h"
#include "data/SqlMarkers.h"
#include "data/StatementBlock.h"

namespace qit {

// The parameters of a transaction. The default leaves them all to the server, whose defaults
// are a read-write snapshot that waits on lock conflicts without limit.
struct TransactionOptions {
  enum class IsolationLevel {
    kSnapshot,                // sees the database as it was when the transaction started
    kReadCommitted,           // sees every committed change, reading the latest committed versions
    kSnapshotTableStability,  // a snapshot that also keeps other transactions from writing the tables it reads
  };

  IsolationLevel isolation = IsolationLevel::kSnapshot;
  // false: a lock conflict fails at once instead of waiting for the other transaction.
  bool wait = true;
  // With `wait`, the most seconds one lock conflict is waited for; 0 waits without limit.
  int lock_timeout_seconds = 0;
  bool read_only = false;

  bool operator==(const TransactionOptions&) const = default;
};

// One attachment to a Firebird database with its one transaction, made from a connection
// definition. Used by one thread at a time.
//
// Statements prepared on the connection are kept for its life, keyed by their SQL text, so
// the statements a worker runs for every record are prepared once. The auxiliary key
// "StatementCache=False" in the connection string turns that off.
//
// Attaching to a server gives up when the server does not answer within "ConnectTimeout"
// seconds (15 when the connection string has no such key), whether it does not take the TCP
// connection or does not reply on it, so a dead server cannot hold a caller for long.
//
// When the server reports that the attachment is gone (network failure, shutdown), the
// connection lets go of it and counts as detached: the next statement attaches anew.
class DbConnection {
 public:
  // `default_definition` names the manager's default connection definition, which statement
  // selection falls back to.
  DbConnection(std::string name, std::string connection_string, std::string connection_type,
               std::string default_definition);
  // Rolls back an open transaction and detaches.
  ~DbConnection();
  DbConnection(const DbConnection&) = delete;
  DbConnection& operator=(const DbConnection&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& ConnectionString() const { return connection_string_; }
  const std::string& ConnectionType() const { return connection_type_; }
  const std::string& DefaultDefinition() const { return default_definition_; }
  // Server + ":" + Database, or Database alone for a database opened by path.
  const std::string& DatabaseName() const { return database_name_; }

  bool Connected() const { return static_cast<bool>(attachment_); }
  void Connect();
  // Rolls back an open transaction and closes the attachment. The object stays valid and
  // attaches again for the next statement.
  void Disconnect();

  bool InTransaction() const { return static_cast<bool>(transaction_); }
  // Starts the connection's transaction with these parameters, or with the connection's
  // transaction defaults; fails when it is already active. A statement run without an active
  // transaction starts one with the defaults.
  void BeginTransaction(const TransactionOptions& options);
  void BeginTransaction() { BeginTransaction(transaction_defaults_); }
  // The parameters of the transactions begun without any (the server's own unless set).
  void SetTransactionDefaults(const TransactionOptions& options) { transaction_defaults_ = options; }
  void CommitTransaction();
  void RollbackTransaction();

  // For statement objects. Prepare returns the kept statement for this text when there is
  // one; a text the server refuses fails here. Execute and Query attach and start the
  // transaction when needed, then run the statement with one value per marker.
  std::shared_ptr<PreparedStatement> Prepare(const std::string& sql);
  void Execute(PreparedStatement& statement, std::span<const DbValue* const> values);
  // `send_held` false runs the query beside the writes held back, without sending them first.
  std::vector<std::vector<DbValue>> Query(PreparedStatement& statement, std::span<const DbValue* const> values,
                                          bool send_held = true);
  // The rows the statement's last execution changed (a request of its own to the server).
  std::uint64_t AffectedRows(PreparedStatement& statement);

  // A write batch saves round trips: between OpenBatch and SendBatch, Keep holds writes back
  // instead of running them, and they go to the server together as one EXECUTE BLOCK, at
  // SendBatch or as soon as any other statement runs on the connection (a query, unless run
  // beside them; Execute; a commit), which so sees them. The batch is atomic: when another
  // statement makes it send some of its writes early, a savepoint is taken before them, and
  // DiscardBatch undoes every write of the batch. The end of the transaction (commit,
  // rollback, a lost attachment) ends the batch too, a commit after sending what it holds.
  // Without an open batch, Keep runs the write at once, and SendBatch and DiscardBatch do
  // nothing.
  void OpenBatch();
  void SendBatch();
  void DiscardBatch();
  // Ends the batch, sending and undoing nothing, and drops what is held back: for a caller
  // that rolls the whole transaction back.
  void AbandonBatch() { EndBatch(); }
  bool BatchOpen() const { return kept_.BatchOpen(); }
  // `affected`, when given, receives the rows the write changed once it was run.
  void Keep(std::shared_ptr<PreparedStatement> statement, std::span<const DbValue* const> values,
            std::uint64_t* affected = nullptr);

  // Refreshes of shared rows (a row that many writes of a transaction set to their latest
  // values, such as a control record's description and time). While refreshes are deferred,
  // KeepRefresh holds each back until the end of the transaction, a later refresh under the
  // same key taking the place of the earlier one, so that the row is written once, with the
  // last values. They are sent with the commit, or before any statement that runs at once (a
  // query, unless run beside them; Execute; Keep outside a batch), which so sees them; not by
  // SendBatch. DiscardBatch gives them back the state they had when the batch opened. Not
  // deferred, KeepRefresh is Keep.
  void SetRefreshesDeferred(bool deferred) { refreshes_deferred_ = deferred; }
  void KeepRefresh(std::string key, std::shared_ptr<PreparedStatement> statement,
                   std::span<const DbValue* const> values);
  // Runs `sql` (no markers) in a short transaction of its own and returns every row.
  std::vector<std::vector<DbValue>> QueryOnce(const std::string& sql);

 private:
  Firebird::IAttachment* Attachment();
  Firebird::ITransaction* Transaction();
  Firebird::ITransaction* StartTransaction(const TransactionOptions& options);
  // Runs a client call; when it reports the attachment lost, lets go of the attachment.
  template <class Call>
  auto Guarded(Call&& call) -> decltype(call());
  // Runs work(transaction) in a short transaction of its own, committed afterwards.
  template <class Work>
  auto InOwnTransaction(Work&& work) -> decltype(work(nullptr));
  void Abandon();
  void EndBatch();
  void InvalidateStatements();
  std::shared_ptr<PreparedStatement> PrepareMarked(const std::string& sql, MarkedSql marked);
  // Run a statement now, without sending the held writes first.
  void ExecuteNow(PreparedStatement& statement, std::span<const DbValue* const> values);
  std::vector<std::vector<DbValue>> QueryNow(PreparedStatement& statement, std::span<const DbValue* const> values);
  // Sends the batch's kept writes, if any; early ones after the batch's savepoint.
  void SendKept(bool early);
  // Runs the given writes as one statement (a block, or the write alone).
  void RunTogether(const std::vector<KeptWrite>& writes);
  const CharacterSets& DatabaseCharacterSets();

  std::string name_;
  std::string connection_string_;
  std::string connection_type_;
  std::string default_definition_;
  ConnectionStringParts parts_;
  std::string database_name_;
  unsigned dialect_ = 3;
  int connect_timeout_seconds_ = 15;
  bool reuse_statements_ = true;
  TransactionOptions transaction_defaults_;

  // Declaration order matters for destruction: statements, then transaction, then attachment.
  fb::Ref<Firebird::IAttachment> attachment_;
  fb::Ref<Firebird::ITransaction> transaction_;
  std::unordered_map<std::string, std::shared_ptr<PreparedStatement>> statements_;

  // What is held back, whether the open batch took its savepoint, and whether refreshes
  // wait for the end of the transaction.
  KeptWrites kept_;
  bool batch_savepoint_ = false;
  bool refreshes_deferred_ = false;
  std::optional<CharacterSets> character_sets_;  // read on the first block of the attachment
};

}  // namespace qit
