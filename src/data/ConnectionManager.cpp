#include "data/ConnectionManager.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include <fmt/format.h>

#include "common/Text.h"
#include "data/ConnectionString.h"
#include "data/DataErrors.h"

namespace qit {

namespace {

constexpr std::string_view kPoolFull = "Maximum pool size reached. Cannot create a new connection";
constexpr std::string_view kShuttingDown = "Connection pool is shutting down";

// Places a failure is reported from, for the error handler.
constexpr std::string_view kReleaseLocation = "ReleaseConnection";
constexpr std::string_view kSweeperLocation = "Sweeper";
constexpr std::string_view kShutdownLocation = "Shutdown";

ConnectionDefinition BuiltInDefinition() {
  return {.Name = "GPS",
          .ConnectionString =
              "FIB?Server=localhost;Database=/var/firebird/db/avls_56.fdb;UserID=sysdba;Password=lanternix;",
          .ConnectionType = "Interbase",
          .Default = true,
          .Description = {}};
}

}  // namespace

// ---- PooledConnection ----

PooledConnection::PooledConnection(ConnectionManager* pool, std::unique_ptr<DbConnection> connection)
    : pool_(pool), connection_(std::move(connection)) {}

PooledConnection::PooledConnection(PooledConnection&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), connection_(std::move(other.connection_)) {}

PooledConnection& PooledConnection::operator=(PooledConnection&& other) noexcept {
  if (this != &other) {
    ReleaseReporting();
    pool_ = std::exchange(other.pool_, nullptr);
    connection_ = std::move(other.connection_);
  }
  return *this;
}

PooledConnection::~PooledConnection() { ReleaseReporting(); }

void PooledConnection::Release() {
  if (!connection_) return;
  ConnectionManager* pool = std::exchange(pool_, nullptr);
  // A connection made without pooling is simply closed.
  if (pool == nullptr) connection_.reset();
  else pool->ReleaseConnection(std::move(connection_));
}

void PooledConnection::ReleaseReporting() noexcept {
  ConnectionManager* pool = pool_;
  try {
    Release();
  } catch (const std::exception& error) {
    pool->ReportError(error, kReleaseLocation);
  }
}

// ---- ConnectionManager ----

ConnectionManager::ConnectionManager() : definitions_{BuiltInDefinition()} { RestartSweeper(); }

ConnectionManager::~ConnectionManager() { Shutdown(); }

std::vector<ConnectionDefinition> ConnectionManager::Connections() const { return Locked(definitions_); }

void ConnectionManager::SetConnections(std::vector<ConnectionDefinition> definitions) {
  SetLocked(definitions_, std::move(definitions));
}

std::string ConnectionManager::DefaultConnectionName() const {
  std::lock_guard lock(mutex_);
  return DefaultNameLocked();
}

std::string ConnectionManager::DefaultNameLocked() const {
  const auto found = std::find_if(definitions_.begin(), definitions_.end(), [](const auto& d) { return d.Default; });
  return found == definitions_.end() ? std::string() : found->Name;
}

bool ConnectionManager::PoolingEnabled() const { return Locked(pooling_enabled_); }
void ConnectionManager::SetPoolingEnabled(bool value) { SetLocked(pooling_enabled_, value); }
qit::PoolBehaviour ConnectionManager::PoolBehaviour() const { return Locked(pool_behaviour_); }
void ConnectionManager::SetPoolBehaviour(qit::PoolBehaviour value) { SetLocked(pool_behaviour_, value); }
int ConnectionManager::MaxPoolSize() const { return Locked(max_pool_size_); }

void ConnectionManager::SetMaxPoolSize(int value) {
  SetLocked(max_pool_size_, value);
  // A larger pool may let waiting callers attach.
  pool_changed_.notify_all();
}

int ConnectionManager::WaitIntervalSeconds() const { return Locked(wait_interval_seconds_); }
void ConnectionManager::SetWaitIntervalSeconds(int value) { SetLocked(wait_interval_seconds_, value); }
int ConnectionManager::PoolTimeoutSeconds() const { return Locked(pool_timeout_seconds_); }

void ConnectionManager::SetPoolTimeoutSeconds(int value) {
  {
    std::lock_guard lock(mutex_);
    if (value == pool_timeout_seconds_) return;
    if (live_ > 0) throw EDatabaseError("Cannot perform this operation when connections are pooled");
    pool_timeout_seconds_ = value;
  }
  RestartSweeper();
}

qit::PoolTransactionBehaviour ConnectionManager::PoolTransactionBehaviour() const {
  return Locked(transaction_behaviour_);
}
void ConnectionManager::SetPoolTransactionBehaviour(qit::PoolTransactionBehaviour value) {
  SetLocked(transaction_behaviour_, value);
}

void ConnectionManager::SetTransactionDefaults(const TransactionOptions& value) {
  SetLocked(transaction_defaults_, value);
}

int ConnectionManager::LiveCount() const { return Locked(live_); }

int ConnectionManager::IdleCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(idle_.size());
}

void ConnectionManager::SetErrorHandler(ErrorHandler handler) { SetLocked(error_handler_, std::move(handler)); }

void ConnectionManager::ReportError(const std::exception& error, std::string_view location) const noexcept {
  // A handler that fails itself must not take the reporting thread down; the failure it
  // was given still reaches standard error.
  try {
    if (const ErrorHandler handler = Locked(error_handler_)) {
      handler(location, error);
      return;
    }
  } catch (...) {
    std::cerr << "Connection pool: the error handler failed\n";
  }
  std::cerr << "Connection pool (" << location << "): " << error.what() << '\n';
}

void ConnectionManager::Close(std::vector<std::unique_ptr<DbConnection>>& connections,
                              std::string_view location) const {
  for (std::unique_ptr<DbConnection>& connection : connections) {
    try {
      connection->Disconnect();
    } catch (const std::exception& error) {
      ReportError(error, location);
    }
    // A connection whose detach failed lets go of its handles here.
    connection.reset();
  }
  connections.clear();
}

std::unique_ptr<DbConnection> ConnectionManager::Open(const ConnectionDefinition& definition,
                                                      const std::string& default_name,
                                                      const TransactionOptions& transactions, bool open) const {
  const std::string driver = ConnectionStringDriver(definition.ConnectionString);
  if (!SameText(driver, kFirebirdDriver)) throw EDatabaseError(fmt::format("Unknown driver {}", driver));
  auto connection = std::make_unique<DbConnection>(definition.Name, definition.ConnectionString,
                                                   definition.ConnectionType, default_name);
  connection->SetTransactionDefaults(transactions);
  if (open) connection->Connect();
  return connection;
}

std::vector<ConnectionManager::IdleEntry>::iterator ConnectionManager::FindIdleLocked(
    const ConnectionDefinition& definition) {
  return std::find_if(idle_.begin(), idle_.end(), [&](const IdleEntry& entry) {
    return SameText(entry.connection->ConnectionString(), definition.ConnectionString) &&
           SameText(entry.connection->ConnectionType(), definition.ConnectionType);
  });
}

void ConnectionManager::TakeDetachedIdleLocked(std::vector<std::unique_ptr<DbConnection>>& dropped) {
  for (auto entry = idle_.end(); entry != idle_.begin();) {
    --entry;
    if (!entry->connection->Connected()) {
      dropped.push_back(std::move(entry->connection));
      entry = idle_.erase(entry);
      --live_;
    }
  }
}

PooledConnection ConnectionManager::AcquireConnection(std::string_view name, bool open) {
  ConnectionDefinition definition;
  std::string default_name;
  TransactionOptions transactions;
  bool pooling = true;
  {
    std::lock_guard lock(mutex_);
    if (shutting_down_) throw EDatabaseError(std::string(kShuttingDown));
    const auto found = std::find_if(definitions_.begin(), definitions_.end(),
                                    [&](const auto& d) { return SameText(d.Name, name); });
    if (found == definitions_.end()) throw CannotFindError("connection", name, kConnectionDefinitions);
    definition = *found;
    default_name = DefaultNameLocked();
    pooling = pooling_enabled_;
    transactions = transaction_defaults_;
  }
  if (!pooling) return PooledConnection(nullptr, Open(definition, default_name, transactions, open));

  enum class Outcome { kReused, kReserved, kFull, kShuttingDown };
  Outcome outcome = Outcome::kFull;
  std::unique_ptr<DbConnection> reused;
  // Idle connections that were detached meanwhile are of no use; they are dropped here and
  // destroyed after the lock is released.
  std::vector<std::unique_ptr<DbConnection>> dropped;
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (shutting_down_) {
        outcome = Outcome::kShuttingDown;
        break;
      }
      TakeDetachedIdleLocked(dropped);
      if (const auto reusable = FindIdleLocked(definition); reusable != idle_.end()) {
        reused = std::move(reusable->connection);
        idle_.erase(reusable);
        outcome = Outcome::kReused;
        break;
      }
      // The slot is reserved now and the attach made outside the lock, so a slow attach
      // does not hold up the threads that give connections back.
      if (live_ < max_pool_size_) {
        ++live_;
        outcome = Outcome::kReserved;
        break;
      }
      if (pool_behaviour_ != qit::PoolBehaviour::pbWait) break;
      // Waits on the pool's own state, so a connection that came back before this thread
      // began to wait is seen, and every return counts. Each wait is a new one of the full
      // length: a caller gets through as long as each wait is answered by a connection
      // coming back.
      const bool answered =
          pool_changed_.wait_for(lock, std::chrono::seconds(wait_interval_seconds_), [&] {
            return shutting_down_ || live_ < max_pool_size_ || FindIdleLocked(definition) != idle_.end();
          });
      if (!answered) break;
    }
  }
  if (!dropped.empty()) {
    // Their slots are free again: other waiting callers may attach.
    pool_changed_.notify_all();
    dropped.clear();
  }

  switch (outcome) {
    case Outcome::kReused:
      reused->SetTransactionDefaults(transactions);
      return PooledConnection(this, std::move(reused));
    case Outcome::kFull:
      throw EDatabaseError(std::string(kPoolFull));
    case Outcome::kShuttingDown:
      throw EDatabaseError(std::string(kShuttingDown));
    case Outcome::kReserved:
      break;
  }
  std::unique_ptr<DbConnection> connection;
  try {
    connection = Open(definition, default_name, transactions, open);
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      --live_;
    }
    pool_changed_.notify_all();
    throw;
  }
  // A shutdown that began during the attach refuses the connection as well.
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    if (shutting_down_) {
      --live_;
      refused = true;
    }
  }
  if (refused) {
    connection.reset();
    throw EDatabaseError(std::string(kShuttingDown));
  }
  return PooledConnection(this, std::move(connection));
}

void ConnectionManager::ReleaseConnection(std::unique_ptr<DbConnection> connection) {
  std::exception_ptr failure;
  try {
    const qit::PoolTransactionBehaviour behaviour = PoolTransactionBehaviour();
    if (connection->InTransaction()) {
      if (behaviour == qit::PoolTransactionBehaviour::ptCommit) connection->CommitTransaction();
      else if (behaviour == qit::PoolTransactionBehaviour::ptRollback) connection->RollbackTransaction();
    }
  } catch (...) {
    // The connection's destructor below rolls back and closes it; the error goes on to
    // the caller afterwards.
    failure = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    if (!failure && !shutting_down_ && static_cast<int>(idle_.size()) < max_pool_size_ && connection->Connected()) {
      idle_.push_back({std::move(connection), std::chrono::steady_clock::now()});
    } else {
      --live_;
    }
  }
  connection.reset();
  pool_changed_.notify_all();
  if (failure) std::rethrow_exception(failure);
}

void ConnectionManager::Shutdown() {
  std::vector<std::unique_ptr<DbConnection>> idle;
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    for (IdleEntry& entry : idle_) idle.push_back(std::move(entry.connection));
    live_ -= static_cast<int>(idle_.size());
    idle_.clear();
  }
  pool_changed_.notify_all();
  {
    std::lock_guard lock(sweeper_mutex_);
    sweeper_ = {};  // asks the sweeper to stop and joins it
  }
  // Detaching talks to the server: done without the pool lock.
  Close(idle, kShutdownLocation);
}

void ConnectionManager::RestartSweeper() {
  std::lock_guard sweeper_lock(sweeper_mutex_);
  sweeper_ = {};
  int timeout = 0;
  {
    std::lock_guard lock(mutex_);
    if (shutting_down_) return;
    timeout = pool_timeout_seconds_;
  }
  if (timeout <= 0) return;
  const auto interval = std::chrono::milliseconds(static_cast<long long>(timeout) * 500);
  sweeper_ = std::jthread([this, interval](std::stop_token stop) { Sweep(stop, interval); });
}

void ConnectionManager::Sweep(std::stop_token stop, std::chrono::milliseconds interval) {
  // A failure of one pass (closing an expired attachment, say) is reported and the next
  // pass runs as usual: the sweeper never takes the process down.
  while (!stop.stop_requested()) {
    try {
      SweepOnce(stop, interval);
    } catch (const std::exception& error) {
      ReportError(error, kSweeperLocation);
    } catch (...) {
      ReportError(std::runtime_error("unknown error"), kSweeperLocation);
    }
  }
}

void ConnectionManager::SweepOnce(std::stop_token stop, std::chrono::milliseconds interval) {
  std::vector<std::unique_ptr<DbConnection>> expired;
  {
    std::unique_lock lock(mutex_);
    sweeper_wake_.wait_for(lock, stop, interval, [] { return false; });
    if (stop.stop_requested()) return;
    const auto expiry = std::chrono::steady_clock::now() - std::chrono::seconds(pool_timeout_seconds_);
    for (auto entry = idle_.end(); entry != idle_.begin();) {
      --entry;
      if (entry->since < expiry) {
        expired.push_back(std::move(entry->connection));
        entry = idle_.erase(entry);
        --live_;
      }
    }
  }
  if (expired.empty()) return;
  // Their slots are free again: waiting callers may attach.
  pool_changed_.notify_all();
  // Closing attachments talks to the server: done without holding up the pool.
  Close(expired, kSweeperLocation);
}

}  // namespace qit
