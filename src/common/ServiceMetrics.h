#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace qit {

// What the running service counts for the metrics endpoint. One object, owned by the data
// module and handed by reference (or pointer) to the parts that count: Enviar, both workers,
// the driver cache. Every counting member may be called from any thread at any time.
//
// It is also the collectable that the metrics endpoint scrapes: the families counted here,
// then the gauges read from their owners at scrape time (see SetGaugeReaders).
class ServiceMetrics final : public prometheus::Collectable {
 public:
  enum class Worker { kInsert, kProcessing };
  // What became of the insert worker's records: written with their row, dropped (vehicle not
  // found), given up on after too many failures (written to their file in the rejected
  // folder), or put back into the queue by the journal at start-up.
  enum class Records { kInserted, kDropped, kRejected, kRecovered };

  ServiceMetrics();
  ~ServiceMetrics() override;
  ServiceMetrics(const ServiceMetrics&) = delete;
  ServiceMetrics& operator=(const ServiceMetrics&) = delete;

  // One call of Enviar, on the company port it arrived on: its list was queued, or it was
  // answered with a fault; answer_time runs from the moment its request had been read whole
  // to its answer.
  void CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time);
  // One pass of a worker, how it ended and how long it took.
  void CountPass(Worker worker, bool ok, std::chrono::steady_clock::duration duration);
  void CountRecords(Records outcome, std::uint64_t records = 1);
  // The processing worker: open sessions read by its last pass, sessions its last pass
  // committed (stamped, and moved to history when complete), the statistics and alarm rows
  // its stamping statements wrote (committed; a row that already held the session's values
  // is not written), and sessions moved to history (exported too, when exporting is on).
  void SetOpenSessions(std::uint64_t sessions);
  void SetLastPassSessions(std::uint64_t sessions);
  void CountStampedRows(std::uint64_t statistics_rows, std::uint64_t alarm_rows);
  void CountSessionsCompleted(std::uint64_t sessions, bool exported);

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

  // Values that belong to other parts, read when the metrics are scraped. Set before the
  // first scrape; an empty reader gives 0.
  struct GaugeReaders {
    std::function<std::uint64_t()> queued_records;
    std::function<std::uint64_t()> journal_bytes;
    std::function<std::uint64_t()> http_connections_open;  // over the company listeners
  };
  void SetGaugeReaders(GaugeReaders readers) { gauge_readers_ = std::move(readers); }

  // A copy of the counted values.
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

  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  struct WorkerMetrics {
    prometheus::Counter* passes_ok = nullptr;
    prometheus::Counter* passes_failed = nullptr;
    prometheus::Counter* pass_seconds = nullptr;
    prometheus::Histogram* pass_duration = nullptr;
  };
  WorkerMetrics& Of(Worker worker) { return worker == Worker::kInsert ? insert_worker_ : processing_worker_; }

  const std::unique_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>& enviar_calls_family_;
  prometheus::Counter& records_inserted_;
  prometheus::Counter& records_dropped_;
  prometheus::Counter& records_rejected_;
  prometheus::Counter& records_recovered_;
  WorkerMetrics insert_worker_;
  WorkerMetrics processing_worker_;
  prometheus::Gauge& open_sessions_;
  prometheus::Gauge& last_pass_sessions_;
  prometheus::Counter* statistics_rows_stamped_ = nullptr;
  prometheus::Counter* alarm_rows_stamped_ = nullptr;
  prometheus::Counter& sessions_completed_;
  prometheus::Counter& exports_;
  prometheus::Gauge& last_database_failure_;
  prometheus::Histogram& enviar_duration_;
  GaugeReaders gauge_readers_;

  // The counter of every (port, queued) seen so far, bounded by the company ports.
  mutable std::mutex calls_mutex_;
  std::map<std::pair<int, bool>, prometheus::Counter*> enviar_calls_;

  mutable std::mutex database_mutex_;
  DatabaseAttempt last_database_attempt_;
};

// Upper bounds of the histogram buckets, in seconds. Enviar answers at once (the list is
// queued, or written to the journal, before the answer), so its buckets are fine below a
// second; a worker pass writes every record waiting, or every open session, and may take
// minutes after an outage.
inline constexpr double kEnviarDurationBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                    0.1,    0.25,  0.5,    1,     2.5,  5,     10};
inline constexpr double kWorkerPassDurationBuckets[] = {0.01, 0.05, 0.1, 0.25, 0.5, 1,   2.5,
                                                        5,    10,   30,  60,   120, 300, 600};

// A family of one sample without labels: a gauge, or a counter whose value is read from
// elsewhere.
prometheus::MetricFamily SingleSampleFamily(std::string name, std::string help, prometheus::MetricType type,
                                            double value);

// The content type of MetricsText.
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4";

// The families of every source, in the text exposition format 0.0.4: for every family a
// "# HELP" and a "# TYPE" line, then its samples, one a line, in the order of their labels.
std::string MetricsText(std::span<const prometheus::Collectable* const> sources);

}  // namespace qit
