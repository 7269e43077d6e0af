#include "common/ServiceMetrics.h"

#include <algorithm>
#include <iterator>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace qit {

namespace {

using prometheus::Counter;
using prometheus::Gauge;
using prometheus::Histogram;
using prometheus::Registry;

Counter& SingleCounter(Registry& registry, const std::string& name, const std::string& help) {
  return prometheus::BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

Gauge& SingleGauge(Registry& registry, const std::string& name, const std::string& help) {
  return prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

Histogram::BucketBoundaries Buckets(std::span<const double> bounds) { return {bounds.begin(), bounds.end()}; }

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::max(0.0, std::chrono::duration<double>(duration).count());
}

std::uint64_t Count(const Counter& counter) { return static_cast<std::uint64_t>(counter.Value()); }

}  // namespace

// Every family is registered here, so that a scrape shows each of them (at zero) from the
// start; only the Enviar calls get a sample per port and outcome as they happen.
ServiceMetrics::ServiceMetrics()
    : registry_(std::make_unique<Registry>()),
      enviar_calls_family_(prometheus::BuildCounter()
                               .Name("qit_enviar_calls_total")
                               .Help("Calls of Enviar by company port and outcome.")
                               .Register(*registry_)),
      records_inserted_(SingleCounter(*registry_, "qit_records_inserted_total",
                                      "Records written to the database by the insert worker.")),
      records_dropped_(SingleCounter(*registry_, "qit_records_dropped_total",
                                     "Records dropped because their vehicle was not found.")),
      records_rejected_(SingleCounter(*registry_, "qit_records_rejected_total",
                                      "Records given up on after repeated failures and written to the rejected folder.")),
      records_recovered_(SingleCounter(*registry_, "qit_records_recovered_total",
                                       "Records the journal put back into the send queue at start-up.")),
      open_sessions_(
          SingleGauge(*registry_, "qit_open_sessions", "Open sessions found by the processing worker's last pass.")),
      last_pass_sessions_(SingleGauge(
          *registry_, "qit_last_pass_sessions",
          "Sessions the processing worker's last pass committed: stamped, and moved to history when complete.")),
      sessions_completed_(SingleCounter(*registry_, "qit_sessions_completed_total",
                                        "Sessions moved to history by the processing worker.")),
      exports_(SingleCounter(*registry_, "qit_exports_total", "Sessions exported by the processing worker.")),
      last_database_failure_(
          SingleGauge(*registry_, "qit_last_database_failure_timestamp_seconds",
                      "Time of the last failed database attempt, in unix seconds; 0 when none failed.")),
      enviar_duration_(prometheus::BuildHistogram()
                           .Name("qit_enviar_duration_seconds")
                           .Help("Time from a call of Enviar read whole to its answer, queued or fault, in seconds.")
                           .Register(*registry_)
                           .Add({}, Buckets(kEnviarDurationBuckets))) {
  auto& passes = prometheus::BuildCounter()
                     .Name("qit_worker_passes_total")
                     .Help("Passes of the workers by result.")
                     .Register(*registry_);
  auto& pass_seconds = prometheus::BuildCounter()
                           .Name("qit_worker_pass_seconds_total")
                           .Help("Time the workers spent in their passes, in seconds.")
                           .Register(*registry_);
  auto& pass_duration = prometheus::BuildHistogram()
                            .Name("qit_worker_pass_duration_seconds")
                            .Help("Time each pass of a worker took, in seconds.")
                            .Register(*registry_);
  const auto worker = [&](const std::string& name) {
    return WorkerMetrics{
        &passes.Add({{"worker", name}, {"result", "ok"}}),
        &passes.Add({{"worker", name}, {"result", "failed"}}),
        &pass_seconds.Add({{"worker", name}}),
        &pass_duration.Add({{"worker", name}}, Buckets(kWorkerPassDurationBuckets)),
    };
  };
  insert_worker_ = worker("insert");
  processing_worker_ = worker("processing");
  auto& stamped_rows = prometheus::BuildCounter()
                           .Name("qit_stamped_rows_total")
                           .Help("Rows the processing worker wrote with a session's driver and groupings, by table; "
                                 "rows that already held them are not written.")
                           .Register(*registry_);
  statistics_rows_stamped_ = &stamped_rows.Add({{"table", "statistics"}});
  alarm_rows_stamped_ = &stamped_rows.Add({{"table", "alarms"}});
}

ServiceMetrics::~ServiceMetrics() = default;

void ServiceMetrics::CountEnviar(int port, bool queued, std::chrono::steady_clock::duration answer_time) {
  Counter* calls;
  {
    std::lock_guard lock(calls_mutex_);
    auto known = enviar_calls_.find({port, queued});
    if (known == enviar_calls_.end()) {
      Counter& added =
          enviar_calls_family_.Add({{"port", std::to_string(port)}, {"outcome", queued ? "queued" : "fault"}});
      known = enviar_calls_.emplace(std::pair{port, queued}, &added).first;
    }
    calls = known->second;
  }
  calls->Increment();
  enviar_duration_.Observe(Seconds(answer_time));
}

void ServiceMetrics::CountPass(Worker worker, bool ok, std::chrono::steady_clock::duration duration) {
  const WorkerMetrics& metrics = Of(worker);
  (ok ? metrics.passes_ok : metrics.passes_failed)->Increment();
  const double seconds = Seconds(duration);
  metrics.pass_seconds->Increment(seconds);
  metrics.pass_duration->Observe(seconds);
}

void ServiceMetrics::CountRecords(Records outcome, std::uint64_t records) {
  Counter* const counters[] = {&records_inserted_, &records_dropped_, &records_rejected_, &records_recovered_};
  counters[static_cast<int>(outcome)]->Increment(static_cast<double>(records));
}

void ServiceMetrics::SetOpenSessions(std::uint64_t sessions) { open_sessions_.Set(static_cast<double>(sessions)); }

void ServiceMetrics::SetLastPassSessions(std::uint64_t sessions) {
  last_pass_sessions_.Set(static_cast<double>(sessions));
}

void ServiceMetrics::CountStampedRows(std::uint64_t statistics_rows, std::uint64_t alarm_rows) {
  statistics_rows_stamped_->Increment(static_cast<double>(statistics_rows));
  alarm_rows_stamped_->Increment(static_cast<double>(alarm_rows));
}

void ServiceMetrics::CountSessionsCompleted(std::uint64_t sessions, bool exported) {
  sessions_completed_.Increment(static_cast<double>(sessions));
  if (exported) exports_.Increment(static_cast<double>(sessions));
}

void ServiceMetrics::DatabaseSucceeded() noexcept {
  std::lock_guard lock(database_mutex_);
  last_database_attempt_.attempted = true;
  last_database_attempt_.ok = true;
  last_database_attempt_.error.clear();
}

void ServiceMetrics::DatabaseFailed(std::string_view error, std::chrono::system_clock::time_point when) noexcept {
  last_database_failure_.Set(
      static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count()));
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

ServiceMetrics::Snapshot ServiceMetrics::Read() const {
  Snapshot snapshot;
  {
    std::lock_guard lock(calls_mutex_);
    for (const auto& [key, calls] : enviar_calls_) snapshot.enviar_calls[key] = Count(*calls);
  }
  const auto worker = [](const WorkerMetrics& metrics) {
    return WorkerSnapshot{Count(*metrics.passes_ok), Count(*metrics.passes_failed), metrics.pass_seconds->Value()};
  };
  snapshot.records_inserted = Count(records_inserted_);
  snapshot.records_dropped = Count(records_dropped_);
  snapshot.records_rejected = Count(records_rejected_);
  snapshot.records_recovered = Count(records_recovered_);
  snapshot.insert_worker = worker(insert_worker_);
  snapshot.processing_worker = worker(processing_worker_);
  snapshot.open_sessions = static_cast<std::uint64_t>(open_sessions_.Value());
  snapshot.last_pass_sessions = static_cast<std::uint64_t>(last_pass_sessions_.Value());
  snapshot.sessions_completed = Count(sessions_completed_);
  snapshot.exports = Count(exports_);
  snapshot.statistics_rows_stamped = Count(*statistics_rows_stamped_);
  snapshot.alarm_rows_stamped = Count(*alarm_rows_stamped_);
  snapshot.last_database_failure = static_cast<std::int64_t>(last_database_failure_.Value());
  return snapshot;
}

std::vector<prometheus::MetricFamily> ServiceMetrics::Collect() const {
  std::vector<prometheus::MetricFamily> families = registry_->Collect();
  const auto read = [](const std::function<std::uint64_t()>& reader) {
    return reader ? static_cast<double>(reader()) : 0.0;
  };
  families.push_back(SingleSampleFamily("qit_queue_records", "Records in the send queue, waiting or being written.",
                                        prometheus::MetricType::Gauge, read(gauge_readers_.queued_records)));
  families.push_back(SingleSampleFamily("qit_queue_journal_bytes", "Bytes of the send queue's journal files on disk.",
                                        prometheus::MetricType::Gauge, read(gauge_readers_.journal_bytes)));
  families.push_back(SingleSampleFamily("qit_http_connections_open", "HTTP connections open on the company ports.",
                                        prometheus::MetricType::Gauge, read(gauge_readers_.http_connections_open)));
  return families;
}

prometheus::MetricFamily SingleSampleFamily(std::string name, std::string help, prometheus::MetricType type,
                                            double value) {
  prometheus::MetricFamily family;
  family.name = std::move(name);
  family.help = std::move(help);
  family.type = type;
  prometheus::ClientMetric& sample = family.metric.emplace_back();
  (type == prometheus::MetricType::Counter ? sample.counter.value : sample.gauge.value) = value;
  return family;
}

std::string MetricsText(std::span<const prometheus::Collectable* const> sources) {
  std::vector<prometheus::MetricFamily> families;
  for (const prometheus::Collectable* source : sources) {
    std::vector<prometheus::MetricFamily> collected = source->Collect();
    std::move(collected.begin(), collected.end(), std::back_inserter(families));
  }
  // The client library keeps a family's samples in no particular order: sorted, two scrapes
  // of the same state read the same.
  for (prometheus::MetricFamily& family : families)
    std::sort(family.metric.begin(), family.metric.end(),
              [](const prometheus::ClientMetric& a, const prometheus::ClientMetric& b) { return a.label < b.label; });
  return prometheus::TextSerializer().Serialize(families);
}

}  // namespace qit
