#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace qit {

// The conventional metrics of the running process, read from /proc at every scrape:
// process_resident_memory_bytes, process_cpu_seconds_total, process_open_fds,
// process_max_fds and process_start_time_seconds. A value that cannot be read is left out
// of that scrape.
class ProcessMetrics final : public prometheus::Collectable {
 public:
  // Reads the start time, which does not change.
  ProcessMetrics();

  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  std::optional<double> start_time_seconds_;
};

// The fields of a /proc/<pid>/stat line that the metrics read.
struct ProcessStat {
  std::uint64_t user_ticks = 0;
  std::uint64_t system_ticks = 0;
  std::uint64_t start_ticks = 0;  // since the system booted
  std::uint64_t resident_pages = 0;
};

// nullopt when the line does not have them. The command name, in parentheses, may hold
// blanks and parentheses of its own: the fields are counted after the last ")".
std::optional<ProcessStat> ParseProcessStat(std::string_view line);

// The soft limit of "Max open files" in a /proc/<pid>/limits text; nullopt when it is
// missing or "unlimited".
std::optional<std::uint64_t> ParseMaxOpenFiles(std::string_view limits);

}  // namespace qit
