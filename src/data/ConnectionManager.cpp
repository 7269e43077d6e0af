#include "data/ConnectionManager.h"

#include <algorithm>
#include <iostream>

#include <fmt/format.h>

#include "common/Text.h"
#include "data/ConnectionString.h"
#include "data/DataErrors.h"

namespace qit {

namespace {

constexpr std::string_view kPoolFull = "Maximum pool size reached. Cannot create a new connection";

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
    pool->ReportReleaseError(error);
  }
}

// ---- ConnectionManager ----

ConnectionManager::ConnectionManager() : definitions_{BuiltInDefinition()} { RestartSweeper(); }

ConnectionManager::~ConnectionManager() {
  sweeper_ = {};
  std::lock_guard lock(mutex_);
  idle_.clear();
}

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
void ConnectionManager::SetMaxPoolSize(int value) { SetLocked(max_pool_size_, value); }
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

int ConnectionManager::LiveCount() const { return Locked(live_); }

int ConnectionManager::IdleCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(idle_.size());
}

void ConnectionManager::SetReleaseErrorHandler(ReleaseErrorHandler handler) {
  SetLocked(release_error_handler_, std::move(handler));
}

void ConnectionManager::ReportReleaseError(const std::exception& error) const {
  if (const ReleaseErrorHandler handler = Locked(release_error_handler_)) handler(error);
  else std::cerr << "Connection given back with an error: " << error.what() << '\n';
}

std::unique_ptr<DbConnection> ConnectionManager::Open(const ConnectionDefinition& definition,
                                                      const std::string& default_name, bool open) const {
  const std::string driver = ConnectionStringDriver(definition.ConnectionString);
  if (!SameText(driver, kFirebirdDriver)) throw EDatabaseError(fmt::format("Unknown driver {}", driver));
  auto connection = std::make_unique<DbConnection>(definition.Name, definition.ConnectionString,
                                                   definition.ConnectionType, default_name);
  if (open) connection->Connect();
  return connection;
}

PooledConnection ConnectionManager::AcquireConnection(std::string_view name, bool open) {
  ConnectionDefinition definition;
  std::string default_name;
  bool pooling = true;
  {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(definitions_.begin(), definitions_.end(),
                                    [&](const auto& d) { return SameText(d.Name, name); });
    if (found == definitions_.end()) throw CannotFindError("connection", name, kConnectionDefinitions);
    definition = *found;
    default_name = DefaultNameLocked();
    pooling = pooling_enabled_;
  }
  if (!pooling) return PooledConnection(nullptr, Open(definition, default_name, open));

  for (;;) {
    // Connections dropped here are destroyed after the lock is released.
    std::vector<std::unique_ptr<DbConnection>> dropped;
    bool reserved = false;
    qit::PoolBehaviour behaviour;
    std::chrono::seconds wait_interval;
    {
      std::lock_guard lock(mutex_);
      // Idle connections that were detached meanwhile are of no use: close them.
      for (auto entry = idle_.end(); entry != idle_.begin();) {
        --entry;
        if (!entry->connection->Connected()) {
          dropped.push_back(std::move(entry->connection));
          entry = idle_.erase(entry);
          --live_;
        }
      }
      const auto reusable = std::find_if(idle_.begin(), idle_.end(), [&](const IdleEntry& entry) {
        return SameText(entry.connection->ConnectionString(), definition.ConnectionString) &&
               SameText(entry.connection->ConnectionType(), definition.ConnectionType);
      });
      if (reusable != idle_.end()) {
        std::unique_ptr<DbConnection> connection = std::move(reusable->connection);
        idle_.erase(reusable);
        return PooledConnection(this, std::move(connection));
      }
      // The slot is reserved now and the attach made outside the lock, so a slow attach
      // does not hold up the threads that give connections back.
      if (live_ < max_pool_size_) {
        ++live_;
        reserved = true;
      }
      behaviour = pool_behaviour_;
      wait_interval = std::chrono::seconds(wait_interval_seconds_);
    }
    if (!dropped.empty()) released_.Set();
    if (reserved) {
      try {
        return PooledConnection(this, Open(definition, default_name, open));
      } catch (...) {
        {
          std::lock_guard lock(mutex_);
          --live_;
        }
        released_.Set();
        throw;
      }
    }
    // Every wait is a new one of the full length: a caller gets through as long as each
    // wait is answered by a connection coming back.
    if (behaviour == qit::PoolBehaviour::pbWait && released_.WaitFor(wait_interval)) continue;
    throw EDatabaseError(std::string(kPoolFull));
  }
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
    if (!failure && static_cast<int>(idle_.size()) < max_pool_size_ && connection->Connected()) {
      idle_.push_back({std::move(connection), std::chrono::steady_clock::now()});
    } else {
      --live_;
    }
  }
  connection.reset();
  released_.Set();
  if (failure) std::rethrow_exception(failure);
}

void ConnectionManager::RestartSweeper() {
  sweeper_ = {};
  const int timeout = PoolTimeoutSeconds();
  if (timeout <= 0) return;
  const auto interval = std::chrono::milliseconds(static_cast<long long>(timeout) * 500);
  sweeper_ = std::jthread([this, interval](std::stop_token stop) { Sweep(stop, interval); });
}

void ConnectionManager::Sweep(std::stop_token stop, std::chrono::milliseconds interval) {
  std::unique_lock lock(mutex_);
  for (;;) {
    sweeper_wake_.wait_for(lock, stop, interval, [] { return false; });
    if (stop.stop_requested()) return;
    const auto expiry = std::chrono::steady_clock::now() - std::chrono::seconds(pool_timeout_seconds_);
    std::vector<std::unique_ptr<DbConnection>> expired;
    for (auto entry = idle_.end(); entry != idle_.begin();) {
      --entry;
      if (entry->since < expiry) {
        expired.push_back(std::move(entry->connection));
        entry = idle_.erase(entry);
        --live_;
      }
    }
    if (expired.empty()) continue;
    // Closing attachments talks to the server: do it without holding up the pool.
    lock.unlock();
    expired.clear();
    lock.lock();
  }
}

}  // namespace qit
