#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace qit {

// What the running service counts for the metrics endpoint. One object, owned by the data
// module and handed by reference (or pointer) to the parts that count: Enviar, both workers,
// the driver cache. Every member may be touched from any thread; the counters are atomics,
// and only the calls by port and the last database attempt take a short lock.
class ServiceMetrics {
 public:
  enum class Worker { kInsert, kProcessing };

  // One call of Enviar, on the company port it arrived on: its list was queued, or it was
  // answered with a fault.
  void CountEnviar(int port, bool queued);
  // One pass of a worker, how it ended and how long it took.
  void CountPass(Worker worker, bool ok, std::chrono::steady_clock::duration duration);

  // The outcome of the latest piece of work against the database (a worker's pass, the
  // driver cache's load). A failure also sets the time of the last database failure.
  void DatabaseSucceeded() noexcept;
  void DatabaseFailed(std::string_view error,
                      std::chrono::system_clock::time_point when = std::chrono::system_clock::now()) noexcept;

  struct DatabaseAttempt {
    bool attempted = false;  // false until the first outcome
    bool ok = false;
    std::string error;       // of the failure, when !ok
  };
  DatabaseAttempt LastDatabaseAttempt() const;

  // Records of the insert worker: written with their row, dropped (vehicle not found), given
  // up on after too many failures (written to their file in the rejected folder), and those
  // the journal put back into the queue at start-up.
  std::atomic<std::uint64_t> records_inserted{0};
  std::atomic<std::uint64_t> records_dropped{0};
  std::atomic<std::uint64_t> records_rejected{0};
  std::atomic<std::uint64_t> records_recovered{0};
  // The processing worker: open sessions read by its last pass, sessions its last pass
  // committed (stamped, and moved to history when complete), sessions moved to history,
  // sessions exported, and the statistics and alarm rows its stamping statements wrote
  // (committed; a row that already held the session's values is not written).
  std::atomic<std::uint64_t> open_sessions{0};
  std::atomic<std::uint64_t> last_pass_sessions{0};
  std::atomic<std::uint64_t> sessions_completed{0};
  std::atomic<std::uint64_t> exports{0};
  std::atomic<std::uint64_t> statistics_rows_stamped{0};
  std::atomic<std::uint64_t> alarm_rows_stamped{0};

  // A copy of every value, for one scrape.
  struct WorkerSnapshot {
    std::uint64_t passes_ok = 0;
    std::uint64_t passes_failed = 0;
    double pass_seconds = 0;
  };
  struct Snapshot {
    std::map<std::pair<int, bool>, std::uint64_t> enviar_calls;  // (port, queued) -> calls
    std::uint64_t records_inserted = 0;
    std::uint64_t records_dropped = 0;
    std::uint64_t records_rejected = 0;
    std::uint64_t records_recovered = 0;
    WorkerSnapshot insert_worker;
    WorkerSnapshot processing_worker;
    std::uint64_t open_sessions = 0;
    std::uint64_t last_pass_sessions = 0;
    std::uint64_t sessions_completed = 0;
    std::uint64_t exports = 0;
    std::uint64_t statistics_rows_stamped = 0;
    std::uint64_t alarm_rows_stamped = 0;
    std::int64_t last_database_failure = 0;  // unix seconds; 0: none
  };
  Snapshot Read() const;

 private:
  struct WorkerCounters {
    std::atomic<std::uint64_t> passes_ok{0};
    std::atomic<std::uint64_t> passes_failed{0};
    std::atomic<std::uint64_t> pass_nanoseconds{0};
    WorkerSnapshot Read() const;
  };

  WorkerCounters insert_worker_;
  WorkerCounters processing_worker_;
  std::atomic<std::int64_t> last_database_failure_{0};

  mutable std::mutex calls_mutex_;
  std::map<std::pair<int, bool>, std::uint64_t> enviar_calls_;  // bounded by the company ports

  mutable std::mutex database_mutex_;
  DatabaseAttempt last_database_attempt_;
};

// Values read from their owners at scrape time.
struct MetricsGauges {
  std::uint64_t queued_records = 0;
  std::uint64_t journal_bytes = 0;
  std::uint64_t http_connections_open = 0;  // over the company listeners
};

// The content type of MetricsText.
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4";

// The metrics in the text exposition format 0.0.4: for every metric a "# HELP" and a
// "# TYPE" line, then its samples, one a line.
std::string MetricsText(const ServiceMetrics::Snapshot& counters, const MetricsGauges& gauges);

}  // namespace qit
