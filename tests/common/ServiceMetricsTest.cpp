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

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(ServiceMetricsTest, AKnownStateGivesItsExactSampleLines) {
  ServiceMetrics metrics;
  metrics.CountEnviar(10167, true);
  metrics.CountEnviar(10166, true);
  metrics.CountEnviar(10166, true);
  metrics.CountEnviar(10166, false);
  metrics.CountPass(ServiceMetrics::Worker::kInsert, true, 250ms);
  metrics.CountPass(ServiceMetrics::Worker::kInsert, false, 1500ms);
  metrics.CountPass(ServiceMetrics::Worker::kProcessing, true, 2s);
  metrics.records_inserted = 7;
  metrics.records_dropped = 2;
  metrics.records_rejected = 1;
  metrics.records_recovered = 4;
  metrics.open_sessions = 3;
  metrics.sessions_completed = 5;
  metrics.exports = 5;
  metrics.last_pass_sessions = 3;
  metrics.statistics_rows_stamped = 40;
  metrics.alarm_rows_stamped = 6;
  metrics.DatabaseFailed("lost", std::chrono::system_clock::time_point(1'700'000'000s));
  const std::string text = MetricsText(metrics.Read(), MetricsGauges{12, 4096, 2});

  const char* expected[] = {
      // Ports in order, each with its outcomes; a port/outcome never counted has no line.
      "qit_enviar_calls_total{port=\"10166\",outcome=\"fault\"} 1",
      "qit_enviar_calls_total{port=\"10166\",outcome=\"queued\"} 2",
      "qit_enviar_calls_total{port=\"10167\",outcome=\"queued\"} 1",
      "qit_queue_records 12",
      "qit_queue_journal_bytes 4096",
      "qit_records_inserted_total 7",
      "qit_records_dropped_total 2",
      "qit_records_rejected_total 1",
      "qit_records_recovered_total 4",
      "qit_worker_passes_total{worker=\"insert\",result=\"ok\"} 1",
      "qit_worker_passes_total{worker=\"insert\",result=\"failed\"} 1",
      "qit_worker_passes_total{worker=\"processing\",result=\"ok\"} 1",
      "qit_worker_passes_total{worker=\"processing\",result=\"failed\"} 0",
      "qit_worker_pass_seconds_total{worker=\"insert\"} 1.75",
      "qit_worker_pass_seconds_total{worker=\"processing\"} 2",
      "qit_open_sessions 3",
      "qit_last_pass_sessions 3",
      "qit_stamped_rows_total{table=\"statistics\"} 40",
      "qit_stamped_rows_total{table=\"alarms\"} 6",
      "qit_sessions_completed_total 5",
      "qit_exports_total 5",
      "qit_last_database_failure_timestamp_seconds 1700000000",
      "qit_http_connections_open 2",
      "# TYPE qit_enviar_calls_total counter",
      "# TYPE qit_queue_records gauge",
      "# TYPE qit_last_database_failure_timestamp_seconds gauge",
  };
  for (const char* line : expected) EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
  EXPECT_EQ(text.find("port=\"10167\",outcome=\"fault\""), std::string::npos);
  EXPECT_LT(text.find("port=\"10166\",outcome=\"queued\""), text.find("port=\"10167\""));
}

// Every sample follows the HELP and TYPE lines of its own metric; counters end in _total and
// every name is snake case with the prefix.
TEST(ServiceMetricsTest, EverySampleBelongsToADeclaredFamily) {
  ServiceMetrics metrics;
  metrics.CountEnviar(1, false);
  const std::string text = MetricsText(metrics.Read(), {});
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
      EXPECT_TRUE(type == "counter" || type == "gauge");
      EXPECT_EQ(type == "counter", typed.size() > 6 && typed.ends_with("_total"));
      continue;
    }
    const std::string name = line.substr(0, line.find_first_of("{ "));
    EXPECT_EQ(name, typed);
    EXPECT_EQ(name.rfind("qit_", 0), 0u);
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos);
  }
  EXPECT_EQ(families.size(), 16u);
}

// Threads count at once: nothing is lost and the last database outcome is whole.
TEST(ServiceMetricsTest, CountsFromManyThreadsAddUp) {
  ServiceMetrics metrics;
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&metrics, t] {
      for (int i = 0; i < 1000; ++i) {
        metrics.CountEnviar(10166 + i % 2, i % 3 != 0);
        metrics.CountPass(t % 2 ? ServiceMetrics::Worker::kInsert : ServiceMetrics::Worker::kProcessing, true, 1ms);
        ++metrics.records_inserted;
        if (i % 2) metrics.DatabaseFailed("falha " + std::to_string(t));
        else metrics.DatabaseSucceeded();
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
  EXPECT_DOUBLE_EQ(snapshot.insert_worker.pass_seconds + snapshot.processing_worker.pass_seconds, 4.0);
  const ServiceMetrics::DatabaseAttempt last = metrics.LastDatabaseAttempt();
  EXPECT_TRUE(last.attempted);
  EXPECT_EQ(last.ok, last.error.empty());
}

}  // namespace
}  // namespace qit
