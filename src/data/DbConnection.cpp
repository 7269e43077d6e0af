#include "data/DbConnection.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "common/Text.h"
#include "data/DataErrors.h"
#include "data/ServerProbe.h"
#include "data/SqlMarkers.h"

namespace qit {

namespace {

bool IsFalseText(std::string_view text) {
  return SameText(text, "False") || SameText(text, "No") || text == "0";
}

unsigned DialectOf(const ConnectionStringParts& parts) {
  std::optional<std::string> text = parts.Find("Dialect");
  if (!text) text = parts.Find("SQLDialect");
  if (!text) return 3;
  const std::optional<int> dialect = ParseInt32(Trim(*text));
  if (!dialect || *dialect < 1 || *dialect > 3)
    throw EDatabaseError(fmt::format("Invalid SQL dialect \"{}\" in the connection string", *text));
  return static_cast<unsigned>(*dialect);
}

int ConnectTimeoutOf(const ConnectionStringParts& parts) {
  const std::optional<std::string> text = parts.Find("ConnectTimeout");
  if (!text) return 15;
  const std::optional<int> seconds = ParseInt32(Trim(*text));
  if (!seconds || *seconds < 1)
    throw EDatabaseError(fmt::format("Invalid connect timeout \"{}\" in the connection string", *text));
  return *seconds;
}

// The transaction parameter block for options other than the defaults.
fb::Ref<Firebird::IXpbBuilder> TransactionParameters(const TransactionOptions& options) {
  if (options.lock_timeout_seconds < 0)
    throw EDatabaseError(fmt::format("Invalid lock timeout {}", options.lock_timeout_seconds));
  fb::Status status;
  fb::Ref<Firebird::IXpbBuilder> tpb(fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::TPB, nullptr, 0));
  switch (options.isolation) {
    case TransactionOptions::IsolationLevel::kSnapshot:
      tpb->insertTag(&status, isc_tpb_concurrency);
      break;
    case TransactionOptions::IsolationLevel::kReadCommitted:
      tpb->insertTag(&status, isc_tpb_read_committed);
      tpb->insertTag(&status, isc_tpb_rec_version);
      break;
    case TransactionOptions::IsolationLevel::kSnapshotTableStability:
      tpb->insertTag(&status, isc_tpb_consistency);
      break;
  }
  tpb->insertTag(&status, options.wait ? isc_tpb_wait : isc_tpb_nowait);
  if (options.wait && options.lock_timeout_seconds > 0)
    tpb->insertInt(&status, isc_tpb_lock_timeout, options.lock_timeout_seconds);
  tpb->insertTag(&status, options.read_only ? isc_tpb_read : isc_tpb_write);
  return tpb;
}

}  // namespace

DbConnection::DbConnection(std::string name, std::string connection_string, std::string connection_type,
                           std::string default_definition)
    : name_(std::move(name)),
      connection_string_(std::move(connection_string)),
      connection_type_(std::move(connection_type)),
      default_definition_(std::move(default_definition)),
      parts_(ParseConnectionString(connection_string_)),
      database_name_(parts_.Server.empty() ? parts_.Database : parts_.Server + ":" + parts_.Database),
      dialect_(DialectOf(parts_)),
      connect_timeout_seconds_(ConnectTimeoutOf(parts_)) {
  if (const auto cache = parts_.Find("StatementCache")) reuse_statements_ = !IsFalseText(Trim(*cache));
}

DbConnection::~DbConnection() {
  // Nothing can be reported from here: a failed rollback or detach still ends with the
  // handles released, which the server treats as a lost client.
  try {
    Disconnect();
  } catch (const EFirebirdError&) {
    Abandon();
  }
}

template <class Call>
auto DbConnection::Guarded(Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const EFirebirdError& error) {
    if (error.ConnectionLost()) Abandon();
    throw;
  }
}

void DbConnection::Connect() {
  if (attachment_) return;
  fb::Status status;
  fb::Ref<Firebird::IXpbBuilder> dpb(fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0));
  dpb->insertInt(&status, isc_dpb_sql_dialect, static_cast<int>(dialect_));
  dpb->insertInt(&status, isc_dpb_connect_timeout, connect_timeout_seconds_);
  if (!parts_.UserID.empty()) dpb->insertString(&status, isc_dpb_user_name, parts_.UserID.c_str());
  if (!parts_.Password.empty()) dpb->insertString(&status, isc_dpb_password, parts_.Password.c_str());
  if (const auto role = parts_.Find("Role"); role && !role->empty())
    dpb->insertString(&status, isc_dpb_sql_role_name, role->c_str());
  if (const auto charset = parts_.Find("Charset"); charset && !charset->empty())
    dpb->insertString(&status, isc_dpb_lc_ctype, charset->c_str());
  // A database named without a server is opened in this process by the embedded engine;
  // naming the provider keeps the attach from ever going out to the network.
  if (parts_.Server.empty()) dpb->insertString(&status, isc_dpb_config, "Providers=Engine12");

  // The client library bounds its wait for the server's replies by the connect timeout,
  // but not its TCP connect: a host that is down is found out by the probe instead.
  if (!parts_.Server.empty()) ProbeServer(parts_.Server, std::chrono::seconds(connect_timeout_seconds_));

  fb::Ref<Firebird::IProvider> dispatcher(fb::Master()->getDispatcher());
  attachment_.Reset(dispatcher->attachDatabase(&status, database_name_.c_str(), dpb->getBufferLength(&status),
                                               dpb->getBuffer(&status)));
}

void DbConnection::Disconnect() {
  if (!attachment_) return;
  if (transaction_) RollbackTransaction();
  InvalidateStatements();
  fb::Status status;
  Guarded([&] { attachment_->detach(&status); });
  attachment_.Forget();
}

void DbConnection::Abandon() {
  EndBatch();
  InvalidateStatements();
  transaction_.Reset();
  attachment_.Reset();
}

void DbConnection::EndBatch() {
  kept_.EndBatch(false);
  kept_.Clear();
  batch_savepoint_ = false;
}

void DbConnection::InvalidateStatements() {
  for (auto& [text, statement] : statements_) statement->Invalidate();
  statements_.clear();
}

Firebird::IAttachment* DbConnection::Attachment() {
  Connect();
  return attachment_.get();
}

Firebird::ITransaction* DbConnection::Transaction() {
  return transaction_ ? transaction_.get() : StartTransaction(transaction_defaults_);
}

Firebird::ITransaction* DbConnection::StartTransaction(const TransactionOptions& options) {
  // The defaults send an empty parameter block: the server's own defaults apply.
  fb::Ref<Firebird::IXpbBuilder> tpb;
  if (options != TransactionOptions{}) tpb = TransactionParameters(options);
  Firebird::IAttachment* attachment = Attachment();
  fb::Status status;
  const unsigned length = tpb ? tpb->getBufferLength(&status) : 0;
  const unsigned char* buffer = tpb ? tpb->getBuffer(&status) : nullptr;
  transaction_.Reset(Guarded([&] { return attachment->startTransaction(&status, length, buffer); }));
  return transaction_.get();
}

void DbConnection::BeginTransaction(const TransactionOptions& options) {
  if (transaction_) throw EDatabaseError("Transaction is already active");
  StartTransaction(options);
}

void DbConnection::CommitTransaction() {
  if (!transaction_) throw EDatabaseError("Transaction is not active");
  // What the batch holds goes with the commit, which makes its savepoint needless.
  SendKept(false);
  fb::Status status;
  Guarded([&] { transaction_->commit(&status); });
  transaction_.Forget();
  EndBatch();
}

void DbConnection::RollbackTransaction() {
  if (!transaction_) throw EDatabaseError("Transaction is not active");
  EndBatch();
  fb::Status status;
  Guarded([&] { transaction_->rollback(&status); });
  transaction_.Forget();
}

template <class Work>
auto DbConnection::InOwnTransaction(Work&& work) -> decltype(work(nullptr)) {
  Firebird::IAttachment* attachment = Attachment();
  fb::Status status;
  fb::Ref<Firebird::ITransaction> own(Guarded([&] { return attachment->startTransaction(&status, 0, nullptr); }));
  auto result = Guarded([&] { return work(own.get()); });
  Guarded([&] { own->commit(&status); });
  own.Forget();
  return result;
}

std::shared_ptr<PreparedStatement> DbConnection::Prepare(const std::string& sql) {
  if (reuse_statements_) {
    if (const auto kept = statements_.find(sql); kept != statements_.end()) return kept->second;
  }
  MarkedSql marked = ParseMarkers(sql);
  return PrepareMarked(sql, std::move(marked));
}

std::shared_ptr<PreparedStatement> DbConnection::PrepareMarked(const std::string& sql, MarkedSql marked) {
  const auto prepare = [&](Firebird::ITransaction* transaction) {
    fb::Status status;
    return fb::Ref<Firebird::IStatement>(attachment_->prepare(&status, transaction, 0, marked.text.c_str(), dialect_,
                                                              Firebird::IStatement::PREPARE_PREFETCH_METADATA));
  };
  // Preparing needs a transaction; without an active one a short one of its own serves, so
  // creating a statement never starts the connection's transaction.
  Connect();
  fb::Ref<Firebird::IStatement> handle =
      transaction_ ? Guarded([&] { return prepare(transaction_.get()); }) : InOwnTransaction(prepare);
  auto statement = std::make_shared<PreparedStatement>(sql, std::move(handle), std::move(marked.markers));
  if (reuse_statements_) statements_.emplace(sql, statement);
  return statement;
}

void DbConnection::Execute(PreparedStatement& statement, std::span<const DbValue* const> values) {
  SendKept(true);
  ExecuteNow(statement, values);
}

void DbConnection::ExecuteNow(PreparedStatement& statement, std::span<const DbValue* const> values) {
  Firebird::ITransaction* transaction = Transaction();
  Guarded([&] { statement.Execute(transaction, values); });
}

std::vector<std::vector<DbValue>> DbConnection::Query(PreparedStatement& statement,
                                                      std::span<const DbValue* const> values, bool send_held) {
  if (send_held) SendKept(true);
  return QueryNow(statement, values);
}

std::vector<std::vector<DbValue>> DbConnection::QueryNow(PreparedStatement& statement,
                                                         std::span<const DbValue* const> values) {
  Firebird::ITransaction* transaction = Transaction();
  return Guarded([&] { return statement.Query(attachment_.get(), transaction, values); });
}

std::uint64_t DbConnection::AffectedRows(PreparedStatement& statement) {
  return Guarded([&] { return statement.AffectedRows(); });
}

std::vector<std::vector<DbValue>> DbConnection::QueryOnce(const std::string& sql) {
  return InOwnTransaction([&](Firebird::ITransaction* transaction) {
    fb::Status status;
    fb::Ref<Firebird::IStatement> handle(attachment_->prepare(&status, transaction, 0, sql.c_str(), dialect_,
                                                              Firebird::IStatement::PREPARE_PREFETCH_METADATA));
    PreparedStatement statement(sql, std::move(handle), {});
    return statement.Query(attachment_.get(), transaction, {});
  });
}

}  // namespace qit
