#include "common/ServiceMetrics.h"

#include <iterator>

#include <fmt/format.h>

namespace qit {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

template <typename... Args>
void Append(std::string& out, fmt::format_string<Args...> format, Args&&... arguments) {
  fmt::format_to(std::back_inserter(out), format, std::forward<Args>(arguments)...);
}

// Appends the "# HELP" and "# TYPE" lines of a metric.
void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  Append(out, "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

// A metric with one sample and no labels.
void Single(std::string& out, std::string_view name, std::string_view type, std::string_view help,
            std::uint64_t value) {
  Family(out, name, type, help);
  Append(out, "{} {}\n", name, value);
}

}  // namespace

void ServiceMetrics::CountEnviar(int port, bool queued) {
  std::lock_guard lock(calls_mutex_);
  ++enviar_calls_[{port, queued}];
}

void ServiceMetrics::CountPass(Worker worker, bool ok, std::chrono::steady_clock::duration duration) {
  WorkerCounters& counters = worker == Worker::kInsert ? insert_worker_ : processing_worker_;
  (ok ? counters.passes_ok : counters.passes_failed).fetch_add(1, kRelaxed);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  counters.pass_nanoseconds.fetch_add(nanoseconds > 0 ? static_cast<std::uint64_t>(nanoseconds) : 0, kRelaxed);
}

void ServiceMetrics::DatabaseSucceeded() noexcept {
  std::lock_guard lock(database_mutex_);
  last_database_attempt_.attempted = true;
  last_database_attempt_.ok = true;
  last_database_attempt_.error.clear();
}

void ServiceMetrics::DatabaseFailed(std::string_view error, std::chrono::system_clock::time_point when) noexcept {
  last_database_failure_.store(std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count(),
                               kRelaxed);
  std::lock_guard lock(database_mutex_);
  last_database_attempt_.attempted = true;
  last_database_attempt_.ok = false;
  try {
    last_database_attempt_.error.assign(error);
  } catch (const std::exception&) {
    last_database_attempt_.error.clear();  // no memory for the text: the failure stands without it
  }
}

ServiceMetrics::DatabaseAttempt ServiceMetrics::LastDatabaseAttempt() const {
  std::lock_guard lock(database_mutex_);
  return last_database_attempt_;
}

ServiceMetrics::WorkerSnapshot ServiceMetrics::WorkerCounters::Read() const {
  return {passes_ok.load(kRelaxed), passes_failed.load(kRelaxed),
          static_cast<double>(pass_nanoseconds.load(kRelaxed)) / 1e9};
}

ServiceMetrics::Snapshot ServiceMetrics::Read() const {
  Snapshot snapshot;
  {
    std::lock_guard lock(calls_mutex_);
    snapshot.enviar_calls = enviar_calls_;
  }
  snapshot.records_inserted = records_inserted.load(kRelaxed);
  snapshot.records_dropped = records_dropped.load(kRelaxed);
  snapshot.records_rejected = records_rejected.load(kRelaxed);
  snapshot.records_recovered = records_recovered.load(kRelaxed);
  snapshot.insert_worker = insert_worker_.Read();
  snapshot.processing_worker = processing_worker_.Read();
  snapshot.open_sessions = open_sessions.load(kRelaxed);
  snapshot.last_pass_sessions = last_pass_sessions.load(kRelaxed);
  snapshot.sessions_completed = sessions_completed.load(kRelaxed);
  snapshot.exports = exports.load(kRelaxed);
  snapshot.statistics_rows_stamped = statistics_rows_stamped.load(kRelaxed);
  snapshot.alarm_rows_stamped = alarm_rows_stamped.load(kRelaxed);
  snapshot.last_database_failure = last_database_failure_.load(kRelaxed);
  return snapshot;
}

std::string MetricsText(const ServiceMetrics::Snapshot& counters, const MetricsGauges& gauges) {
  std::string out;

  // Label values are port numbers and fixed words: nothing in them needs escaping.
  Family(out, "qit_enviar_calls_total", "counter", "Calls of Enviar by company port and outcome.");
  for (const auto& [key, calls] : counters.enviar_calls)
    Append(out, "qit_enviar_calls_total{{port=\"{}\",outcome=\"{}\"}} {}\n", key.first, key.second ? "queued" : "fault",
           calls);

  Single(out, "qit_queue_records", "gauge", "Records in the send queue, waiting or being written.",
         gauges.queued_records);
  Single(out, "qit_queue_journal_bytes", "gauge", "Bytes of the send queue's journal files on disk.",
         gauges.journal_bytes);
  Single(out, "qit_records_inserted_total", "counter", "Records written to the database by the insert worker.",
         counters.records_inserted);
  Single(out, "qit_records_dropped_total", "counter", "Records dropped because their vehicle was not found.",
         counters.records_dropped);
  Single(out, "qit_records_rejected_total", "counter",
         "Records given up on after repeated failures and written to the rejected folder.", counters.records_rejected);
  Single(out, "qit_records_recovered_total", "counter",
         "Records the journal put back into the send queue at start-up.", counters.records_recovered);

  const std::pair<const char*, const ServiceMetrics::WorkerSnapshot*> workers[] = {
      {"insert", &counters.insert_worker}, {"processing", &counters.processing_worker}};
  Family(out, "qit_worker_passes_total", "counter", "Passes of the workers by result.");
  for (const auto& [name, worker] : workers) {
    Append(out, "qit_worker_passes_total{{worker=\"{}\",result=\"ok\"}} {}\n", name, worker->passes_ok);
    Append(out, "qit_worker_passes_total{{worker=\"{}\",result=\"failed\"}} {}\n", name, worker->passes_failed);
  }
  Family(out, "qit_worker_pass_seconds_total", "counter", "Time the workers spent in their passes, in seconds.");
  for (const auto& [name, worker] : workers)
    Append(out, "qit_worker_pass_seconds_total{{worker=\"{}\"}} {}\n", name, worker->pass_seconds);

  Single(out, "qit_open_sessions", "gauge", "Open sessions found by the processing worker's last pass.",
         counters.open_sessions);
  Single(out, "qit_last_pass_sessions", "gauge",
         "Sessions the processing worker's last pass committed: stamped, and moved to history when complete.",
         counters.last_pass_sessions);
  Family(out, "qit_stamped_rows_total", "counter",
         "Rows the processing worker wrote with a session's driver and groupings, by table; rows that already "
         "held them are not written.");
  Append(out, "qit_stamped_rows_total{{table=\"statistics\"}} {}\n", counters.statistics_rows_stamped);
  Append(out, "qit_stamped_rows_total{{table=\"alarms\"}} {}\n", counters.alarm_rows_stamped);
  Single(out, "qit_sessions_completed_total", "counter", "Sessions moved to history by the processing worker.",
         counters.sessions_completed);
  Single(out, "qit_exports_total", "counter", "Sessions exported by the processing worker.", counters.exports);
  Family(out, "qit_last_database_failure_timestamp_seconds", "gauge",
         "Time of the last failed database attempt, in unix seconds; 0 when none failed.");
  Append(out, "qit_last_database_failure_timestamp_seconds {}\n", counters.last_database_failure);
  Single(out, "qit_http_connections_open", "gauge", "HTTP connections open on the company ports.",
         gauges.http_connections_open);
  return out;
}

}  // namespace qit
