// The process metrics, read from /proc.
#include "host/ProcessMetrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace qit {
namespace {

// A /proc/<pid>/stat line whose fields 14, 15, 22 and 24 (utime, stime, starttime, rss) are
// 140, 150, 220 and 240, after the given command name.
std::string StatLine(const std::string& name) {
  std::string line = "4242 (" + name + ")";
  for (int field = 3; field <= 52; ++field) {
    const bool read = field == 14 || field == 15 || field == 22 || field == 24;
    line += " " + (field == 3 ? std::string("S") : std::to_string(read ? field * 10 : 1));
  }
  return line + "\n";
}

std::string WithField14(const std::string& value) {
  std::string line = StatLine("x");
  return line.replace(line.find(" 140 "), 5, " " + value + " ");
}

TEST(ProcessMetricsTest, ParsesTheStatLineWhateverTheCommandName) {
  const struct Case {
    const char* name;
    std::string line;
    bool parsed;
  } cases[] = {
      {"plain", StatLine("QueltoIntegrad"), true},
      // The name may hold blanks and parentheses: only the last ")" ends it.
      {"blanks and parentheses", StatLine("a) (b c) 7 8"), true},
      {"empty name", StatLine(""), true},
      {"no name", "4242 S 1 2 3", false},
      {"cut short", StatLine("x").substr(0, 40), false},
      {"not a number", WithField14("1z0"), false},
      {"past 64 bits", WithField14("18446744073709551616"), false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<ProcessStat> stat = ParseProcessStat(c.line);
    ASSERT_EQ(stat.has_value(), c.parsed);
    if (!stat) continue;
    EXPECT_EQ(stat->user_ticks, 140u);
    EXPECT_EQ(stat->system_ticks, 150u);
    EXPECT_EQ(stat->start_ticks, 220u);
    EXPECT_EQ(stat->resident_pages, 240u);
  }
}

TEST(ProcessMetricsTest, ReadsTheSoftLimitOfOpenFiles) {
  const std::string header = "Limit                     Soft Limit           Hard Limit           Units     \n";
  const struct Case {
    const char* name;
    std::string limits;
    std::optional<std::uint64_t> max;
  } cases[] = {
      {"a limit", header + "Max processes             63704                63704                processes \n" +
                      "Max open files            1024                 524288               files     \n",
       1024},
      {"unlimited", header + "Max open files            unlimited            unlimited            files     \n",
       std::nullopt},
      {"missing", header + "Max processes             63704                63704                processes \n",
       std::nullopt},
      {"last line without its end", header + "Max open files            20000                20000", 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseMaxOpenFiles(c.limits), c.max);
  }
}

std::map<std::string, double> Values(const ProcessMetrics& metrics) {
  std::map<std::string, double> values;
  for (const prometheus::MetricFamily& family : metrics.Collect()) {
    EXPECT_EQ(family.metric.size(), 1u) << family.name;
    const prometheus::ClientMetric& sample = family.metric.front();
    values[family.name] =
        family.type == prometheus::MetricType::Counter ? sample.counter.value : sample.gauge.value;
  }
  return values;
}

// The live values of this process: every metric is there, plausible, and follows what the
// process does (a descriptor opened is counted at the next scrape).
TEST(ProcessMetricsTest, ReadsThisProcess) {
  const ProcessMetrics metrics;
  const std::map<std::string, double> before = Values(metrics);
  for (const char* name : {"process_resident_memory_bytes", "process_cpu_seconds_total", "process_open_fds",
                           "process_max_fds", "process_start_time_seconds"})
    ASSERT_TRUE(before.contains(name)) << name;

  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_GT(before.at("process_resident_memory_bytes"), 1024 * 1024);
  EXPECT_GE(before.at("process_cpu_seconds_total"), 0);
  EXPECT_LE(before.at("process_open_fds"), before.at("process_max_fds"));
  EXPECT_LE(before.at("process_start_time_seconds"), now + 1);
  EXPECT_GT(before.at("process_start_time_seconds"), now - 3600) << "this test started it a moment ago";

  const int opened[] = {::open("/dev/null", O_RDONLY), ::open("/dev/null", O_RDONLY)};
  const std::map<std::string, double> after = Values(metrics);
  for (const int fd : opened) ::close(fd);
  EXPECT_EQ(after.at("process_open_fds"), before.at("process_open_fds") + 2);
  EXPECT_EQ(after.at("process_start_time_seconds"), before.at("process_start_time_seconds"));
}

}  // namespace
}  // namespace qit
