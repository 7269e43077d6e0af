#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/AutoResetEvent.h"
#include "common/DateTime.h"
#include "common/ServiceMetrics.h"
#include "common/Settings.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"
#include "workers/OpenSessions.h"
#include "workers/StepWatch.h"
#include "workers/WorkerThread.h"

namespace qit {

// The processing worker. A thread that, on every pass, stamps the driver and the groupings of
// every open integration session onto the vehicle's statistics and alarm rows of the
// session's span, and moves a session to history (then exports it, when configured) once
// the vehicle has statistics and alarms later than the session's end. Each pass starts by
// purging integration rows older than Qtde_Dias_Remocao days. The database does only the
// work that changes something: a row that already holds its session's values is not
// written, and the sessions of a vehicle with no such row and no complete session are not
// gone through at all (one query finds the vehicles that have work).
//
// A pass runs when Acordar is called or when the waiting time has passed, and starts at most
// once per [CONFIGURACOES] IntervaloMinimoProcessamento_Segundos. Each session is
// one transaction ([CONFIGURACOES] SessoesPorTransacao above 1: that many sessions per
// transaction, each undone alone when it fails), its writes sent in one request: either all
// of its statements are committed or, when
// one fails, none is, so a session is never copied to history twice and a failed export is
// tried again on a later pass. A session that fails for its own data does not hold up the
// others: the pass goes on with the next sessions (and counts as failed); a failure of the
// database ends the pass. The database connection is taken from the pool at the first pass
// and taken again after it was lost, so a database that is down only delays the work.
class TProcessaIntegracao {
 public:
  // One record of cdsSessoes.
  using Session = OpenSession;

  // Starts the thread; it waits for Acordar or the waiting time before its first pass. All
  // references must outlive the worker. Nothing here touches the database. metrics, when
  // given, counts passes, open, completed and exported sessions and the database's outcome.
  // steps, when given, is told every step of a pass, for a health check to see a pass that
  // no longer moves.
  TProcessaIntegracao(const Settings& settings, ConnectionManager& connections, Schema& schema,
                      TVoradaLogger& log_atualizar, ServiceMetrics* metrics = nullptr, StepWatch* steps = nullptr);
  // Stops the worker (see Stop), without a deadline. Must not run for a worker whose thread
  // a stop left behind.
  ~TProcessaIntegracao();
  TProcessaIntegracao(const TProcessaIntegracao&) = delete;
  TProcessaIntegracao& operator=(const TProcessaIntegracao&) = delete;

  // Wakes the worker for a pass; from any thread. Wake-ups given during a pass, or before the
  // interval since its start is over, collapse into one further pass at the interval's end.
  void Acordar();

  // The orderly stop, from any thread but the worker's own; once or more. The worker
  // finishes the session it is on (the remaining ones stay open for the next run), gives
  // its connection back to the pool and its thread ends before this returns: true. false
  // when it had not ended by `deadline` (a statement that does not come back): the thread is
  // left behind, and this object and everything it uses must then never be freed.
  bool Stop(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

  // Passes ended so far, successful or not.
  std::uint64_t Passes() const;
  // Waits until at least `count` passes have ended; false when `timeout` ran out first.
  bool WaitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const;

 private:
  // The thread body: waits for a wake-up or the waiting time, runs a pass, until stopped.
  void Execute(std::stop_token stop);
  // One pass; never raises. Failures are logged and roll the open transaction back. Counts
  // the pass when metrics are kept.
  void AtualizarSessoes(std::stop_token stop);
  // The pass's work; returns the message of the first session that failed for its own data
  // (logged, rolled back and left open for the next pass), empty when none did. A failure of
  // the database raises.
  std::string RunPass(std::stop_token stop);
  // Keeps in cdsSessoes only the sessions of vehicles where the pass has something to do: a
  // row of a session's span whose driver or groupings differ from the session's, or a
  // session that is complete. The others would write nothing, and their transactions would
  // cost a commit each. All sessions of such a vehicle are kept, in their order, so that
  // overlapping sessions still end as the last one in the pass leaves them.
  void KeepSessionsWithWork(DbConnection& connection);
  // Reads which sessions are complete: the vehicle has both a statistics row and an alarm row
  // after the session's end, so no later data can fall into its span any more. Read once,
  // with the open sessions, instead of two look-ups per session.
  void ReadCompleteSessions(DbConnection& connection);
  // One session in its own transaction: committed when every step succeeded, rolled back
  // (and the error raised again) when one failed.
  void ProcessSession(DbConnection& connection, const Session& session);
  // Up to `most` sessions of cdsSessoes from `next` in one transaction, committed; `next`
  // moves past each session as it is taken, so that it is past the transaction's sessions
  // also when their commit fails. A session that fails for its own data is undone alone (its
  // request, then, applied again statement by statement, its savepoint) and logged, its message kept in
  // `session_failure` when that is empty, and the others go on and commit; a failure of the
  // database raises. From the second session on, a stop ends the transaction early.
  void ProcessSessions(DbConnection& connection, std::size_t& next, std::size_t most, const std::stop_token& stop,
                       std::string& session_failure);
  // What sessions did in the database: sessions, of them moved to history, and the
  // statistics and alarm rows their stamping wrote.
  struct SessionWork {
    std::uint64_t sessions = 0;
    std::uint64_t completed = 0;
    std::uint64_t statistics_rows = 0;
    std::uint64_t alarm_rows = 0;
    SessionWork& operator+=(const SessionWork& other);
  };
  // A session's statements between its method lines, without the commit, into `work`;
  // raises when one fails.
  void ApplySession(DbConnection& connection, const Session& session, SessionWork& work);
  // As ApplySession, with the session's writes sent to the server in one request. false when
  // the session failed for its data: nothing of the attempt stays (its request undone, its
  // lines dropped, `work` empty), and the session is to be applied with ApplySession, whose
  // statements one by one give the failure its own step. Any other failure is raised.
  bool ApplyInOneRequest(DbConnection& connection, const Session& session, SessionWork& work);
  // Counts the work of a transaction once it is committed.
  void CountCommitted(const SessionWork& work);
  // The stamping, and the move to history once the session is complete; fills `work`.
  void ApplyAndComplete(DbConnection& connection, const Session& session, SessionWork& work);
  void LogarAtualizacao(std::string_view texto);
  // The failure's line, at the pass's last step.
  void LogFailure(const std::exception& error);
  void CountPass();

  const Settings& settings_;
  ConnectionManager& connections_;
  Schema& schema_;
  TVoradaLogger& log_atualizar_;
  ServiceMetrics* const metrics_;
  StepWatch* const steps_;

  AutoResetEvent wake_;
  // Used only by the worker thread: its connection (empty until the first pass and after
  // one was lost), the open sessions of the pass, the pass's last step text.
  PooledConnection connection_;
  std::vector<Session> cdsSessoes;
  std::unordered_set<std::int32_t> complete_sessions_;  // CODIGO of the complete ones
  std::string last_step_;
  std::uint64_t pass_sessions_ = 0;  // committed by the pass so far

  mutable std::mutex passes_mutex_;
  mutable std::condition_variable passes_changed_;
  std::uint64_t passes_ = 0;

  std::mutex stop_mutex_;  // serialises Stop calls
  WorkerThread thread_;    // last member: started when everything it uses exists
};

}  // namespace qit
