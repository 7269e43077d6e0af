// The service's counters and their text exposition.
#include "common/ServiceMetrics.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace qit {
namespace {

using namespace std::chrono_literals;
using Worker = ServiceMetrics::Worker;
using Records = ServiceMetrics::Records;

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string Scrape(const ServiceMetrics& metrics) {
  const prometheus::Collectable* sources[] = {&metrics};
  return MetricsText(sources);
}

TEST(ServiceMetricsTest, AKnownStateGivesItsExactSampleLines) {
  ServiceMetrics metrics;
  metrics.CountEnviar(10167, true, 1ms);
  metrics.CountEnviar(10166, true, 1ms);
  metrics.CountEnviar(10166, true, 1ms);
  metrics.CountEnviar(10166, false, 1ms);
  metrics.CountPass(Worker::kInsert, true, 250ms);
  metrics.CountPass(Worker::kInsert, false, 1500ms);
  metrics.CountPass(Worker::kProcessing, true, 2s);
  metrics.CountRecords(Records::kInserted, 7);
  metrics.CountRecords(Records::kDropped, 2);
  metrics.CountRecords(Records::kRejected);
  metrics.CountRecords(Records::kRecovered, 4);
  metrics.SetOpenSessions(3);
  metrics.CountSessionsCompleted(2, true);
  metrics.CountSessionsCompleted(3, true);
  metrics.CountSessionsCompleted(1, false);
  metrics.SetLastPassSessions(3);
  metrics.CountStampedRows(30, 6);
  metrics.CountStampedRows(10, 0);
  metrics.DatabaseFailed("lost", std::chrono::system_clock::time_point(1'700'000'000s));
  metrics.SetGaugeReaders({.queued_records = [] { return std::uint64_t{12}; },
                           .journal_bytes = [] { return std::uint64_t{4096}; },
                           .http_connections_open = [] { return std::uint64_t{2}; }});
  const std::string text = Scrape(metrics);

  const char* expected[] = {
      // Every port/outcome counted, and no line for one never counted.
      "qit_enviar_calls_total{outcome=\"fault\",port=\"10166\"} 1",
      "qit_enviar_calls_total{outcome=\"queued\",port=\"10166\"} 2",
      "qit_enviar_calls_total{outcome=\"queued\",port=\"10167\"} 1",
      "qit_queue_records 12",
      "qit_queue_journal_bytes 4096",
      "qit_records_inserted_total 7",
      "qit_records_dropped_total 2",
      "qit_records_rejected_total 1",
      "qit_records_recovered_total 4",
      "qit_worker_passes_total{result=\"ok\",worker=\"insert\"} 1",
      "qit_worker_passes_total{result=\"failed\",worker=\"insert\"} 1",
      "qit_worker_passes_total{result=\"ok\",worker=\"processing\"} 1",
      "qit_worker_passes_total{result=\"failed\",worker=\"processing\"} 0",
      "qit_worker_pass_seconds_total{worker=\"insert\"} 1.75",
      "qit_worker_pass_seconds_total{worker=\"processing\"} 2",
      "qit_open_sessions 3",
      "qit_last_pass_sessions 3",
      "qit_stamped_rows_total{table=\"statistics\"} 40",
      "qit_stamped_rows_total{table=\"alarms\"} 6",
      "qit_sessions_completed_total 6",
      "qit_exports_total 5",
      "qit_last_database_failure_timestamp_seconds 1700000000",
      "qit_http_connections_open 2",
      "qit_enviar_duration_seconds_count 4",
      "qit_worker_pass_duration_seconds_count{worker=\"insert\"} 2",
      "qit_worker_pass_duration_seconds_count{worker=\"processing\"} 1",
      "# TYPE qit_enviar_calls_total counter",
      "# TYPE qit_queue_records gauge",
      "# TYPE qit_last_database_failure_timestamp_seconds gauge",
      "# TYPE qit_enviar_duration_seconds histogram",
      "# TYPE qit_worker_pass_duration_seconds histogram",
  };
  for (const char* line : expected) EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
  EXPECT_EQ(text.find("outcome=\"fault\",port=\"10167\""), std::string::npos);
  // The samples of a family come in the order of their labels, whatever order they were
  // counted in: two scrapes of one state read the same.
  EXPECT_LT(text.find("outcome=\"queued\",port=\"10166\""), text.find("outcome=\"queued\",port=\"10167\""));
  EXPECT_EQ(Scrape(metrics), text);
}

// An observation lands in the first bucket whose bound holds it (a bound is inclusive), and
// in every larger one; _count and _sum take every observation; the workers keep apart.
TEST(ServiceMetricsTest, HistogramsCountEachObservationInItsBucket) {
  ServiceMetrics metrics;
  metrics.CountEnviar(10166, true, 3ms);
  metrics.CountEnviar(10166, false, 5ms);  // on the bound
  metrics.CountEnviar(10166, true, 20s);   // past the last bound
  metrics.CountPass(Worker::kProcessing, true, 2s);
  metrics.CountPass(Worker::kProcessing, false, 700s);
  metrics.CountPass(Worker::kInsert, true, 40ms);
  const std::string text = Scrape(metrics);

  const char* expected[] = {
      "qit_enviar_duration_seconds_bucket{le=\"0.0025\"} 0",
      "qit_enviar_duration_seconds_bucket{le=\"0.005\"} 2",
      "qit_enviar_duration_seconds_bucket{le=\"10\"} 2",
      "qit_enviar_duration_seconds_bucket{le=\"+Inf\"} 3",
      "qit_enviar_duration_seconds_count 3",
      "qit_enviar_duration_seconds_sum 20.008",
      "qit_worker_pass_duration_seconds_bucket{worker=\"processing\",le=\"1\"} 0",
      "qit_worker_pass_duration_seconds_bucket{worker=\"processing\",le=\"2.5\"} 1",
      "qit_worker_pass_duration_seconds_bucket{worker=\"processing\",le=\"600\"} 1",
      "qit_worker_pass_duration_seconds_bucket{worker=\"processing\",le=\"+Inf\"} 2",
      "qit_worker_pass_duration_seconds_count{worker=\"processing\"} 2",
      "qit_worker_pass_duration_seconds_sum{worker=\"processing\"} 702",
      "qit_worker_pass_duration_seconds_bucket{worker=\"insert\",le=\"0.01\"} 0",
      "qit_worker_pass_duration_seconds_bucket{worker=\"insert\",le=\"0.05\"} 1",
      "qit_worker_pass_duration_seconds_count{worker=\"insert\"} 1",
  };
  for (const char* line : expected) EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
}

// Every sample follows the HELP and TYPE lines of its own family; counters end in _total,
// histogram samples are the family's _bucket (with "le"), _sum and _count, and every name is
// snake case with the prefix.
TEST(ServiceMetricsTest, EverySampleBelongsToADeclaredFamily) {
  ServiceMetrics metrics;
  metrics.CountEnviar(1, false, 1ms);
  const std::string text = Scrape(metrics);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.back(), '\n');
  std::istringstream lines(text);
  std::string line, helped, typed, type;
  std::set<std::string> families;
  while (std::getline(lines, line)) {
    SCOPED_TRACE(line);
    std::istringstream words(line);
    if (line.rfind("# HELP ", 0) == 0) {
      std::string hash, help;
      words >> hash >> help >> helped;
      EXPECT_TRUE(families.insert(helped).second) << "declared twice";
      continue;
    }
    if (line.rfind("# TYPE ", 0) == 0) {
      std::string hash, word;
      words >> hash >> word >> typed >> type;
      EXPECT_EQ(typed, helped);
      EXPECT_TRUE(type == "counter" || type == "gauge" || type == "histogram");
      EXPECT_EQ(type == "counter", typed.size() > 6 && typed.ends_with("_total"));
      continue;
    }
    const std::string name = line.substr(0, line.find_first_of("{ "));
    if (type == "histogram") {
      EXPECT_TRUE(name == typed + "_bucket" || name == typed + "_sum" || name == typed + "_count");
      EXPECT_EQ(name == typed + "_bucket", line.find("le=\"") != std::string::npos);
    } else {
      EXPECT_EQ(name, typed);
    }
    EXPECT_EQ(name.rfind("qit_", 0), 0u);
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos);
  }
  EXPECT_EQ(families.size(), 18u);
}

// Threads count and scrape at once: nothing is lost and the last database outcome is whole.
TEST(ServiceMetricsTest, CountsFromManyThreadsAddUp) {
  ServiceMetrics metrics;
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&metrics, t] {
      for (int i = 0; i < 1000; ++i) {
        metrics.CountEnviar(10166 + i % 2, i % 3 != 0, 1ms);
        metrics.CountPass(t % 2 ? Worker::kInsert : Worker::kProcessing, true, 1ms);
        metrics.CountRecords(Records::kInserted);
        if (i % 2) metrics.DatabaseFailed("falha " + std::to_string(t));
        else metrics.DatabaseSucceeded();
        if (i % 100 == 0) (void)Scrape(metrics);
        (void)metrics.Read();
        (void)metrics.LastDatabaseAttempt();
      }
    });
  threads.clear();
  const ServiceMetrics::Snapshot snapshot = metrics.Read();
  std::uint64_t calls = 0;
  for (const auto& [key, count] : snapshot.enviar_calls) calls += count;
  EXPECT_EQ(calls, 4000u);
  EXPECT_EQ(snapshot.records_inserted, 4000u);
  EXPECT_EQ(snapshot.insert_worker.passes_ok + snapshot.processing_worker.passes_ok, 4000u);
  // Seconds add up as floating point: exact to far below a microsecond.
  EXPECT_NEAR(snapshot.insert_worker.pass_seconds + snapshot.processing_worker.pass_seconds, 4.0, 1e-9);
  const std::string text = Scrape(metrics);
  EXPECT_TRUE(HasLine(text, "qit_enviar_duration_seconds_count 4000")) << text;
  const ServiceMetrics::DatabaseAttempt last = metrics.LastDatabaseAttempt();
  EXPECT_TRUE(last.attempted);
  EXPECT_EQ(last.ok, last.error.empty());
}

}  // namespace
}  // namespace qit
