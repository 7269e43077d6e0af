#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/Errors.h"
#include "data/ConnectionDefinition.h"
#include "data/DbConnection.h"

namespace qit {

class ConnectionManager;

// A connection handed out by ConnectionManager. Dropping the handle gives the connection
// back: the pool applies its transaction behaviour (commit, by default) and keeps the
// connection for the next caller, or closes it. Move-only; the manager must outlive it.
class PooledConnection {
 public:
  PooledConnection() = default;
  PooledConnection(PooledConnection&& other) noexcept;
  PooledConnection& operator=(PooledConnection&& other) noexcept;
  // A failure while giving the connection back (the commit) cannot be raised from here; it
  // goes to the manager's error handler.
  ~PooledConnection();

  DbConnection& operator*() const { return *connection_; }
  DbConnection* operator->() const { return connection_.get(); }
  DbConnection* get() const { return connection_.get(); }
  explicit operator bool() const { return static_cast<bool>(connection_); }

  // Gives the connection back now. A commit that fails is raised to the caller, after the
  // connection has been rolled back and closed instead of pooled.
  void Release();

 private:
  friend class ConnectionManager;
  PooledConnection(ConnectionManager* pool, std::unique_ptr<DbConnection> connection);
  void ReleaseReporting() noexcept;

  ConnectionManager* pool_ = nullptr;  // empty for connections made without pooling
  std::unique_ptr<DbConnection> connection_;
};

// The connection definitions and the pool of open connections. One object per process,
// shared by every thread that needs the database.
class ConnectionManager {
 public:
  // Receives a failure that no caller can be told of, with the place it happened: a handle's
  // destructor giving its connection back ("ReleaseConnection"), the sweeper ("Sweeper"),
  // closing the idle connections at shutdown ("Shutdown").
  using ErrorHandler = std::function<void(std::string_view location, const std::exception& error)>;

  // The built-in definition GPS (the fleet database on localhost) and the built-in pool
  // settings; starts the sweeper that closes connections idle for PoolTimeoutSeconds.
  ConnectionManager();
  // Shuts the pool down. Handed-out connections must have been given back before: their
  // handles point at this object.
  ~ConnectionManager();
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // The definitions, in order; names are matched in any letter case.
  std::vector<ConnectionDefinition> Connections() const;
  void SetConnections(std::vector<ConnectionDefinition> definitions);
  // The first definition marked Default; empty when there is none.
  std::string DefaultConnectionName() const;

  bool PoolingEnabled() const;
  void SetPoolingEnabled(bool value);
  qit::PoolBehaviour PoolBehaviour() const;
  void SetPoolBehaviour(qit::PoolBehaviour value);
  int MaxPoolSize() const;
  void SetMaxPoolSize(int value);
  int WaitIntervalSeconds() const;
  void SetWaitIntervalSeconds(int value);
  int PoolTimeoutSeconds() const;
  // Restarts the sweeper (none with 0). Fails with "Cannot perform this operation when
  // connections are pooled" while connections are live.
  void SetPoolTimeoutSeconds(int value);
  qit::PoolTransactionBehaviour PoolTransactionBehaviour() const;
  void SetPoolTransactionBehaviour(qit::PoolTransactionBehaviour value);

  // The parameters of the transactions that connections handed out from now on begin without
  // being given any (a lock time-out, for one). The server's defaults unless set.
  void SetTransactionDefaults(const TransactionOptions& value);

  // Connections made by the pool and not yet closed (idle and handed out), and idle ones.
  int LiveCount() const;
  int IdleCount() const;

  // A connection made from the named definition: an idle pooled one with the same
  // connection string and type, or a new one (attached when `open`). A full pool waits
  // WaitIntervalSeconds for a connection to come back, again after every return, and fails
  // with "Maximum pool size reached. Cannot create a new connection" when a wait runs out.
  // After Shutdown it fails at once with "Connection pool is shutting down".
  PooledConnection AcquireConnection(std::string_view name = "GPS", bool open = true);

  // Ends the pool's service, from any thread, once or more: every later AcquireConnection
  // fails, callers waiting for a connection wake at once and fail the same way, the sweeper
  // stops and the idle connections are closed. Connections still handed out are closed
  // when they come back (after their transaction behaviour is applied).
  void Shutdown();

  // Replaces definitions and pool settings from a connection file (either layout).
  void LoadConnectionFile(const std::filesystem::path& file);

  // Receives the failures that cannot be raised to a caller (see ErrorHandler). Without a
  // handler they are written to standard error.
  void SetErrorHandler(ErrorHandler handler);

 private:
  friend class PooledConnection;
  struct IdleEntry {
    std::unique_ptr<DbConnection> connection;
    std::chrono::steady_clock::time_point since;
  };

  // A copy of a member read, or a member written, under the pool lock.
  template <class T>
  T Locked(const T& member) const {
    std::lock_guard lock(mutex_);
    return member;
  }
  template <class T>
  void SetLocked(T& member, T value) {
    std::lock_guard lock(mutex_);
    member = std::move(value);
  }

  std::string DefaultNameLocked() const;
  // An idle connection made from this definition; idle_.end() when there is none.
  std::vector<IdleEntry>::iterator FindIdleLocked(const ConnectionDefinition& definition);
  // Takes the idle connections that are no longer attached out of the pool.
  void TakeDetachedIdleLocked(std::vector<std::unique_ptr<DbConnection>>& dropped);
  std::unique_ptr<DbConnection> Open(const ConnectionDefinition& definition, const std::string& default_name,
                                     const TransactionOptions& transactions, bool open) const;
  void ReleaseConnection(std::unique_ptr<DbConnection> connection);
  void ReportError(const std::exception& error, std::string_view location) const noexcept;
  // Detaches connections taken out of the pool, reporting a failed detach instead of raising it.
  void Close(std::vector<std::unique_ptr<DbConnection>>& connections, std::string_view location) const;
  void RestartSweeper();
  void Sweep(std::stop_token stop, std::chrono::milliseconds interval);
  void SweepOnce(std::stop_token stop, std::chrono::milliseconds interval);

  mutable std::mutex mutex_;
  std::vector<ConnectionDefinition> definitions_;
  bool pooling_enabled_ = true;
  qit::PoolBehaviour pool_behaviour_ = qit::PoolBehaviour::pbWait;
  int max_pool_size_ = 100;
  int wait_interval_seconds_ = 5;
  int pool_timeout_seconds_ = 60;
  qit::PoolTransactionBehaviour transaction_behaviour_ = qit::PoolTransactionBehaviour::ptCommit;
  TransactionOptions transaction_defaults_;
  ErrorHandler error_handler_;

  std::vector<IdleEntry> idle_;  // oldest first
  int live_ = 0;
  bool shutting_down_ = false;
  // Signalled whenever a waiting caller may get through: a connection came back, a slot
  // was freed, the pool size grew, or the pool shuts down.
  std::condition_variable pool_changed_;
  std::condition_variable_any sweeper_wake_;
  std::mutex sweeper_mutex_;  // serialises starting and stopping the sweeper
  std::jthread sweeper_;      // last member: stops before the state it sweeps goes away
};

}  // namespace qit
